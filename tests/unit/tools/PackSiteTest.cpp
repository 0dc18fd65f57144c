// brimtale-pack on real folders: what the site holds, what a second run packs again, what it
// refuses, what it leaves alone, and what a reader of a live site sees when a run fails or is
// killed (the real tool, stopped at a file's open by fanotify).
#include "PackSite.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ops/Md5.h"
#include "ops/QuickLz.h"
#include "ops/Sha256.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::PathExists;
using testing_support::ProcessOptions;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::WriteFile;

std::string Md5Text(const std::string& bytes) {
  return FormatMd5Digest(Md5Of({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}));
}

std::string Noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string Text(size_t size) {
  std::string text;
  while (text.size() < size) text += "the road to the old mill, " + std::to_string(text.size() % 97) + "\n";
  return text.substr(0, size);
}

struct Line {
  std::string size, md5, packing, packedSize, packedMd5, served;
  bool operator==(const Line&) const = default;
};

std::map<std::string, Line> Manifest(const std::string& site) {
  std::map<std::string, Line> lines;
  std::istringstream text(ReadFile(site + "/manifest.txt"));
  std::string line;
  while (std::getline(text, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    Line entry;
    fields >> name >> entry.size >> entry.md5 >> entry.packing >> entry.packedSize >> entry.packedMd5 >> entry.served;
    lines[name] = entry;
  }
  return lines;
}

std::string Unpacked(const std::string& served) {
  ByteBuffer output;
  if (DecompressToMemory({reinterpret_cast<const uint8_t*>(served.data()), served.size()}, output) !=
      DecompressStatus::kOk)
    return "(does not unpack)";
  return std::string(reinterpret_cast<const char*>(output.data()), output.size());
}

// What a reader of the site would find wrong: a manifest line whose served file is missing or is
// not the file the line describes. Empty when the site is whole.
std::string SiteProblem(const std::string& site) {
  if (!PathExists(site + "/manifest.txt")) return "no manifest";
  for (const auto& [name, line] : Manifest(site)) {
    const std::string path = site + "/" + line.served;
    if (!PathExists(path)) return name + ": " + line.served + " is missing";
    const std::string served = ReadFile(path);
    const std::string installed = line.packing == "qlz" ? Unpacked(served) : served;
    if (std::to_string(served.size()) != line.packedSize || Md5Text(served) != line.packedMd5 ||
        std::to_string(installed.size()) != line.size || Md5Text(installed) != line.md5)
      return name + ": " + line.served + " is not the file listed";
  }
  return {};
}

// Every file under `folder` but hidden ones, by path relative to it, with the MD5 of its bytes.
std::map<std::string, std::string> FilesUnder(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string relative = fs::relative(it->path(), folder).generic_string();
    if (relative.starts_with(".") || relative.find("/.") != std::string::npos) continue;
    if (it->is_regular_file()) files[relative] = Md5Text(ReadFile(it->path()));
  }
  return files;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class PackSiteTest : public ::testing::Test {
 protected:
  PackReport Pack(PackOptions options = {}) { return PackSite(game, site, options); }

  TempDir dir;
  std::string game = dir / "game";
  std::string site = dir / "site";
};

TEST_F(PackSiteTest, ListsEveryFileAndCompressesOnlyWhatGetsSmaller) {
  // Names of any script, and the characters a URL or a manifest line treats as special.
  const std::map<std::string, std::string> files{{"map.txt", Text(200000)},   {"data/noise.bin", Noise(50000, 1)},
                                                 {"data/deep/empty", ""},     {"carte-é.txt", Text(3000)},
                                                 {"q?x.txt", "q"},            {"100%.txt", "all"},
                                                 {"docs/#notes.txt", "notes"}, {"地図/北.dat", Noise(100, 2)},
                                                 {"notes.qlz", "raw"}};
  for (const auto& [name, bytes] : files) WriteFile(game + "/" + name, bytes);
  WriteFile(game + "/.git/config", "left out");

  const PackReport report = Pack();
  ASSERT_EQ(report.error, "");
  EXPECT_EQ(report.files, files.size());
  EXPECT_EQ(Joined(report.skipped), ".git: hidden\n");
  const auto manifest = Manifest(site);
  ASSERT_EQ(manifest.size(), files.size());
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const Line& line = manifest.at(name);
    EXPECT_EQ(line.size, std::to_string(bytes.size()));
    EXPECT_EQ(line.md5, Md5Text(bytes));
    const bool compressed = name == "map.txt" || name == "carte-é.txt";
    EXPECT_EQ(line.packing, compressed ? "qlz" : "raw");
    // Served as files/NAME~TAG, the tag 16 hexadecimal digits.
    EXPECT_TRUE(line.served.starts_with("files/" + name + "~")) << line.served;
    EXPECT_EQ(line.served.size(), 6 + name.size() + 17 + (compressed ? 4 : 0)) << line.served;
    EXPECT_EQ(line.served.ends_with(".qlz"), compressed);
    const std::string served = ReadFile(site + "/" + line.served);
    EXPECT_EQ(line.packedSize, std::to_string(served.size()));
    EXPECT_EQ(line.packedMd5, Md5Text(served));
    EXPECT_EQ(compressed ? Unpacked(served) : served, bytes);
  }
  EXPECT_LT(std::stoul(manifest.at("map.txt").packedSize), 200000u / 2);
  EXPECT_EQ(FilesUnder(site).size(), files.size() + 1) << "the served files and the manifest, nothing else";
}

TEST_F(PackSiteTest, PacksAgainOnlyWhatChanged) {
  WriteFile(game + "/a.txt", Text(30000));
  WriteFile(game + "/b.txt", Text(40000));
  WriteFile(game + "/c.bin", Noise(1000, 2));
  ASSERT_EQ(Pack().error, "");
  auto before = Manifest(site);

  PackReport again = Pack();
  EXPECT_EQ(again.packed, 0u);
  EXPECT_EQ(again.unchanged, 3u);
  EXPECT_EQ(again.removed, 0u);
  EXPECT_EQ(Manifest(site), before);

  // Changed content; the same content written again (a new time, the same digest); a file that
  // no longer compresses; a removed file.
  WriteFile(game + "/a.txt", Text(30001));
  WriteFile(game + "/c.bin", Noise(1000, 2));
  WriteFile(game + "/b.txt", Noise(40000, 3));
  fs::last_write_time(game + "/c.bin", fs::last_write_time(game + "/c.bin") + std::chrono::seconds(5));
  PackReport changed = Pack();
  ASSERT_EQ(changed.error, "");
  EXPECT_EQ(changed.packed, 2u);
  EXPECT_EQ(changed.unchanged, 1u);
  auto after = Manifest(site);
  EXPECT_EQ(after.at("c.bin"), before.at("c.bin"));
  EXPECT_EQ(after.at("a.txt").size, "30001");
  EXPECT_NE(after.at("a.txt").served, before.at("a.txt").served) << "new bytes, new name";
  EXPECT_EQ(after.at("b.txt").packing, "raw");
  EXPECT_EQ(changed.removed, 2u) << "the old a.txt and b.txt are no longer served";
  EXPECT_FALSE(PathExists(site + "/" + before.at("a.txt").served));
  EXPECT_FALSE(PathExists(site + "/" + before.at("b.txt").served));
  EXPECT_EQ(SiteProblem(site), "");

  fs::remove(game + "/a.txt");
  PackReport removed = Pack();
  EXPECT_EQ(removed.removed, 1u);
  EXPECT_EQ(Manifest(site).count("a.txt"), 0u);
  EXPECT_FALSE(PathExists(site + "/" + after.at("a.txt").served));

  // A served file lost from the site is packed again even though its source did not change.
  fs::remove(site + "/" + after.at("c.bin").served);
  EXPECT_EQ(Pack().packed, 1u);
  EXPECT_EQ(SiteProblem(site), "");
}

TEST_F(PackSiteTest, RefusesWhatCannotBePackedAndWritesNothing) {
  struct Case {
    const char* name;
    std::string gameFolder, siteFolder;
    std::function<void()> prepare;
    std::string said;  // what the error names
  };
  const Case cases[] = {
      {"a comma", game, site, [&] { WriteFile(game + "/one,two.txt", "x"); }, "one,two.txt"},
      {"a blank", game, site, [&] { WriteFile(game + "/one two.txt", "x"); }, "one two.txt"},
      {"a leading #", game, site, [&] { WriteFile(game + "/#notes.txt", "x"); }, "#notes.txt"},
      {"a control character", game, site, [&] { WriteFile(game + "/bell\a.txt", "x"); }, "bell\\x07.txt"},
      {"bytes that are not UTF-8", game, site, [&] { WriteFile(game + "/caf\xe9.txt", "x"); }, "caf\\xe9.txt"},
      {"x beside x.qlz", game, site, [&] { WriteFile(game + "/x", "x"), WriteFile(game + "/x.qlz", "y"); }, "x.qlz"},
      {"data beside a folder data.qlz", game, site,
       [&] { WriteFile(game + "/data", "x"), WriteFile(game + "/data.qlz/inside", "y"); }, "data.qlz"},
      {"the site inside the game", game, game + "/site", [] {}, "inside the game folder"},
      {"the site inside the game through a link", game, dir / "to-game/site",
       [&] { fs::create_directory_symlink(game, dir / "to-game"); }, "inside the game folder"},
      {"no game folder", dir / "missing", site, [] {}, "missing"},
      {"a FIFO", game, site, [&] { mkfifo((game + "/pipe").c_str(), 0600); }, "pipe"},
      {"a folder of someone else", game, site, [&] { WriteFile(site + "/index.html", "mine"); }, "not empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(game);
    fs::remove_all(site);
    fs::remove(dir / "to-game");
    WriteFile(game + "/fine.txt", "fine");
    c.prepare();
    const PackReport report = PackSite(c.gameFolder, c.siteFolder, {});
    EXPECT_NE(report.error.find(c.said), std::string::npos) << report.error;
    EXPECT_FALSE(PathExists(c.siteFolder + "/manifest.txt"));
    EXPECT_FALSE(PathExists(c.siteFolder + "/files"));
  }
  EXPECT_EQ(ReadFile(site + "/index.html"), "mine");
}

// The site after a first pack, then something of someone else's in or around it: a repack keeps
// it byte for byte, and leaves the live site whole.
TEST_F(PackSiteTest, NeverDeletesOrOverwritesWhatItDidNotWrite) {
  const std::string user = dir / "user";
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string gameFolder;
    bool packs;  // the repack goes ahead
  };
  const Case cases[] = {
      {"the game maker's files beside the packer's",
       [&] {
         WriteFile(site + "/DemoMovie.swf", "movie");
         WriteFile(site + "/files/extra.txt", "extra");
         WriteFile(site + "/files/data/notes.txt", "notes");
         fs::remove(game + "/data/old.txt");
       },
       game, true},
      {"files/ a link to a user's folder",
       [&] {
         WriteFile(user + "/thesis.doc", "thesis");
         fs::rename(site + "/files", dir / "files-aside");
         fs::create_directory_symlink(user, site + "/files");
       },
       game, false},
      {"a folder below files/ a link to a user's folder",
       [&] {
         WriteFile(user + "/thesis.doc", "thesis");
         fs::rename(site + "/files/data", dir / "data-aside");
         fs::create_directory_symlink(user, site + "/files/data");
         WriteFile(game + "/data/old.txt", "changed");
       },
       game, false},
      {"a file of someone else's where a new file is to be served",
       [&] {
         const std::string bytes = Noise(4000, 9);
         WriteFile(game + "/data/new.bin", bytes);
         const std::string tag = FormatSha256Digest(Sha256Of({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}));
         WriteFile(site + "/files/data/new.bin~" + tag.substr(0, 16), "mine");
       },
       game, false},
      {"a record that claims a file outside the site",
       [&] {
         WriteFile(user + "/thesis.doc", "thesis");
         WriteFile(site + "/.brimtale-pack-cache", ReadFile(site + "/.brimtale-pack-cache") + "owned ../user/thesis.doc\n");
       },
       game, false},
      {"the game inside the site", [&] { WriteFile(site + "/files/added.txt", "added"); }, site + "/files", false},
      {"the game inside the site through a link",
       [&] {
         WriteFile(site + "/files/added.txt", "added");
         fs::create_directory_symlink(site + "/files", dir / "to-files");
       },
       dir / "to-files", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& folder : {game, site, user, dir / "files-aside", dir / "data-aside", dir / "to-files"})
      fs::remove_all(folder);
    WriteFile(game + "/readme.txt", Text(5000));
    WriteFile(game + "/data/old.txt", Text(7000));
    ASSERT_EQ(Pack().error, "");
    c.prepare();
    const auto userFiles = FilesUnder(user);
    const auto siteFiles = FilesUnder(site);
    // A refused run, tried again, is refused again.
    for (int run = 0; run < (c.packs ? 1 : 2); ++run) {
      const PackReport report = PackSite(c.gameFolder, site, {});
      EXPECT_EQ(report.error.empty(), c.packs) << report.error;
      EXPECT_EQ(FilesUnder(user), userFiles);
      if (!c.packs) {
        EXPECT_EQ(FilesUnder(site), siteFiles);
      }
    }
    for (const auto& [path, md5] : siteFiles) {
      if (path != "manifest.txt" && !path.starts_with("files/readme.txt~") && !path.starts_with("files/data/old.txt~")) {
        EXPECT_EQ(Md5Text(ReadFile(site + "/" + path)), md5) << path;
      }
    }
    if (c.packs) {
      EXPECT_EQ(SiteProblem(site), "");
    }
  }
}

TEST_F(PackSiteTest, FollowsLinksOnlyWhereTheyStayInsideTheGameFolder) {
  WriteFile(game + "/readme.txt", "read me");
  WriteFile(game + "/data/world.dat", "world");
  WriteFile(dir / "outside-secret.txt", "secret");
  struct Case {
    const char* name;
    std::string target;
    std::string said;  // why it was left out; empty when it is published with its target's bytes
  };
  const Case cases[] = {
      {"alias.txt", "readme.txt", ""},
      {"data/up.txt", "../readme.txt", ""},
      {"data/chain.txt", "../alias.txt", ""},
      {"linked.txt", "../outside-secret.txt", "a link out of the game folder"},
      {"absolute.txt", game + "/readme.txt", "a link out of the game folder (or an absolute one)"},
      {"pagemap", "/proc/self/pagemap", "a link out of the game folder"},
      {"climbs-back.txt", "../game/readme.txt", "a link out of the game folder"},
      {"folder-inside", "data", "a link to a folder"},
      {"folder-outside", "..", "a link out of the game folder"},
      {"nowhere.txt", "missing.txt", "a link that leads nowhere"},
      {"loop", "loop", "a loop of links"},
  };
  for (const Case& c : cases) fs::create_symlink(c.target, game + "/" + c.name);

  const PackReport report = Pack();
  ASSERT_EQ(report.error, "");
  const auto manifest = Manifest(site);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string skipped = std::string(c.name) + ": " + c.said;
    const bool said = std::any_of(report.skipped.begin(), report.skipped.end(),
                                  [&](const std::string& line) { return line.starts_with(skipped); });
    if (c.said.empty()) {
      ASSERT_EQ(manifest.count(c.name), 1u) << Joined(report.skipped);
      EXPECT_EQ(ReadFile(site + "/" + manifest.at(c.name).served), "read me");
    } else {
      EXPECT_EQ(manifest.count(c.name), 0u);
      EXPECT_TRUE(said) << Joined(report.skipped);
    }
  }
  for (const auto& [path, md5] : FilesUnder(site)) EXPECT_NE(md5, Md5Text("secret")) << path;
}

// The real tool against a live site, with a fault in the middle of its second run: the game file
// z.bin, read last, cannot be opened, or the tool is killed while it opens it, or the disk fills
// up. A reader meanwhile finds the first site whole, and a later run cleans up after the fault.
class OpenGate {
 public:
  explicit OpenGate(const std::string& path) : m_fd(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY)) {
    if (m_fd >= 0 && fanotify_mark(m_fd, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, path.c_str()) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~OpenGate() {
    if (m_fd >= 0) close(m_fd);
  }
  bool armed() const { return m_fd >= 0; }
  // The id of the process that opens the file; it waits until Answer. 0 when none did in time.
  int WaitForOpen() {
    pollfd ready{m_fd, POLLIN, 0};
    fanotify_event_metadata event{};
    if (poll(&ready, 1, 60000) != 1 || read(m_fd, &event, sizeof event) != sizeof event) return 0;
    m_eventFd = event.fd;
    return event.pid;
  }
  void Answer(bool allow) {
    fanotify_response response{m_eventFd, static_cast<__u32>(allow ? FAN_ALLOW : FAN_DENY)};
    EXPECT_EQ(write(m_fd, &response, sizeof response), static_cast<ssize_t>(sizeof response));
    close(m_eventFd);
  }

 private:
  int m_fd = -1;
  int m_eventFd = -1;
};

TEST_F(PackSiteTest, AFailedOrKilledRunLeavesTheLiveSiteWhole) {
  std::string parentNamespace = "/proc/" + std::to_string(getppid()) + "/ns/mnt";
  ASSERT_NE(fs::read_symlink("/proc/self/ns/mnt"), fs::read_symlink(parentNamespace))
      << "run by ctest, which starts this binary under unshare --mount";
  enum class Fault { kUnreadable, kKilled, kDiskFull };
  const std::pair<const char*, Fault> cases[] = {
      {"a file cannot be read", Fault::kUnreadable}, {"killed", Fault::kKilled}, {"the disk fills up", Fault::kDiskFull}};
  for (const auto& [name, fault] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(game);
    fs::remove_all(site);
    fs::create_directories(site);
    if (fault == Fault::kDiskFull) {
      ASSERT_EQ(mount("tmpfs", site.c_str(), "tmpfs", 0, "size=3m"), 0)
          << "needs root in a mount namespace of its own: " << strerror(errno);
    }
    for (int i = 0; i < 20; ++i) WriteFile(game + "/m/" + std::to_string(i) + ".txt", Text(2000 + i));
    WriteFile(game + "/a.txt", Text(30000));
    WriteFile(game + "/z.bin", Noise(2 << 20, 1));
    auto pack = [&] { return std::make_unique<ChildProcess>(std::vector<std::string>{BRIMTALE_PACK_PATH, game, site},
                                                            ProcessOptions{}); };
    ASSERT_EQ(pack()->Wait().exitStatus, 0);
    const auto first = FilesUnder(site);

    // Every file changes: each is written under a new name before z.bin is opened.
    for (int i = 0; i < 20; ++i) WriteFile(game + "/m/" + std::to_string(i) + ".txt", Text(3000 + i));
    WriteFile(game + "/a.txt", Text(30001));
    WriteFile(game + "/z.bin", Noise(2 << 20, 2));
    std::unique_ptr<ChildProcess> run;
    if (fault == Fault::kDiskFull) {
      run = pack();
    } else {
      OpenGate gate(game + "/z.bin");
      ASSERT_TRUE(gate.armed()) << "fanotify needs root: " << strerror(errno);
      run = pack();
      const int opener = gate.WaitForOpen();
      ASSERT_EQ(opener, run->pid());
      if (fault == Fault::kKilled) kill(opener, SIGKILL);
      gate.Answer(fault == Fault::kKilled);
    }  // the gate is gone: no later open waits on it
    const auto result = run->Wait();
    EXPECT_NE(result.exitStatus, 0) << result.output;
    EXPECT_EQ(SiteProblem(site), "");
    const auto during = FilesUnder(site);
    for (const auto& [path, md5] : first) EXPECT_EQ(during.count(path) ? during.at(path) : "(gone)", md5) << path;
    // A run that could end removed what it wrote; a killed one leaves it to the next run.
    if (fault != Fault::kKilled) {
      EXPECT_EQ(during.size(), first.size());
    }

    // The next run without a fault publishes a newer site and leaves no file of the failed one.
    if (fault == Fault::kDiskFull) {
      ASSERT_EQ(mount("tmpfs", site.c_str(), "tmpfs", MS_REMOUNT, "size=16m"), 0);
    }
    WriteFile(game + "/a.txt", Text(30002));
    const auto again = pack()->Wait();
    ASSERT_EQ(again.exitStatus, 0) << again.output;
    EXPECT_EQ(SiteProblem(site), "");
    EXPECT_EQ(FilesUnder(site).size(), Manifest(site).size() + 1) << "the new served files and the manifest";
    EXPECT_EQ(Manifest(site).at("z.bin").md5, Md5Text(Noise(2 << 20, 2)));
  }
  umount2(site.c_str(), MNT_DETACH);
}

TEST(PackCommand, AnswersAsACommandLineToolDoes) {
  struct Case {
    std::string arguments;
    int status;
    std::string printed;  // on standard output
  };
  const Case cases[] = {
      {"--help", 0, "usage: brimtale-pack"},
      {"-h", 0, "usage: brimtale-pack"},
      {"", 2, ""},
      {"onlyone", 2, ""},
      {"--expires 3 game site", 2, ""},
      {"--frobnicate game site", 2, ""},
      {"keygen", 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const auto result = RunProcess({"/bin/sh", "-c", std::string(BRIMTALE_PACK_PATH) + " " + c.arguments + " 2>/dev/null"});
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_TRUE(c.printed.empty() ? result.output.empty() : result.output.starts_with(c.printed)) << result.output;
  }
}

}  // namespace
