// The trim check's decisions: whether to trim, how much, which files in which
// order, and what a run makes of what is found under the lock file's name.
#include "folder_data.h"
#include "test_support.h"

namespace {

// A log database's name, its index given without the leading zeros.
std::string db(const std::string& index) {
  return std::string(8 - index.size(), '0') + index + ".movra.msg.db";
}
std::string journal(const std::string& index) { return db(index) + "-journal"; }

TEST(CheckAndTrim, MeasuresAndSetsTheTarget) {
  // Blocks of 4096 bytes; the shares as written; the bytes that take usage
  // down to 70 %, or 0 where it is below 80 %.
  // clang-format off
  const struct { const char* what; uint64_t blocks, available; const char* shares;
                 uint64_t target; } cases[] = {
      {"just below the trigger", 1000, 201, "79.9 20.1", 0},
      {"exactly at the trigger", 1000, 200, "80 20", 409600},
      {"a share that is not whole, nor cut to one", 1000, 143, "85.7 14.3", 643072},
      {"more free than the total is nothing used", 1000, 1001, "0 100.1", 0},
      {"20 TiB: more than 2^32 blocks, a target past 4 GiB", 5368709120, 536870912, "90 10",
       4398046511104},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uint64_t total = 0, used = 0, free_bytes = 0;
    FolderData::count_usage(c.blocks, c.available, 4096, total, used, free_bytes);
    const double share = FolderData::share(used, total);
    const std::string free_share = FolderData::share_text(FolderData::share(free_bytes, total));
    EXPECT_EQ(FolderData::share_text(share) + " " + free_share, c.shares);
    EXPECT_EQ(FolderData::time_to_trim(share, 80) ? FolderData::bytes_to_trim(share, 70, total) : 0,
              c.target);
  }
}

TEST(CheckAndTrim, ChoosesTheOldestFirstNeverTheCurrentOnes) {
  // clang-format off
  const struct { const char* what; Lines names; uint32_t current, moved; Lines upper, lower; }
      cases[] = {
      {"each part by name, a database before its journal; never the current index",
       {db("8"), journal("3"), db("5"), journal("7"), db("3"), journal("5"), db("7")}, 5, 0,
       {db("7"), journal("7"), db("8")}, {db("3"), journal("3")}},
      {"names compare as bytes: B before a", {db("a"), db("B"), db("3")}, 5, 0,
       {db("B"), db("a")}, {db("3")}},
      {"the kept range wraps", {db("2"), db("1"), db("0"), db("ffffffff"), db("fffffffd")},
       0xfffffffe, 3, {}, {db("2"), db("fffffffd")}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FolderData::LogFile> files(c.names.size());
    for (size_t i = 0; i < files.size(); ++i)
      ASSERT_TRUE(FolderData::match_log_file_name(c.names[i], files[i]));
    const FolderData::Candidates chosen = FolderData::choose_candidates(files, c.current, c.moved);
    Lines names;
    for (const FolderData::LogFile& file : chosen.files) names.emplace_back(file.name().data());
    EXPECT_EQ(Lines(names.begin(), names.begin() + chosen.upper_count), c.upper);
    EXPECT_EQ(Lines(names.begin() + chosen.upper_count, names.end()), c.lower);
  }
}

TEST(CheckAndTrim, LocksOnlyByAFileNobodyElseCanHold) {
  // The run is account 1001's; the folder, of mode 0755 or (shared) 01777, is
  // 1000's. A folder under the name is the scenarios'.
  using Verdict = FolderData::LockVerdict;
  // clang-format off
  const struct { const char* what; mode_t mode; nlink_t links; uid_t owner; mode_t folder;
                 Verdict verdict; } cases[] = {
      {"its own", S_IFREG | 0600, 1, 1001, 0755, Verdict::kUse},
      {"root's", S_IFREG | 0600, 1, 0, 0755, Verdict::kUse},
      {"the folder owner's", S_IFREG | 0600, 1, 1000, 0755, Verdict::kUse},
      {"another account's, where anyone may create files", S_IFREG | 0600, 1, 65534, 01777,
       Verdict::kReplace},
      {"another account's, readable by all and with another name", S_IFREG | 0644, 2, 1002, 0755,
       Verdict::kReplace},
      {"a FIFO", S_IFIFO | 0600, 1, 1001, 0755, Verdict::kRemove},
      {"a symbolic link", S_IFLNK | 0777, 1, 0, 0755, Verdict::kRemove},
      {"a hard link of its own", S_IFREG | 0600, 2, 1001, 0755, Verdict::kLeave},
      {"its own, that the file system shows readable by the group", S_IFREG | 0640, 1, 1001, 0755,
       Verdict::kLeave},
      {"its own, that the file system shows writable by others", S_IFREG | 0602, 1, 1001, 0755,
       Verdict::kLeave},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    struct stat lock {
    }, folder{};
    lock.st_mode = c.mode, lock.st_nlink = c.links, lock.st_uid = c.owner;
    folder.st_mode = S_IFDIR | c.folder, folder.st_uid = 1000;
    EXPECT_EQ(FolderData::judge_lock_file(lock, folder, 1001), c.verdict);
  }
}

}  // namespace
