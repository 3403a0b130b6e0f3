// The byte counts made from a file system's block counts, where no real file
// system can show them.
#include "folder_data.h"
#include "test_support.h"

TEST(DiskUsage, MoreFreeThanTheTotalIsNothingUsed) {
  // As some FUSE and network file systems report: one block more available than there are.
  uint64_t total = 0, used = 1, free_bytes = 0;
  FolderData::count_usage(1000, 1001, 4096, total, used, free_bytes);
  EXPECT_EQ(total, 4096000u);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(free_bytes, 4100096u);
}
