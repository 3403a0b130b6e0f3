// Storage facts: the byte counts of a file system and the device that holds a path.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "folder_data.h"

bool FolderData::get_disk_usage(const std::string& path, uint64_t& total, uint64_t& used,
                                uint64_t& free_bytes) {
  struct statvfs stats {};
  if (statvfs(path.c_str(), &stats) != 0) {
    std::perror("statvfs");
    return false;
  }
  // The counts are narrower than 64 bits on some processors: widen before
  // multiplying. Blocks reserved for the superuser are not free.
  const auto fragment = static_cast<uint64_t>(stats.f_frsize);
  total = static_cast<uint64_t>(stats.f_blocks) * fragment;
  free_bytes = static_cast<uint64_t>(stats.f_bavail) * fragment;
  used = total - free_bytes;
  return true;
}

std::vector<FolderData::MountInfo> FolderData::get_mounted_devices() {
  std::ifstream table("/proc/mounts");
  if (!table) {
    std::cerr << "Failed to open /proc/mounts" << std::endl;
    return {};
  }
  std::vector<MountInfo> mounts;
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    MountInfo mount;
    if (fields >> mount.device >> mount.mount_point) mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::string FolderData::get_block_device(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    std::perror("stat");
    return "";
  }
  for (const MountInfo& mount : get_mounted_devices()) {
    struct stat mount_status {};
    if (stat(mount.mount_point.c_str(), &mount_status) == 0 &&
        mount_status.st_dev == status.st_dev) {
      return mount.device;
    }
  }
  return "";
}
