// The watched folder's construction, the trim check and file removal.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <utility>

#include "folder_data.h"

namespace {

// A share of the file system in percent, six significant digits, trailing
// zeros dropped. A share that is not a number (a file system of 0 bytes) is
// written "nan" on every processor, whatever the sign bit of the NaN.
std::string share_text(double share) {
  if (std::isnan(share)) return "nan";
  std::ostringstream text;
  text << share;
  return text.str();
}

// The folder's own lock, held while the object lives: runs on one folder take
// turns, each measuring only once the run before it has ended, so that two
// runs never both remove the same excess. The lock is an flock on the folder
// itself, so nothing is created anywhere. Where it can't be had (the folder
// can't be opened, or its file system has no flock), the run goes on without
// it. The run installs no signal handler, so the wait is never interrupted.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) static_cast<void>(flock(fd_, LOCK_EX));
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

}  // namespace

FolderData::FolderData(std::string folder) : folder(std::move(folder)) {
  std::cout << "Watching '" << this->folder << "'" << std::endl;
  block_device = get_block_device(this->folder);
  std::cout << "On Block Device '" << block_device << "'" << std::endl;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): target, then trigger, is the interface.
void FolderData::CheckAndTrim(uint64_t target_percent, uint64_t trigger_percent) {
  const FolderLock lock(folder);
  uint64_t total = 0;
  uint64_t used = 0;
  uint64_t free_bytes = 0;
  // Without counts there is nothing to decide on; the "statvfs" line says why.
  if (!get_disk_usage(folder, total, used, free_bytes)) return;

  const double used_share = static_cast<double>(used) / static_cast<double>(total) * 100.0;
  const double free_share = static_cast<double>(free_bytes) / static_cast<double>(total) * 100.0;
  std::cout << "Used " << share_text(used_share) << "%" << std::endl;
  std::cout << "Free " << share_text(free_share) << "%" << std::endl;

  const std::optional<uint32_t> recorded = read_index_file();
  std::cout << "Current index " << recorded.value_or(0) << std::endl;

  // Written so that a share that is not a number never starts a trim.
  if (!(static_cast<double>(trigger_percent) <= used_share)) {
    std::cout << "Still got space.." << std::endl;
    return;
  }
  std::cout << "Time to Trim.." << std::endl;

  const double excess = used_share - static_cast<double>(target_percent);
  // A target above the used share asks for nothing; converting a negative
  // double to an unsigned count would be undefined.
  const uint64_t bytes_to_trim =
      excess > 0 ? static_cast<uint64_t>(excess / 100.0 * static_cast<double>(total)) : 0;
  std::cout << "Need to trim " << share_text(excess) << "%" << std::endl;
  std::cout << "Trimming " << bytes_to_trim << " bytes" << std::endl;
  // Without the index the database being written is unknown, and any file
  // could be it: nothing goes. The index file's line above says why.
  if (!recorded) {
    std::cout << "Trimmed 0 bytes" << std::endl;
    return;
  }
  const uint32_t current = *recorded;

  // Indices above the current one go first, then those below it; the current
  // database and its journal are never candidates. A folder may list a
  // hundred thousand names, so the listing itself becomes the upper list,
  // compacted in place, and only the lower names move out.
  std::vector<std::string> upper = get_log_files();
  // The writer may have moved on while the folder was listed: it publishes
  // the next index, then creates that database, which the listing may hold.
  // Read again, silently; the indices after the first read up to the one
  // read now, counted as the writer counts (past ffffffff to 00000000), are
  // kept like the current one. An index file that can't be read now, or
  // holds nothing usable, changes nothing.
  uint32_t now = current;
  const char* call = nullptr;
  const uint32_t moved = read_index_number(now, call) == IndexRead::kNumber ? now - current : 0;
  std::vector<std::string> lower;
  size_t kept = 0;
  for (size_t i = 0; i < upper.size(); ++i) {
    const uint32_t index = filename_to_index(upper[i]);
    // How far the writer must move on from the first read to reach this
    // index: 0 for the current one, which is never a candidate.
    const uint32_t ahead = index - current;
    if (ahead <= moved) continue;
    if (index > current) {
      if (kept != i) upper[kept] = std::move(upper[i]);
      ++kept;
    } else {
      lower.push_back(std::move(upper[i]));
    }
  }
  upper.resize(kept);
  std::sort(upper.begin(), upper.end());
  std::sort(lower.begin(), lower.end());

  uint64_t removed = trim_files(upper, bytes_to_trim);
  if (removed < bytes_to_trim) removed += trim_files(lower, bytes_to_trim - removed);
  std::cout << "Trimmed " << removed << " bytes" << std::endl;
}

uint64_t FolderData::trim_files(const std::vector<std::string>& names, uint64_t target) {
  if (names.empty()) return 0;
  // Each name is taken relative to the folder, opened once for the walk: the
  // folder's path is not looked up again for every file, and every removal
  // of the walk happens in the one directory that the path named when the
  // walk began. A folder that can't be opened is one where every name would
  // be passed over.
  const int dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  uint64_t removed = 0;
  for (const std::string& name : names) {
    // Not following links: a symbolic link counts its own size, and only the
    // link goes. Bytes count only once the file is really gone.
    struct stat status {};
    if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        unlinkat(dir, name.c_str(), 0) == 0) {
      removed += static_cast<uint64_t>(status.st_size);
    }
    if (removed >= target) break;
  }
  close(dir);
  return removed;
}
