#include "PlayerCode.h"

#include <sys/mman.h>
#include <unistd.h>

#include "SealedFile.h"

namespace player_runtime {

namespace {

// Names inside the control: no absolute paths, no way out of the folder.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name[0] != '/' && name.find("..") == std::string::npos;
}

// A name the page can ask for and the reply can carry: UTF-8 (the reply's strings must be).
bool IsPageName(const std::string& name) { return g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr); }

constexpr char kCodeFileName[] = "brimtale-player-code";

}  // namespace

std::shared_ptr<PlayerCode> PlayerCode::FromArchive(std::span<const uint8_t> data) {
  auto code = std::shared_ptr<PlayerCode>(new PlayerCode);
  // Held in a sealed file, so that pages can be handed its compiled code without another copy.
  const int fd = CreateSealedFile(kCodeFileName, data);
  void* mapped = fd >= 0 && !data.empty() ? mmap(nullptr, data.size(), PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
  if (mapped != MAP_FAILED) {
    code->m_archiveFd = fd;
    code->m_archive = {static_cast<const uint8_t*>(mapped), data.size()};
  } else {
    if (fd >= 0) close(fd);
    code->m_copy.assign(data.begin(), data.end());
    code->m_archive = code->m_copy;
  }
  auto index = ReadArchiveIndex(code->m_archive);
  if (!index) return nullptr;
  for (ArchiveEntry& entry : *index) code->m_entries.emplace(entry.name, entry);
  return code->ReadVersion() ? code : nullptr;
}

std::shared_ptr<PlayerCode> PlayerCode::FromFolder(const std::string& folder) {
  auto code = std::shared_ptr<PlayerCode>(new PlayerCode);
  code->m_folder = folder;
  return code->ReadVersion() && code->Has("ruffle.js") ? code : nullptr;
}

GBytes* PlayerCode::Open(const std::string& name) const {
  if (!IsPlainName(name)) return nullptr;
  if (m_folder.empty()) {
    auto found = m_entries.find(name);
    if (found == m_entries.end()) return nullptr;
    // The bytes keep the code alive while the web view reads them.
    auto* owner = new std::shared_ptr<const PlayerCode>(shared_from_this());
    return g_bytes_new_with_free_func(m_archive.data() + found->second.offset, found->second.size,
                                      [](gpointer data) { delete static_cast<std::shared_ptr<const PlayerCode>*>(data); },
                                      owner);
  }
  gchar* contents = nullptr;
  gsize length = 0;
  std::string path = m_folder + "/" + name;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return nullptr;
  return g_bytes_new_take(contents, length);
}

PlayerCode::~PlayerCode() {
  if (m_archiveFd >= 0) {
    munmap(const_cast<uint8_t*>(m_archive.data()), m_archive.size());
    close(m_archiveFd);
  }
  for (auto& [name, file] : m_sealed) close(file.fd);
}

std::vector<std::string> PlayerCode::WasmNames() const {
  std::vector<std::string> names;
  auto isWasm = [](const std::string& name) { return name.size() > 5 && name.ends_with(".wasm"); };
  if (m_folder.empty()) {
    for (const auto& [name, entry] : m_entries)
      if (isWasm(name) && IsPlainName(name) && IsPageName(name)) names.push_back(name);
    return names;
  }
  GDir* folder = g_dir_open(m_folder.c_str(), 0, nullptr);
  if (folder == nullptr) return names;
  // Regular files only: a FIFO would hold the reader for ever, a device would never end.
  while (const char* name = g_dir_read_name(folder)) {
    if (isWasm(name) && IsPageName(name) && g_file_test((m_folder + "/" + name).c_str(), G_FILE_TEST_IS_REGULAR))
      names.emplace_back(name);
  }
  g_dir_close(folder);
  return names;
}

std::optional<PlayerCode::SealedFile> PlayerCode::Sealed(const std::string& name) const {
  if (m_folder.empty()) {
    auto found = m_entries.find(name);
    if (found == m_entries.end() || m_archiveFd < 0) return std::nullopt;
    return SealedFile{m_archiveFd, found->second.offset, found->second.size};
  }
  if (auto found = m_sealed.find(name); found != m_sealed.end()) return found->second;
  GBytes* bytes = Open(name);
  if (bytes == nullptr) return std::nullopt;
  gsize size = 0;
  const auto* data = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  const int fd = CreateSealedFile(kCodeFileName, {data, size});
  g_bytes_unref(bytes);
  if (fd < 0) return std::nullopt;
  return m_sealed.emplace(name, SealedFile{fd, 0, size}).first->second;
}

bool PlayerCode::Has(const std::string& name) const {
  GBytes* bytes = Open(name);
  if (bytes == nullptr) return false;
  g_bytes_unref(bytes);
  return true;
}

bool PlayerCode::ReadVersion() {
  GBytes* bytes = Open("package.json");
  if (bytes == nullptr) return false;
  gsize size = 0;
  auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  auto version = ParsePackageVersion(std::string_view(data, size));
  g_bytes_unref(bytes);
  if (!version) return false;
  m_version = *version;
  return true;
}

}  // namespace player_runtime
