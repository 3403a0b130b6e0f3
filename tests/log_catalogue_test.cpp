// Which names are log files, what index they carry, and what the index file holds.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "folder_data.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

struct NameCase {
  const char* name;
  bool listed;
  uint32_t index;
};

const NameCase kNames[] = {
    {"0000000a.movra.msg.db", true, 10},
    {"0000000A.movra.msg.db-journal", true, 10},
    {"00000000.movra.msg.db", true, 0},
    {"7fFfFfFf.movra.msg.db", true, 0x7fffffff},
    {"ffffffff.movra.msg.db", true, 0xffffffff},
    {"FFFFFFFF.movra.msg.db-journal", true, 0xffffffff},
    {"0000000.movra.msg.db", false, 0},               // seven digits
    {"000000000.movra.msg.db", false, 0},             // nine digits
    {"0000000g.movra.msg.db", false, 0},              // not hexadecimal
    {"0000000b.movra.msg.db.bak", false, 0},          // something after
    {"0000000b.movra.msg.db-journal.bak", false, 0},  // something after the journal
    {"0000000b.movra.msg.db-Journal", false, 0},      // suffix in another case
    {"0000000b.MOVRA.msg.db", false, 0},              // middle in another case
    {"0000000b.movra.msg.DB", false, 0},              // middle in another case
    {"0000000bXmovraXmsgXdb", false, 0},              // the full stops are literal
    {"x0000000b.movra.msg.db", false, 0},             // something before
    {" 0000000b.movra.msg.db", false, 0},             // something before
    {"0000000b.movra.msg.db\n", false, 0},            // a newline after
    {"0000000b.movra.msg.db-journal-journal", false, 0},
    {"msgdb.idx", false, 0},
};

}  // namespace

TEST(LogCatalogue, ListsExactlyTheLogFileNames) {
  TempDir dir;
  for (const NameCase& c : kNames) write_file(dir / c.name, 1);
  std::filesystem::create_directory(dir / "00000001.movra.msg.db");  // listed: type not checked

  FolderData data(dir.path());
  std::vector<std::string> listed = data.get_log_files();
  std::sort(listed.begin(), listed.end());

  std::vector<std::string> expected = {"00000001.movra.msg.db"};
  for (const NameCase& c : kNames) {
    if (c.listed) expected.emplace_back(c.name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);  // "." and ".." are rejected like any other name
}

TEST(LogCatalogue, DecodesTheIndexOfEachName) {
  FolderData data("/nonexistent");
  for (const NameCase& c : kNames) {
    EXPECT_EQ(data.filename_to_index(c.name), c.index) << c.name;
  }
}

TEST(LogCatalogue, EmptyFolderListsNothingQuietly) {
  TempDir dir;
  write_file(dir / "notes.txt", 10);
  FolderData data(dir.path());
  testing::internal::CaptureStderr();
  EXPECT_TRUE(data.get_log_files().empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(IndexFile, ReadsTheDecimalNumberAtItsStart) {
  const struct {
    const char* content;
    uint32_t index;
  } cases[] = {
      {"42\n", 42},
      {"  \n\t 42", 42},
      {"42 17\n", 42},
      {"42abc", 42},
      {"0000000042", 42},
      {"4294967295", 4294967295u},
      {"", 0},
      {"\n", 0},
      {"abc", 0},
      {"0x2a", 0},
      {"-5", 0},
      {"+5", 0},
      {"4294967296", 0},
      {"99999999999999999999999999", 0},
  };
  TempDir dir;
  FolderData data(dir.path());
  for (const auto& c : cases) {
    write_text(dir / "msgdb.idx", c.content);
    testing::internal::CaptureStdout();
    EXPECT_EQ(data.read_index_file(), c.index) << '"' << c.content << '"';
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading log idx from file...\n");
  }
}

TEST(IndexFile, WhatIsNotAReadableFile) {
  TempDir dir;
  write_file(dir / "plain", 3);
  std::filesystem::create_directory(dir / "with-dir");
  std::filesystem::create_directory(dir / "with-dir/msgdb.idx");
  std::filesystem::create_directory(dir / "with-dangling-link");
  std::filesystem::create_symlink("nowhere", dir / "with-dangling-link/msgdb.idx");
  std::filesystem::create_directory(dir / "with-loop");
  std::filesystem::create_symlink("msgdb.idx", dir / "with-loop/msgdb.idx");

  const struct {
    std::string folder;
    const char* out;
    const char* err;
  } cases[] = {
      {dir / "missing", "", ""},
      {dir / "plain", "", ""},  // a regular file given as the folder
      {dir / "with-dangling-link", "", ""},
      {dir / "with-dir", "Reading log idx from file...\n", ""},
      {dir / "with-loop", "", "stat: Too many levels of symbolic links\n"},
  };
  for (const auto& c : cases) {
    FolderData data(c.folder);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(data.read_index_file(), 0u) << c.folder;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.folder;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.folder;
  }
}
