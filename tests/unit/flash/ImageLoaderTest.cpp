// The PE32 mapper on real DLLs built by the i686 MinGW compiler (tests/pe), checked against what
// the MinGW objdump reads from the same files; and on those DLLs made malformed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "brimtale/runtime_api.h"
#include "flash/FlashRuntime.h"
#include "flash/ImageLoader.h"
#include "platform/VirtualMemory.h"
#include "platform/Window.h"
#include "res/EmbeddedBinaries.h"
#include "support/TestSupport.h"

namespace {

using flash::FindImageExport;
using flash::MapPortableExecutable;
using flash::PortableExecutableMapping;
using testing_support::ReadFile;

constexpr uint16_t kMachineI386 = 0x14C;

#ifdef BRIMTALE_PE_DIR
std::string ReadDll(const std::string& name) { return ReadFile(std::string(BRIMTALE_PE_DIR) + "/" + name); }

std::string Objdump(const std::string& name) {
  auto result = testing_support::RunProcess(
      {BRIMTALE_MINGW_OBJDUMP, "-p", std::string(BRIMTALE_PE_DIR) + "/" + name});
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  return result.output;
}
#endif

std::span<const uint8_t> Span(const std::string& bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

uint32_t Get32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  memcpy(&value, bytes.data() + offset, 4);
  return value;
}
void Put32(std::string& bytes, size_t offset, uint32_t value) { memcpy(bytes.data() + offset, &value, 4); }
void Put16(std::string& bytes, size_t offset, uint16_t value) { memcpy(bytes.data() + offset, &value, 2); }

// Addresses the mapped image holds are 32 bits wide.
uint32_t Read32At(const void* address) {
  uint32_t value = 0;
  memcpy(&value, address, 4);
  return value;
}
void* Pointer(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

// The export "name" holds a pointer; what it points to.
void* PointerExport(void* base, const char* name) {
  void* slot = FindImageExport(base, name);
  return slot != nullptr ? Pointer(Read32At(slot)) : nullptr;
}

// Unmaps on scope exit, so each case starts with no PE image mapped.
struct Mapped {
  explicit Mapped(PortableExecutableMapping m) : mapping(m) {}
  ~Mapped() { flash::ReleaseImage(mapping.base); }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  uint8_t* base() const { return static_cast<uint8_t*>(mapping.base); }
  bool Contains(const void* address) const {
    auto p = static_cast<const uint8_t*>(address);
    return p >= base() && p < base() + mapping.size;
  }
  PortableExecutableMapping mapping;
};

// Headers of a file: where the tests' mutations go.
struct Layout {
  size_t nt = 0;
  size_t optional = 0;
  size_t sections = 0;
  uint16_t sectionCount = 0;

  explicit Layout(const std::string& bytes) {
    nt = Get32(bytes, 0x3C);
    optional = nt + 24;
    uint16_t optionalSize = 0;
    memcpy(&optionalSize, bytes.data() + nt + 20, 2);
    memcpy(&sectionCount, bytes.data() + nt + 6, 2);
    sections = optional + optionalSize;
  }
  size_t Section(int index) const { return sections + 40 * static_cast<size_t>(index); }
  size_t Directory(int index) const { return optional + 96 + 8 * static_cast<size_t>(index); }
  // The file offset of an RVA, through the section table.
  size_t FileOffset(const std::string& bytes, uint32_t rva) const {
    for (int i = 0; i < sectionCount; ++i) {
      uint32_t virtualAddress = Get32(bytes, Section(i) + 12);
      uint32_t rawSize = Get32(bytes, Section(i) + 16);
      if (rva >= virtualAddress && rva < virtualAddress + rawSize) return Get32(bytes, Section(i) + 20) + (rva - virtualAddress);
    }
    ADD_FAILURE() << "RVA " << rva << " has no file bytes";
    return 0;
  }
};

// objdump -p: each export name with its RVA.
std::map<std::string, uint32_t> ObjdumpExports(const std::string& text) {
  std::map<uint32_t, uint32_t> rvaByIndex;
  std::map<std::string, uint32_t> exports;
  const std::regex address(R"(^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA)");
  const std::regex named(R"(^\s*\[\s*(\d+)\] (\S+)\s*$)");
  bool inNames = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
      inNames = true;
    } else if (inNames && std::regex_match(line, match, named)) {
      exports[match[2]] = rvaByIndex.at(static_cast<uint32_t>(std::stoul(match[1])));
    } else if (inNames && line.find_first_not_of(" \t\r") == std::string::npos) {
      inNames = false;
    } else if (std::regex_search(line, match, address)) {
      rvaByIndex[static_cast<uint32_t>(std::stoul(match[1]))] = static_cast<uint32_t>(std::stoul(match[2], nullptr, 16));
    }
  }
  return exports;
}

// objdump -p: the imports in table order, "library!name" or "library!#ordinal".
std::vector<std::string> ObjdumpImports(const std::string& text) {
  std::vector<std::string> imports;
  const std::regex byName(R"(^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$)");
  const std::regex byOrdinal(R"(^\s+[0-9a-f]+\s+(\d+)\s+<none>\s*$)");
  std::string library;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    auto at = line.find("DLL Name: ");
    if (at != std::string::npos) {
      library = line.substr(at + 10);
    } else if (line.find("The Export Tables") != std::string::npos) {
      break;
    } else if (!library.empty() && std::regex_match(line, match, byOrdinal)) {
      imports.push_back(library + "!#" + match[1].str());
    } else if (!library.empty() && std::regex_match(line, match, byName)) {
      imports.push_back(library + "!" + match[1].str());
    }
  }
  return imports;
}

uint32_t ObjdumpHex(const std::string& text, const std::string& field) {
  std::smatch match;
  std::regex pattern("\n" + field + R"(\s+([0-9a-fA-F]+))");
  if (!std::regex_search(text, match, pattern)) {
    ADD_FAILURE() << field << " not in objdump's output";
    return 0;
  }
  return static_cast<uint32_t>(std::stoul(match[1], nullptr, 16));
}

// Records every import asked for and gives each a distinct made-up address (below 4 GiB, as a
// 32-bit slot needs); the listed ones get none.
struct RecordingResolver {
  std::vector<std::string> asked;
  std::vector<std::string> refused;
  std::map<std::string, uint32_t> given;

  flash::ImportResolver Get() {
    return [this](const char* library, const char* symbol, uint16_t ordinal) -> void* {
      std::string key = std::string(library) + "!" + (symbol ? std::string(symbol) : "#" + std::to_string(ordinal));
      asked.push_back(key);
      if (std::find(refused.begin(), refused.end(), key) != refused.end()) return nullptr;
      uint32_t address = 0x10000 + 0x10 * static_cast<uint32_t>(asked.size());
      given[key] = address;
      return Pointer(address);
    };
  }
};

class PeImage : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef BRIMTALE_PE_DIR
    GTEST_SKIP() << "the i686 MinGW tools were not found at configure time";
#else
    first = ReadDll("first.dll");
    second = ReadDll("second.dll");
    noentry = ReadDll("noentry.dll");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    ASSERT_FALSE(noentry.empty());
#endif
  }

  std::string first, second, noentry;
};

#ifdef BRIMTALE_PE_DIR

TEST_F(PeImage, RelocatedPointersLandInsideTheImageWhereverItIsMapped) {
  const uint32_t imageBase = ObjdumpHex(Objdump("first.dll"), "ImageBase");
  // Two copies cannot share a base, so at least one is moved from wherever the first lands.
  Mapped one(MapPortableExecutable(Span(first), nullptr));
  Mapped two(MapPortableExecutable(Span(first), nullptr));
  for (const Mapped* copy : {&one, &two}) {
    ASSERT_NE(copy->base(), nullptr) << copy->mapping.error;
    EXPECT_LE(reinterpret_cast<uintptr_t>(copy->base()) + copy->mapping.size, uint64_t{1} << 32);
    EXPECT_EQ(copy->mapping.size, ObjdumpHex(Objdump("first.dll"), "SizeOfImage"));

    auto* values = static_cast<uint8_t*>(FindImageExport(copy->base(), "first_values"));
    ASSERT_TRUE(copy->Contains(values));
    EXPECT_EQ(Read32At(values + 8), 3u);  // the data came with the section
    void* pointers = FindImageExport(copy->base(), "first_pointers");
    EXPECT_EQ(Pointer(Read32At(pointers)), values);
    EXPECT_EQ(Pointer(Read32At(static_cast<uint8_t*>(pointers) + 4)), values + 8);

    auto* greeting = static_cast<const char*>(PointerExport(copy->base(), "first_greeting"));
    ASSERT_TRUE(copy->Contains(greeting));
    EXPECT_STREQ(greeting, "hello from first");
  }
  EXPECT_NE(one.base(), two.base());
  EXPECT_TRUE(reinterpret_cast<uintptr_t>(one.base()) != imageBase ||
              reinterpret_cast<uintptr_t>(two.base()) != imageBase);
}

TEST_F(PeImage, UninitialisedDataIsZeroAndReachable) {
  Mapped image(MapPortableExecutable(Span(noentry), nullptr));
  ASSERT_NE(image.base(), nullptr) << image.mapping.error;
  void* counter = PointerExport(image.base(), "noentry_counter");
  ASSERT_TRUE(image.Contains(counter));
  EXPECT_EQ(Read32At(counter), 0u);
  EXPECT_EQ(Read32At(FindImageExport(image.base(), "noentry_value")), 7u);
}

TEST_F(PeImage, ExportsByNameAreWhereObjdumpSaysTheyAre) {
  for (const char* name : {"first.dll", "second.dll", "noentry.dll"}) {
    SCOPED_TRACE(name);
    auto exports = ObjdumpExports(Objdump(name));
    ASSERT_GE(exports.size(), 3u);
    Mapped image(MapPortableExecutable(Span(ReadDll(name)), nullptr));
    ASSERT_NE(image.base(), nullptr) << image.mapping.error;
    for (const auto& [symbol, rva] : exports)
      EXPECT_EQ(FindImageExport(image.base(), symbol.c_str()), image.base() + rva) << symbol;
  }
}

TEST_F(PeImage, NamesThatAreNotExportedAndUnknownBasesFindNothing) {
  Mapped image(MapPortableExecutable(Span(first), nullptr));
  ASSERT_NE(image.base(), nullptr) << image.mapping.error;
  for (const char* name : {"first_value", "first_values_", "FIRST_VALUES", "", "DllMain", "second_add"})
    EXPECT_EQ(FindImageExport(image.base(), name), nullptr) << name;
  EXPECT_EQ(FindImageExport(nullptr, "first_values"), nullptr);
  EXPECT_EQ(FindImageExport(image.base() + 1, "first_values"), nullptr);
  // The ordinal-only export has no name to be found by.
  Mapped library(MapPortableExecutable(Span(second), nullptr));
  EXPECT_EQ(FindImageExport(library.base(), "second_by_ordinal"), nullptr);
}

TEST_F(PeImage, ImportsAreAskedOfTheResolverAsObjdumpListsThemAndLandInTheirSlots) {
  auto listed = ObjdumpImports(Objdump("first.dll"));
  ASSERT_NE(std::find(listed.begin(), listed.end(), "second.dll!second_add"), listed.end());
  ASSERT_NE(std::find(listed.begin(), listed.end(), "second.dll!#7"), listed.end());
  ASSERT_NE(std::find(listed.begin(), listed.end(), "KERNEL32.dll!GetTickCount"), listed.end());

  RecordingResolver resolver;
  resolver.refused = {"KERNEL32.dll!Sleep", "KERNEL32.dll!GetTickCount"};
  Mapped image(MapPortableExecutable(Span(first), resolver.Get()));
  ASSERT_NE(image.base(), nullptr) << image.mapping.error;
  EXPECT_EQ(resolver.asked, listed);
  EXPECT_EQ(image.mapping.unresolvedImports, 2u);

  EXPECT_EQ(Read32At(PointerExport(image.base(), "first_add_slot")), resolver.given.at("second.dll!second_add"));
  EXPECT_EQ(Read32At(PointerExport(image.base(), "first_ordinal_slot")), resolver.given.at("second.dll!#7"));
  EXPECT_EQ(Read32At(PointerExport(image.base(), "first_tick_slot")), 0u);  // refused: the slot holds 0
}

TEST_F(PeImage, AddressesTooWideForASlotAreLeftUnresolved) {
  if constexpr (sizeof(void*) <= 4) GTEST_SKIP() << "every address fits a slot here";
  Mapped image(MapPortableExecutable(Span(first), [](const char*, const char*, uint16_t) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(0x123456789ull));
  }));
  ASSERT_NE(image.base(), nullptr) << image.mapping.error;
  EXPECT_EQ(image.mapping.unresolvedImports, ObjdumpImports(Objdump("first.dll")).size());
  EXPECT_EQ(Read32At(PointerExport(image.base(), "first_add_slot")), 0u);
}

TEST_F(PeImage, DefaultResolverTakesExportsOfImagesMappedBefore) {
  {
    // Without second.dll mapped nothing answers for it, nor for the system's DLLs.
    Mapped alone(MapPortableExecutable(Span(first), flash::ResolveImportFromMappedImages));
    ASSERT_NE(alone.base(), nullptr) << alone.mapping.error;
    EXPECT_EQ(alone.mapping.unresolvedImports, ObjdumpImports(Objdump("first.dll")).size());
  }
  Mapped library(MapPortableExecutable(Span(second), flash::ResolveImportFromMappedImages));
  ASSERT_NE(library.base(), nullptr) << library.mapping.error;
  Mapped image(MapPortableExecutable(Span(first), flash::ResolveImportFromMappedImages));
  ASSERT_NE(image.base(), nullptr) << image.mapping.error;

  EXPECT_EQ(Pointer(Read32At(PointerExport(image.base(), "first_add_slot"))),
            FindImageExport(library.base(), "second_add"));
  void* byOrdinal = PointerExport(library.base(), "second_by_ordinal_address");
  ASSERT_TRUE(library.Contains(byOrdinal));
  EXPECT_EQ(Pointer(Read32At(PointerExport(image.base(), "first_ordinal_slot"))), byOrdinal);
  EXPECT_EQ(Read32At(PointerExport(image.base(), "first_tick_slot")), 0u);

  // Library names compare without regard to case or the ".dll" ending.
  EXPECT_EQ(flash::ResolveImportFromMappedImages("SECOND", "second_add", 0), FindImageExport(library.base(), "second_add"));
  EXPECT_EQ(flash::ResolveImportFromMappedImages("second.dll", nullptr, 7), byOrdinal);
  const auto ordinalBase = static_cast<uint16_t>(ObjdumpHex(Objdump("second.dll"), "Ordinal Base"));
  EXPECT_EQ(flash::ResolveImportFromMappedImages("second.dll", nullptr, ordinalBase), FindImageExport(library.base(), "second_add"));
  EXPECT_EQ(flash::ResolveImportFromMappedImages("second.dll", nullptr, ordinalBase - 1), nullptr);
  EXPECT_EQ(flash::ResolveImportFromMappedImages("second.dll", nullptr, ordinalBase + 4), nullptr);  // past the table
  EXPECT_EQ(flash::ResolveImportFromMappedImages("second2.dll", "second_add", 0), nullptr);
}

TEST_F(PeImage, EntryPointIsRecordedAndCalledOnlyWhereTheProcessCanRunTheImage) {
  const uint32_t entry = ObjdumpHex(Objdump("first.dll"), "AddressOfEntryPoint");
  ASSERT_NE(entry, 0u);
  Mapped image(MapPortableExecutable(Span(first), nullptr));
  ASSERT_NE(image.base(), nullptr) << image.mapping.error;
  EXPECT_EQ(image.mapping.entryPoint, image.base() + entry);
  // A 32-bit Windows DLL cannot run in this process: by design it is mapped as data and its entry
  // point, which would have left the attach reason in first_attached, is never called.
  EXPECT_FALSE(platform::CanRunPortableExecutableCode(kMachineI386));
  EXPECT_FALSE(image.mapping.entryPointCalled);
  EXPECT_EQ(Read32At(FindImageExport(image.base(), "first_attached")), 0u);

  ASSERT_EQ(ObjdumpHex(Objdump("noentry.dll"), "AddressOfEntryPoint"), 0u);
  Mapped without(MapPortableExecutable(Span(noentry), nullptr));
  ASSERT_NE(without.base(), nullptr) << without.mapping.error;
  EXPECT_EQ(without.mapping.entryPoint, nullptr);
  EXPECT_FALSE(without.mapping.entryPointCalled);
}

TEST_F(PeImage, LoadImageFromMemoryMapsPeImagesAndRefusesOtherBytes) {
  void* base = flash::LoadImageFromMemory(Span(noentry));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(Read32At(FindImageExport(base, "noentry_value")), 7u);
  flash::ReleaseImage(base);
  EXPECT_EQ(FindImageExport(base, "noentry_value"), nullptr);  // released: no longer an image here

  EXPECT_EQ(flash::LoadImageFromMemory({}), nullptr);
  EXPECT_EQ(flash::LoadImageFromMemory(Span(std::string("not an image at all"))), nullptr);
  EXPECT_EQ(flash::LoadImageFromMemory(Span(std::string("\x7F" "ELF but not really", 20))), nullptr);
}

// Each mutation makes a well-formed DLL malformed in one way; the mapper must refuse it, for the
// reason given, without reading or writing outside the file or the mapping.
struct Malformation {
  const char* name;
  std::function<void(std::string& bytes, const Layout& layout)> apply;
  const char* error;  // part of the refusal's text
};

uint32_t RelocationDirectoryRva(const std::string& bytes, const Layout& layout) { return Get32(bytes, layout.Directory(5)); }
uint32_t ImportDirectoryRva(const std::string& bytes, const Layout& layout) { return Get32(bytes, layout.Directory(1)); }

const Malformation kMalformations[] = {
    {"only the DOS signature", [](std::string& b, const Layout&) { b.resize(2); }, "DOS header"},
    {"truncated in the file header", [](std::string& b, const Layout& l) { b.resize(l.nt + 10); }, "PE signature"},
    {"NT header offset past the end", [](std::string& b, const Layout&) { Put32(b, 0x3C, 0xFFFFFFF0); }, "PE signature"},
    {"truncated in the optional header", [](std::string& b, const Layout& l) { b.resize(l.optional + 50); },
     "optional header"},
    {"optional header longer than the file",
     [](std::string& b, const Layout& l) {
       b.resize(l.optional + 0x400);
       Put16(b, l.nt + 20, 0x1000);
     },
     "optional header"},
    {"64-bit optional header", [](std::string& b, const Layout& l) { Put16(b, l.optional, 0x20B); }, "PE32"},
    {"SizeOfImage of 0", [](std::string& b, const Layout& l) { Put32(b, l.optional + 56, 0); }, "SizeOfImage"},
    {"SizeOfImage of 4 GiB", [](std::string& b, const Layout& l) { Put32(b, l.optional + 56, 0xFFFFFFFF); },
     "SizeOfImage"},
    {"SizeOfHeaders beyond the file", [](std::string& b, const Layout& l) { Put32(b, l.optional + 60, 0x7FFFFFFF); },
     "SizeOfHeaders"},
    {"more sections than the file holds", [](std::string& b, const Layout& l) { Put16(b, l.nt + 6, 0xFFFF); },
     "section table"},
    {"entry point outside the image", [](std::string& b, const Layout& l) { Put32(b, l.optional + 16, 0x7FFFFFFF); },
     "entry point"},
    {"section data past the end of the file",
     [](std::string& b, const Layout& l) { Put32(b, l.Section(0) + 20, 0xFFFFFF00); }, "outside the file"},
    {"section outside the image",
     [](std::string& b, const Layout& l) { Put32(b, l.Section(1) + 12, 0xFFFFF000); }, "outside the image"},
    {"section larger than the image",
     [](std::string& b, const Layout& l) { Put32(b, l.Section(0) + 8, 0x7FFFFFFF); }, "outside the image"},
    {"sections overlapping",
     [](std::string& b, const Layout& l) { Put32(b, l.Section(1) + 12, Get32(b, l.Section(0) + 12)); }, "overlap"},
    {"relocation directory past the image",
     [](std::string& b, const Layout& l) { Put32(b, l.Directory(5) + 4, 0x7FFFFFFF); }, "relocation directory"},
    {"relocation block of size 0 (would never advance)",
     [](std::string& b, const Layout& l) { Put32(b, l.FileOffset(b, RelocationDirectoryRva(b, l)) + 4, 0); },
     "relocation block"},
    {"relocation block past the end of its directory",
     [](std::string& b, const Layout& l) { Put32(b, l.FileOffset(b, RelocationDirectoryRva(b, l)) + 4, 0x10000); },
     "relocation block"},
    {"relocation outside the image",
     [](std::string& b, const Layout& l) { Put32(b, l.FileOffset(b, RelocationDirectoryRva(b, l)), 0x7FFFF000); },
     "relocation points outside"},
    {"relocation of an unsupported type",
     [](std::string& b, const Layout& l) {
       size_t entry = l.FileOffset(b, RelocationDirectoryRva(b, l)) + 8;
       Put16(b, entry, static_cast<uint16_t>(0xA000 | (Get32(b, entry) & 0xFFF)));  // DIR64
     },
     "unsupported type"},
    {"import library name out of range",
     [](std::string& b, const Layout& l) { Put32(b, l.FileOffset(b, ImportDirectoryRva(b, l)) + 12, 0x7FFFFFFF); },
     "library name"},
    {"import name out of range",
     [](std::string& b, const Layout& l) {
       uint32_t table = Get32(b, l.FileOffset(b, ImportDirectoryRva(b, l)) + 16);
       Put32(b, l.FileOffset(b, table), 0x7FFFFFF0);
     },
     "import name"},
    {"import address table out of range",
     [](std::string& b, const Layout& l) { Put32(b, l.FileOffset(b, ImportDirectoryRva(b, l)) + 16, 0x7FFFFFF0); },
     "import address table"},
    {"import descriptors without an end",
     [](std::string& b, const Layout& l) { Put32(b, l.Directory(1), Get32(b, l.optional + 56) - 8); },
     "import descriptors"},
};

TEST_F(PeImage, MalformedImagesAreRefusedForTheirFault) {
  for (const Malformation& malformation : kMalformations) {
    SCOPED_TRACE(malformation.name);
    std::string bytes = first;
    malformation.apply(bytes, Layout(first));
    Mapped image(MapPortableExecutable(Span(bytes), nullptr));
    EXPECT_EQ(image.base(), nullptr);
    ASSERT_NE(image.mapping.error, nullptr);
    EXPECT_NE(std::string(image.mapping.error).find(malformation.error), std::string::npos) << image.mapping.error;
  }
}

TEST_F(PeImage, EveryTruncationIsRefusedOrMappedWithoutHarm) {
  // The file's last section data ends here; anything shorter lacks bytes the image needs.
  Layout layout(noentry);
  size_t needed = 0;
  for (int i = 0; i < layout.sectionCount; ++i) {
    uint32_t copied = std::min(Get32(noentry, layout.Section(i) + 8), Get32(noentry, layout.Section(i) + 16));
    if (copied != 0) needed = std::max<size_t>(needed, Get32(noentry, layout.Section(i) + 20) + copied);
  }
  for (size_t length = 0; length <= noentry.size(); ++length) {
    std::string prefix = noentry.substr(0, length);
    Mapped image(MapPortableExecutable(Span(prefix), nullptr));
    ASSERT_EQ(image.base() != nullptr, length >= needed) << length << ": " << (image.mapping.error ? image.mapping.error : "");
  }
}

#endif  // BRIMTALE_PE_DIR

}  // namespace

namespace {

// The runtime library the launcher carries: an ELF image loaded from memory by the dynamic loader.
TEST(RuntimeLibraryImage, IsMappedOnceAndExportsEveryOperationByName) {
  if (res::RuntimeLibraryImage().empty()) GTEST_SKIP() << "this build carries no runtime library";
  void* base = flash::EnsureRuntimeLibrary();
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(flash::EnsureRuntimeLibrary(), base);
#define BRIMTALE_EXPECT_EXPORTED(ret, name, params, args) \
  EXPECT_NE(FindImageExport(base, #name), nullptr) << #name;
  BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_EXPECT_EXPORTED)
#undef BRIMTALE_EXPECT_EXPORTED
  // Only the operations leave the library.
  EXPECT_EQ(FindImageExport(base, "FPC_NoSuchOperation"), nullptr);
  EXPECT_EQ(FindImageExport(base, "main"), nullptr);
}

// Without the runtime's export a forwarding function answers its failure value; the version
// comparison, which the version blacklist needs even then, is still made.
TEST(ForwardingFunctions, WithoutTheirExportAnswerTheFailureValue) {
  flash::SetRuntimeExportResolver([](const char*) -> void* { return nullptr; });
  constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);
  SFPCVersion version{};
  EXPECT_EQ(flash::FPC_LoadRegisteredOCX(), 0u);
  EXPECT_EQ(flash::FPC_GetVersionEx(1, &version), 0);
  EXPECT_EQ(flash::FPC_GetClassAtomA(1), 0u);
  EXPECT_EQ(flash::FPC_CallWndProc(nullptr, WM_MOUSEMOVE, 0, 0, nullptr, nullptr), 0);  // not handled
  EXPECT_EQ(flash::FPC_PutStandardMenu(nullptr, 1), kFail);
  EXPECT_EQ(flash::FPC_LoadMovieA(nullptr, 0, "movie.swf"), kFail);
  EXPECT_EQ(flash::FPCCallFunctionA(nullptr, "<invoke name=\"f\"/>", nullptr, nullptr), kFail);
  flash::FPC_PaintTo(nullptr, nullptr);
  const SFPCVersion older{{267, 0, 0, 20}}, newer{{0, 0, 1, 20}};  // 20.0.0.267 and 20.1.0.0
  EXPECT_EQ(flash::FPC_CompareVersions(&older, &newer), -1);
  EXPECT_EQ(flash::FPC_CompareVersions(&newer, &older), 1);
  EXPECT_EQ(flash::FPC_CompareVersions(&older, &older), 0);
  flash::SetRuntimeExportResolver(nullptr);
}

}  // namespace
