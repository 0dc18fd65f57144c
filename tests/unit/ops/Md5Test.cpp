// MD5 against RFC 1321's test suite, pieces of any size, and files against the md5sum tool.

#include "ops/Md5.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::WriteFile;

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

struct DigestCase {
  std::string message;
  const char* digest;
};

// RFC 1321, appendix A.5, and a message of a million bytes that crosses many blocks.
const DigestCase kRfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
};

TEST(Md5, RfcSuiteInOnePiece) {
  for (const DigestCase& test : kRfcSuite) {
    EXPECT_EQ(FormatMd5Digest(Md5Of(Bytes(test.message))), test.digest) << test.message.size() << " bytes";
  }
}

// The partial-block buffer: pieces that end inside, exactly at, and across block boundaries.
TEST(Md5, RfcSuiteInPiecesOfEverySize) {
  for (const DigestCase& test : kRfcSuite) {
    if (test.message.size() > 1000) continue;
    for (size_t piece : {1, 3, 55, 56, 63, 64, 65, 127}) {
      Md5Context context;
      for (size_t at = 0; at < test.message.size(); at += piece) {
        context.Update(Bytes(test.message.substr(at, piece)));
      }
      EXPECT_EQ(FormatMd5Digest(context.Final()), test.digest) << "pieces of " << piece;
    }
  }
}

// The padding spills into a second block from 56 bytes of the last block on.
TEST(Md5, LengthsAroundThePaddingBoundary) {
  TempDir dir;
  for (size_t length : {55, 56, 57, 63, 64, 65, 119, 120, 128}) {
    std::string message(length, 'x');
    for (size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i * 7 + 1);
    WriteFile(dir / "m", message);
    auto result = RunProcess({"/usr/bin/env", "md5sum", dir / "m"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(FormatMd5Digest(Md5Of(Bytes(message))), result.output.substr(0, 32)) << length << " bytes";
  }
}

TEST(Md5, ContextStartsOverAfterFinal) {
  Md5Context context;
  context.Update(Bytes("abc"));
  context.Final();
  context.Update(Bytes("a"));
  EXPECT_EQ(FormatMd5Digest(context.Final()), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(CalcMd5, FilesAgreeWithMd5sum) {
  TempDir dir;
  // The empty file, one chunk of the original reader, one byte past it, and many large chunks;
  // then either side of the reader's own chunk (smaller files are read in a buffer of their size).
  std::vector<std::string> paths;
  for (size_t length : {0, 1024, 1025, 200001, 1048575, 1048576, 1048577, 3145728}) {
    std::string contents(length, '\0');
    for (size_t i = 0; i < length; ++i) contents[i] = static_cast<char>((i * 2654435761u) >> 13);
    paths.push_back(dir / ("file" + std::to_string(length)));
    WriteFile(paths.back(), contents);
  }
  // The buffer is sized by the file read, not by a link's own size; a sparse file is read whole.
  std::filesystem::create_symlink(dir / "file1048577", dir / "symbolic");
  std::filesystem::create_hard_link(dir / "file1025", dir / "hard");
  WriteFile(dir / "sparse", "end");
  std::filesystem::resize_file(dir / "sparse", 64 << 20);
  for (const char* name : {"symbolic", "hard", "sparse"}) paths.push_back(dir / name);
  for (const std::string& path : paths) {
    auto result = RunProcess({"/usr/bin/env", "md5sum", path});
    ASSERT_TRUE(result.exited);
    ASSERT_GE(result.output.size(), 32u);
    EXPECT_EQ(CalcMd5(path.c_str()), result.output.substr(0, 32)) << path;
  }
}

TEST(CalcMd5, EmptyFileIsTheDigestOfTheEmptyMessage) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  EXPECT_EQ(CalcMd5((dir / "empty").c_str()), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(CalcMd5, FileThatCannotBeOpenedAnswersZerosAndTellsStandardError) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  for (std::string path : {dir / "missing", dir / "folder", std::string()}) {
    testing::internal::CaptureStderr();
    std::string digest = CalcMd5(path.c_str());
    std::string error = testing::internal::GetCapturedStderr();
    EXPECT_EQ(digest, "00000000000000000000000000000000") << path;
    EXPECT_EQ(error.rfind("Can not find the file!: ", 0), 0u) << error;
    EXPECT_FALSE(Md5OfFile(path.c_str()).has_value());
  }
}

// A read error after a good open: the digest covers what was read before it.
TEST(CalcMd5, ReadErrorGivesTheDigestOfTheBytesBefore) {
  // A namespace file is a regular, empty file that opens, but every read of it fails.
  if (!std::filesystem::exists("/proc/self/ns/mnt")) GTEST_SKIP() << "no /proc";
  testing::internal::CaptureStderr();
  std::optional<Md5Digest> digest = Md5OfFile("/proc/self/ns/mnt");
  std::string error = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(FormatMd5Digest(*digest), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(error.rfind("Read error: ", 0), 0u) << error;
}

}  // namespace
