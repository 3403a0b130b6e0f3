// The watched folder's construction, the trim check and file removal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <utility>

#include "folder_data.h"

FolderData::FolderData(std::string folder) : folder(std::move(folder)) {
  // Lines on standard error go to the journal marked as errors when it is
  // the journal ("<3>", which the journal strips from the line); nothing else
  // the run does depends on where they go.
  struct stat err {};
  if (fstat(STDERR_FILENO, &err) == 0 && is_journal(std::getenv("JOURNAL_STREAM"), err)) {
    error_mark_ = "<3>";
  }
  // Every operation inside the folder goes through this one descriptor, so a
  // folder renamed or mounted over meanwhile can't have one folder measured
  // and another trimmed. O_PATH opens whatever the path names, for lookups
  // inside it; a folder that can't be searched or listed still opens, and
  // says so at the first operation that needs more.
  dir_ = open(this->folder.c_str(), O_PATH | O_CLOEXEC);
  dir_error_ = dir_ < 0 ? errno : 0;
  std::cout << "Watching '" << this->folder << "'" << std::endl;
  block_device = get_block_device(this->folder);
  std::cout << "On Block Device '" << block_device << "'" << std::endl;
}

FolderData::~FolderData() {
  if (dir_ >= 0) close(dir_);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): target, then trigger, is the interface.
void FolderData::CheckAndTrim(uint64_t target_percent, uint64_t trigger_percent,
                              std::chrono::milliseconds lock_wait) {
  // Runs on one folder take turns, each measuring only once the run before
  // it has ended: two runs that overlapped would both measure before either
  // removed anything, and together remove twice the excess. A run that can't
  // have the lock at all goes on alone.
  Lock lock;
  if (lock_folder(lock_wait, lock) == LockOutcome::kBusy) {
    std::cout << "Another run on this folder has not finished" << std::endl;
    return;
  }

  uint64_t total = 0;
  uint64_t used = 0;
  uint64_t free_bytes = 0;
  // Without counts there is nothing to decide on; the "statvfs" line says why.
  if (!get_disk_usage(total, used, free_bytes)) return;
  // A run that may trim decides on counts that the file system has settled:
  // space that the run before freed may not show yet. An idle run costs no
  // more than one measurement.
  if (time_to_trim(share(used, total), trigger_percent) &&
      !settle_usage(lock.file.fd, total, used, free_bytes)) {
    return;
  }
  const double used_share = share(used, total);
  std::cout << "Used " << share_text(used_share) << "%" << std::endl;
  std::cout << "Free " << share_text(share(free_bytes, total)) << "%" << std::endl;

  const std::optional<uint32_t> recorded = read_index_file();
  std::cout << "Current index " << recorded.value_or(0) << std::endl;

  if (!time_to_trim(used_share, trigger_percent)) {
    std::cout << "Still got space.." << std::endl;
    return;
  }
  std::cout << "Time to Trim.." << std::endl;
  const uint64_t target = bytes_to_trim(used_share, target_percent, total);
  std::cout << "Need to trim " << share_text(used_share - static_cast<double>(target_percent))
            << "%" << std::endl;
  std::cout << "Trimming " << target << " bytes" << std::endl;

  // Without the index the database being written is unknown, and any file
  // could be it; without the whole listing the order of removal is unknown.
  // Nothing goes; the line above says why.
  std::optional<std::vector<LogFile>> files;
  if (recorded) files = get_log_files();
  // The writer may have moved on while the folder was listed: it publishes
  // the next index, then creates that database, which the listing may hold.
  // Read again; the indices after the first read up to the one read now are
  // kept like the current one. An index file that is gone now, or holds
  // nothing usable, changes nothing; one that can't be read stops the trim
  // as at the first read.
  uint32_t now = recorded.value_or(0);
  const char* call = nullptr;
  if (files && !tells_index(read_index(now, call))) {
    report(call);
    files.reset();
  }
  const Candidates candidates =
      files ? choose_candidates(std::move(*files), *recorded, now - *recorded) : Candidates{};
  if (candidates.files.empty() || !may_remove(lock)) {
    std::cout << "Trimmed 0 bytes" << std::endl;
    return;
  }
  const LogFile* const first = candidates.files.data();
  const LogFile* const lower = first + candidates.upper_count;

  uint64_t removed = trim_files(first, lower, target);
  if (removed < target) {
    removed += trim_files(lower, first + candidates.files.size(), target - removed);
  }
  std::cout << "Trimmed " << removed << " bytes" << std::endl;
  // What went may free nothing now (another link, a program that holds it
  // open, a snapshot): then the next run removes as much again. Said once
  // the counts have settled, where the target was met and usage stays at
  // the trigger.
  if (removed >= target && settle_usage(lock.file.fd, total, used, free_bytes) &&
      time_to_trim(share(used, total), trigger_percent)) {
    static_cast<void>(std::fprintf(stderr, "%sTrim freed too little: used %s%%\n", error_mark_,
                                   share_text(share(used, total)).c_str()));
  }
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the index, then how far it moved.
FolderData::Candidates FolderData::choose_candidates(std::vector<LogFile> files, uint32_t current,
                                                     uint32_t moved) {
  // A folder may list a million names: the listing itself becomes the list
  // of candidates, in place. How far the writer must move on from `current`
  // to reach an index is 0 for the current one, which is never a candidate.
  const auto kept = [&](const LogFile& file) { return file.index - current <= moved; };
  files.erase(std::remove_if(files.begin(), files.end(), kept), files.end());
  const auto above = [&](const LogFile& file) { return file.index > current; };
  const auto lower = std::partition(files.begin(), files.end(), above);
  std::sort(files.begin(), lower);
  std::sort(lower, files.end());
  Candidates candidates;
  candidates.upper_count = static_cast<size_t>(lower - files.begin());
  candidates.files = std::move(files);
  return candidates;
}

bool FolderData::time_to_trim(double used_share, uint64_t trigger_percent) {
  // Written so that a share that is not a number never starts a trim.
  return static_cast<double>(trigger_percent) <= used_share;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the target, then the total.
uint64_t FolderData::bytes_to_trim(double used_share, uint64_t target_percent, uint64_t total) {
  const double excess = used_share - static_cast<double>(target_percent);
  // A target above the used share asks for nothing; converting a negative
  // double to an unsigned count would be undefined.
  return excess > 0 ? static_cast<uint64_t>(excess / 100.0 * static_cast<double>(total)) : 0;
}

double FolderData::share(uint64_t part, uint64_t total) {
  return static_cast<double>(part) / static_cast<double>(total) * 100.0;
}

// A share that is not a number (a file system of 0 bytes) is written "nan" on
// every processor, whatever the sign bit of the NaN.
std::string FolderData::share_text(double share) {
  if (std::isnan(share)) return "nan";
  std::ostringstream text;
  text << share;
  return text.str();
}

uint64_t FolderData::trim_files(const LogFile* first, const LogFile* last, uint64_t target) {
  uint64_t removed = 0;
  for (const LogFile* file = first; file != last; ++file) {
    // Not following links: a symbolic link counts its own size, and only the
    // link goes. Bytes count only once the name is gone; a file still open
    // elsewhere keeps its blocks until it is closed.
    const auto name = file->name();
    struct stat status {};
    if (fstatat(dir_, name.data(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        unlinkat(dir_, name.data(), 0) == 0) {
      removed += static_cast<uint64_t>(status.st_size);
    }
    if (removed >= target) break;
  }
  return removed;
}

void FolderData::report(const char* call) const {
  // A line that can't be written has nowhere else to go.
  static_cast<void>(std::fprintf(stderr, "%s%s: %s\n", error_mark_, call, std::strerror(errno)));
}

bool FolderData::is_journal(const char* journal_stream, const struct stat& stream) {
  if (journal_stream == nullptr) return false;
  char* end = nullptr;
  const unsigned long long device = std::strtoull(journal_stream, &end, 10);
  if (end == journal_stream || *end != ':') return false;
  const char* const inode_text = end + 1;
  const unsigned long long inode = std::strtoull(inode_text, &end, 10);
  return end != inode_text && *end == '\0' && device == stream.st_dev && inode == stream.st_ino;
}
