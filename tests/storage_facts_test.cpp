// Byte counts of a file system and the device that holds a path.
#include <cstdint>
#include <string>

#include "folder_data.h"
#include "gtest/gtest.h"
#include "test_support.h"

TEST(DiskUsage, AFileSystemWithNoBlocksHasNoBytes) {
  FolderData data("/proc");
  uint64_t total = 1, used = 1, free_bytes = 1;
  EXPECT_TRUE(data.get_disk_usage("/proc", total, used, free_bytes));
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(free_bytes, 0u);
}

TEST(DiskUsage, FailureLeavesTheCountsAlone) {
  FolderData data("/nonexistent");
  uint64_t total = 7, used = 8, free_bytes = 9;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(data.get_disk_usage("/nonexistent/folder", total, used, free_bytes));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "statvfs: No such file or directory\n");
  EXPECT_EQ(total, 7u);
  EXPECT_EQ(used, 8u);
  EXPECT_EQ(free_bytes, 9u);
}

TEST(BlockDevice, MountTableHasTheRootAndProc) {
  FolderData data("/");
  bool root = false;
  for (const FolderData::MountInfo& mount : data.get_mounted_devices()) {
    EXPECT_FALSE(mount.device.empty());
    root = root || mount.mount_point == "/";
  }
  EXPECT_TRUE(root);
  EXPECT_EQ(data.get_block_device("/proc/self"), "proc");  // a path below a mount point
}

TEST(BlockDevice, AMissingPathHasNoDevice) {
  FolderData data("/");
  testing::internal::CaptureStderr();
  EXPECT_EQ(data.get_block_device("/nonexistent/folder"), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "stat: No such file or directory\n");
}
