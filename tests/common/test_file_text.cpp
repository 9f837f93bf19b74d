// Whole-file reads: long files, files that cannot be opened, and reads that fail.
#include "file_text.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "test_broker.h"

namespace {

using kavrion::readFileText;
using norvane::testing::TempDir;

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

TEST(ReadFileText, FileLongerThanOneReadComesBackByteForByte) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 3000; ++i) text += static_cast<char>(i % 251);  // NULs included
  writeFile(dir.path() / "long", text);
  const auto read = readFileText((dir.path() / "long").string());
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, text);
  writeFile(dir.path() / "long", text + text + text);  // 9,000 bytes: three reads
  EXPECT_EQ(readFileText((dir.path() / "long").string()), text + text + text);
}

TEST(ReadFileText, EmptyFileIsAnEmptyTextNotNothing) {
  TempDir dir;
  writeFile(dir.path() / "empty", "");
  EXPECT_EQ(readFileText((dir.path() / "empty").string()), std::string());
}

TEST(ReadFileText, MissingFileIsNothing) {
  TempDir dir;
  EXPECT_EQ(readFileText((dir.path() / "missing").string()), std::nullopt);
}

TEST(ReadFileText, LinkIsRefusedOnlyWhenAskedTo) {
  TempDir dir;
  writeFile(dir.path() / "target", "behind the link");
  std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link");
  const std::string link = (dir.path() / "link").string();
  EXPECT_EQ(readFileText(link), "behind the link");
  EXPECT_EQ(readFileText(link, O_NOFOLLOW), std::nullopt);
}

TEST(ReadFileText, DirectoryOpensButFailsToReadWithItsPathAndErrno) {
  TempDir dir;
  try {
    readFileText(dir.path().string());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot read " + dir.path().string() + " errno: 21");
  }
}

}  // namespace
