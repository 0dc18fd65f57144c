// CALCULATE_MD5 and DECOMPRESS as the movie sends them: answers, log lines, and what is left on
// disk when a decompression fails.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>
#include <vector>

#include "flash/CTransparentFlashPlayerControlWnd.h"
#include "support/RecordingRuntime.h"
#include "support/TestGameHost.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

namespace {

// What the application would give the game window.
testing_support::TestGameHost g_host;

namespace fs = std::filesystem;
using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::RecordingRuntime;
using testing_support::TempDir;
using testing_support::TestLogMessages;
using testing_support::TestLogMessagesSince;
using testing_support::WriteFile;
using Answer = std::vector<std::string>;

const bool kLogReady = (testing_support::UseTestLog(), true);

// 01 17 14 08 00 00 80 61 61 61 CE 00, then eleven 61: twenty 'a' (three literals, a match of
// offset 3 and length 6, then the literal tail).
const std::string kTwentyA = std::string("\x01\x17\x14\x08\x00\x00\x80\x61\x61\x61\xCE\x00", 12) + std::string(11, 'a');

class DigestCommands : public ::testing::Test {
 protected:
  DigestCommands() { m_window.m_hFlashWnd = reinterpret_cast<HWND>(0x1000); }

  Answer Run(const std::string& command, const std::string& arguments) {
    m_runtime.Clear();
    m_window.DispatchFSCommand(command.c_str(), arguments.c_str());
    auto answers = m_runtime.CompleteEvents();
    EXPECT_LE(answers.size(), 1u) << command;
    return answers.empty() ? Answer{} : answers[0];
  }

  std::string Path(const std::string& name) const { return m_dir / name; }

  TempDir m_dir;
  RecordingRuntime m_runtime;
  CTransparentFlashPlayerControlWnd m_window{g_host};
};

std::string Md5sum(const std::string& path) {
  auto result = testing_support::RunProcess({"/usr/bin/md5sum", path});
  return result.output.substr(0, 32);
}

TEST_F(DigestCommands, CalculateMd5AnswersTheDigestOfTheWholeFileLikeMd5sum) {
  for (size_t size : {0u, 1u, 1024u, 1025u, 70000u}) {
    std::string content;
    for (size_t i = 0; i < size; ++i) content += static_cast<char>((i * 7 + size) & 0xFF);
    // The movie's names are bytes: the last one is not UTF-8.
    std::string path = Path(size == 70000u ? std::string("caf\xe9 \xff\xfe") : "file" + std::to_string(size));
    WriteFile(path, content);
    size_t mark = TestLogMessages().size();
    std::string digest = Md5sum(path);
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(Run("CALCULATE_MD5", path), (Answer{"CALCULATE_MD5", digest, path})) << size;
    EXPECT_EQ(TestLogMessagesSince(mark).back(), "CalcMd5: " + path + ", " + digest);
  }
}

TEST_F(DigestCommands, CalculateMd5OfAFileThatCannotBeOpenedAnswersZeros) {
  fs::create_directories(Path("folder"));
  // Only regular files are read: a FIFO without a writer would block for ever, a device (here a
  // null device of the test's own) or a generated file of /proc may never end.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  const std::string zeros(32, '0');
  for (const std::string& path : {Path("missing"), Path("folder"), Path("folder") + "/..",
                                  std::string("/proc/self/no-such-entry"),
                                  Path("fifo"), Path("null"), std::string("/proc/self/status")})
    EXPECT_EQ(Run("CALCULATE_MD5", path), (Answer{"CALCULATE_MD5", zeros, path})) << path;
}

TEST_F(DigestCommands, DecompressWritesTheDecodedFileAndLogsItsSteps) {
  WriteFile(Path("compressed"), kTwentyA);
  WriteFile(Path("stored"), std::string("\x00\x06\x03" "abc", 6));
  WriteFile(Path("stored-empty"), std::string("\x00\x03\x00", 3));
  WriteFile(Path("existing"), "old content that is longer than the new one");
  struct Case {
    std::string source;
    std::string destination;
    std::string content;
  } cases[] = {
      {Path("compressed"), Path("out-a"), std::string(20, 'a')},
      {Path("stored"), Path("out-abc"), "abc"},
      {Path("stored-empty"), Path("out-empty"), ""},
      {Path("compressed"), Path("existing"), std::string(20, 'a')},
  };
  for (const Case& c : cases) {
    size_t mark = TestLogMessages().size();
    EXPECT_EQ(Run("DECOMPRESS", c.source + "," + c.destination), (Answer{"DECOMPRESS_COMPLETE", c.source}));
    EXPECT_EQ(ReadFile(c.destination), c.content) << c.destination;
    EXPECT_EQ(TestLogMessagesSince(mark),
              (std::vector<std::string>{"DispatchFSCommand: DECOMPRESS\t" + c.source + "," + c.destination,
                                        "Start Decompress file: " + c.source + " => " + c.destination,
                                        "Start Decompress file result: 0"}));
  }
}

TEST_F(DigestCommands, AFailedDecompressLeavesTheDestinationAsItWas) {
  std::string firstTokenIsAMatch = kTwentyA;
  firstTokenIsAMatch[3] = '\x01';  // control word bit 0: the first token is a match, offset beyond the output
  std::string sizeFieldTooSmall = kTwentyA;
  sizeFieldTooSmall[1] = '\x10';
  WriteFile(Path("match-first"), firstTokenIsAMatch);
  WriteFile(Path("short-size"), sizeFieldTooSmall);
  WriteFile(Path("truncated"), kTwentyA.substr(0, 15));
  WriteFile(Path("header-only"), "\x01\x17");
  fs::create_directories(Path("a-folder"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);

  for (const std::string& source : {Path("missing"), Path("match-first"), Path("short-size"), Path("truncated"),
                                    Path("header-only"), Path("a-folder"), Path("fifo")}) {
    WriteFile(Path("destination"), "old content");
    size_t mark = TestLogMessages().size();
    EXPECT_EQ(Run("DECOMPRESS", source + "," + Path("destination")), (Answer{"DECOMPRESS_FAILTE", source}));
    EXPECT_EQ(ReadFile(Path("destination")), "old content") << source;
    auto messages = TestLogMessagesSince(mark);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_NE(messages[2], "Start Decompress file result: 0");
    EXPECT_EQ(messages[2].rfind("Start Decompress file result: ", 0), 0u);

    EXPECT_EQ(Run("DECOMPRESS", source + "," + Path("absent")), (Answer{"DECOMPRESS_FAILTE", source}));
    EXPECT_FALSE(PathExists(Path("absent"))) << source;
  }
  // Nothing is left behind beside the destination.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir.path())) ++entries;
  EXPECT_EQ(entries, 7u);
}

TEST_F(DigestCommands, DecompressIntoAPlaceThatCannotBeWrittenFails) {
  WriteFile(Path("compressed"), kTwentyA);
  fs::create_directories(Path("a-folder"));
  for (const std::string& destination : {Path("no-such-folder/out"), Path("a-folder"), std::string("/proc/self/no/out")})
    EXPECT_EQ(Run("DECOMPRESS", Path("compressed") + "," + destination), (Answer{"DECOMPRESS_FAILTE", Path("compressed")}))
        << destination;
  EXPECT_TRUE(fs::is_directory(Path("a-folder")));
  EXPECT_TRUE(fs::is_empty(Path("a-folder")));
}

TEST_F(DigestCommands, WrongEntryCountsAreLoggedAndNeverAnswered) {
  struct Case {
    const char* command;
    const char* arguments;
    const char* message;
  } cases[] = {
      {"CALCULATE_MD5", "a,b", "CALCULATE_MD5, argc must equal: 1"},
      {"DECOMPRESS", "a", "DECOMPRESS, argc must equal: 2"},
      {"DECOMPRESS", "a,b,c", "DECOMPRESS, argc must equal: 2"},
  };
  for (const Case& c : cases) {
    size_t mark = TestLogMessages().size();
    EXPECT_EQ(Run(c.command, c.arguments), Answer{});
    EXPECT_EQ(TestLogMessagesSince(mark),
              (std::vector<std::string>{std::string("DispatchFSCommand: ") + c.command + "\t" + c.arguments, c.message}));
  }
}

}  // namespace
