// Storage facts: the byte counts of a file system and the device that holds a path.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "folder_data.h"

bool FolderData::get_disk_usage(uint64_t& total, uint64_t& used, uint64_t& free_bytes) {
  // A folder that could not be opened is one that can't be measured, for the
  // same reason: its path can't be looked up.
  if (dir_ < 0) errno = dir_error_;
  struct statvfs stats {};
  if (dir_ < 0 || fstatvfs(dir_, &stats) != 0) {
    report("statvfs");
    return false;
  }
  // The counts are narrower than 64 bits on some processors: widen before
  // multiplying. Blocks reserved for the superuser are not free.
  count_usage(static_cast<uint64_t>(stats.f_blocks), static_cast<uint64_t>(stats.f_bavail),
              static_cast<uint64_t>(stats.f_frsize), total, used, free_bytes);
  return true;
}

bool FolderData::settle_usage(int fd, uint64_t& total, uint64_t& used, uint64_t& free_bytes) {
  // XFS gives a removed file's space back from a background worker, btrfs
  // at its next commit: until then the counts show it as used. syncfs
  // commits, and needs a descriptor open for reading or writing, which the
  // folder's own (O_PATH) is not. Where there is none, only the waiting is
  // left.
  const Closer opened{fd < 0 ? openat(dir_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1};
  if (fd < 0) fd = opened.fd;
  if (fd >= 0 && syncfs(fd) != 0) report("syncfs");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  if (!get_disk_usage(total, used, free_bytes)) return false;
  uint64_t before = 0;
  do {
    before = used;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!get_disk_usage(total, used, free_bytes)) return false;
  } while (used < before && std::chrono::steady_clock::now() < until);
  return true;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): statvfs's counts, in its order.
void FolderData::count_usage(uint64_t blocks, uint64_t available, uint64_t fragment,
                             uint64_t& total, uint64_t& used, uint64_t& free_bytes) {
  total = blocks * fragment;
  free_bytes = available * fragment;
  // Some file systems (FUSE, network ones) report more free than they hold:
  // that is nothing used, never a count wrapped around below zero.
  used = free_bytes < total ? total - free_bytes : 0;
}

namespace {

// The table writes a space, a tab, a newline and a backslash inside a name as
// \040, \011, \012 and \134: a backslash and three octal digits stand for
// the byte they give.
std::string decode_octal_escapes(const std::string& field) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string name;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      name += static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 |
                                (field[i + 3] - '0'));
      i += 3;
    } else {
      name += field[i];
    }
  }
  return name;
}

// Whether `point` is `path` or a folder above it; both are absolute and free
// of "." and "..".
bool on_path(const std::string& point, const std::string& path) {
  return path.compare(0, point.size(), point) == 0 &&
         (path.size() == point.size() || point.back() == '/' || path[point.size()] == '/');
}

}  // namespace

std::vector<FolderData::MountInfo> FolderData::get_mounted_devices() {
  std::ifstream table("/proc/mounts");
  if (!table) {
    std::cerr << error_mark_ << "Failed to open /proc/mounts" << std::endl;
    return {};
  }
  return parse_mount_table(table);
}

std::vector<FolderData::MountInfo> FolderData::parse_mount_table(std::istream& table) {
  // The kernel parts the fields with spaces and escapes those in a name; any
  // other byte, a vertical tab or a carriage return too, is the name's own.
  std::vector<MountInfo> mounts;
  std::string line;
  while (std::getline(table, line)) {
    const size_t device = line.find_first_not_of(' ');
    const size_t device_end = line.find(' ', device);
    const size_t point = line.find_first_not_of(' ', device_end);
    if (point == std::string::npos) continue;
    const size_t point_end = line.find(' ', point);
    mounts.push_back({decode_octal_escapes(line.substr(device, device_end - device)),
                      decode_octal_escapes(line.substr(point, point_end - point))});
  }
  return mounts;
}

std::string FolderData::get_block_device(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    report("stat");
    return "";
  }
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    report("realpath");
    return "";
  }
  const std::string own = resolved;
  std::free(resolved);
  return pick_device(get_mounted_devices(), own, status.st_dev,
                     [](const std::string& point) -> std::optional<uint64_t> {
                       struct stat point_status {};
                       if (stat(point.c_str(), &point_status) != 0) return std::nullopt;
                       return point_status.st_dev;
                     });
}

std::string FolderData::pick_device(
    const std::vector<MountInfo>& mounts, const std::string& resolved, uint64_t device,
    const std::function<std::optional<uint64_t>(const std::string&)>& device_of) {
  // Only the mounts on the folder's own path can hold it. The others are never
  // queried, so a mount elsewhere that stops answering can't stop the run.
  // A mount point deeper on the path covers those above it, and of one mount
  // point listed twice the later entry is mounted on top: the one the folder
  // shows, and the run measures.
  const MountInfo* holder = nullptr;
  for (const MountInfo& mount : mounts) {
    if (!on_path(mount.mount_point, resolved)) continue;
    if (holder != nullptr && mount.mount_point.size() < holder->mount_point.size()) continue;
    if (device_of(mount.mount_point) == device) holder = &mount;
  }
  return holder == nullptr ? "" : holder->device;
}
