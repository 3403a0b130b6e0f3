// The watched folder: the one object of a msgdb-trim run.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Returns whether `a` and `b` are the status of one and the same file.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Closes a descriptor, if there is one, when it goes out of scope, leaving
/// errno as it was. Not to be copied.
struct Closer {
  ~Closer() {
    if (fd < 0) return;
    const int error = errno;
    close(fd);
    errno = error;
  }
  int fd = -1;  ///< The descriptor, or -1 for none.
};

/// The folder whose file system a run keeps from filling, with every operation
/// of the tool as a member. Failures are written to standard error and
/// answered with a neutral result; nothing is thrown.
class FolderData {
 public:
  // The folder.

  /// Stores `folder` unchanged, opens it once for every later operation, and
  /// announces it and its device ("Watching '…'", "On Block Device '…'").
  explicit FolderData(std::string folder);
  /// Closes the folder.
  ~FolderData();
  FolderData(const FolderData&) = delete;
  FolderData& operator=(const FolderData&) = delete;

  /// Writes `call`, ": " and the text of errno as a line to standard error,
  /// marked as an error when standard error is the journal.
  void report(const char* call) const;
  /// Returns whether `journal_stream`, as systemd sets JOURNAL_STREAM
  /// ("<device>:<inode>"), names the file whose status is `stream`.
  static bool is_journal(const char* journal_stream, const struct stat& stream);

  std::string folder;        ///< The path exactly as given; never changed.
  std::string block_device;  ///< Device holding `folder`; empty if not found.

  // Storage facts.

  /// One line of the kernel's mount table.
  struct MountInfo {
    std::string device;       ///< First field, escapes decoded: the mounted device or source.
    std::string mount_point;  ///< Second field, escapes decoded: where it is mounted.
  };

  /// Fills in the total, used and free bytes of the folder's file system and
  /// returns true; false, after a "statvfs" line, when it can't be measured.
  bool get_disk_usage(uint64_t& total, uint64_t& used, uint64_t& free_bytes);
  /// Writes back the file system's data through `fd` (-1: the folder opened
  /// anew), then measures it until used stops falling, for at most about a
  /// second; false, after a "statvfs" line, when it can't be measured.
  bool settle_usage(int fd, uint64_t& total, uint64_t& used, uint64_t& free_bytes);
  /// Sets the byte counts of a file system from its block counts; used is 0
  /// where more is free than the total.
  static void count_usage(uint64_t blocks, uint64_t available, uint64_t fragment, uint64_t& total,
                          uint64_t& used, uint64_t& free_bytes);
  /// Returns the entries of "/proc/mounts", escapes decoded; an empty list,
  /// after "Failed to open /proc/mounts", when it can't be read.
  std::vector<MountInfo> get_mounted_devices();
  /// Returns the entries of a mount table in table order, escapes decoded;
  /// lines of fewer than two fields are skipped.
  static std::vector<MountInfo> parse_mount_table(std::istream& table);
  /// Returns the device of the mount that holds `path`; an empty string when
  /// none does, or after a "stat" or "realpath" line when `path` can't be.
  std::string get_block_device(const std::string& path);
  /// Returns the device of the deepest, then latest, of `mounts` on the path
  /// `resolved` whose mount point is on device number `device` by
  /// `device_of` (asked of mounts on the path only); empty when none is.
  static std::string pick_device(
      const std::vector<MountInfo>& mounts, const std::string& resolved, uint64_t device,
      const std::function<std::optional<uint64_t>(const std::string&)>& device_of);

  // The log catalogue.

  /// A listed log file in 16 bytes: its name's digits, its index, its kind.
  struct LogFile {
    /// Bytes for the longest name, a journal's, and its terminating NUL.
    static constexpr size_t kNameSize = 30;

    std::array<char, 8> digits{};  ///< The name's eight hexadecimal digits, as written.
    uint32_t index = 0;            ///< The log index they decode to.
    bool journal = false;          ///< Whether the name ends in "-journal".

    /// Returns the file's name, NUL-terminated.
    std::array<char, kNameSize> name() const;
    /// Returns whether this file's name sorts before `other`'s, as bytes.
    bool operator<(const LogFile& other) const;
  };

  /// What a look at the folder's "msgdb.idx" found.
  enum class IndexRead {
    kAbsent,      ///< Nothing is there.
    kNumber,      ///< A file that starts with a usable number.
    kNoNumber,    ///< A file without one.
    kUnreadable,  ///< Something that can't be opened or read, or is no regular file.
    kUnknown,     ///< Whether anything is there can't be told.
  };

  /// Returns the folder's log files in directory order; nothing, after an
  /// "opendir" or "readdir" line, when it can't be listed whole.
  std::optional<std::vector<LogFile>> get_log_files();
  /// Returns the log index that a log file name carries; 0 for other names.
  static uint32_t filename_to_index(const std::string& name);
  /// Returns whether `name` as a whole is a log file name (see the manual's
  /// DESCRIPTION), and if so sets `file` to what it says.
  static bool match_log_file_name(std::string_view name, LogFile& file);
  /// Returns the current log index in "msgdb.idx", 0 for none or no number,
  /// after "Reading log idx from file..." when something is there; nothing,
  /// after a failure line, when it can't be read.
  std::optional<uint32_t> read_index_file();
  /// Reads the number at the start of "msgdb.idx" into `index` (kNumber),
  /// writing nothing; where that tells no index, `call` names the call that
  /// failed and errno says why.
  IndexRead read_index(uint32_t& index, const char*& call);
  /// Returns whether `read` tells the index (none, for no file or number).
  static bool tells_index(IndexRead read);

  // Trimming.

  /// The log files a trim may remove, in the order they go.
  struct Candidates {
    std::vector<LogFile> files;  ///< Those above the current index, then those below.
    size_t upper_count = 0;      ///< How many of `files` lie above the current index.
  };

  /// Once `trigger_percent` or more is used, removes log files until usage
  /// should be back at `target_percent`, waiting at most `lock_wait` for a
  /// run before it; reports each stage on standard output.
  void CheckAndTrim(uint64_t target_percent, uint64_t trigger_percent,
                    std::chrono::milliseconds lock_wait = kLockWait);
  /// Returns `part` as a share of `total` in percent; NaN for a total of 0.
  static double share(uint64_t part, uint64_t total);
  /// Returns a share as the output writes it: six significant digits, "nan".
  static std::string share_text(double share);
  /// Returns whether a used share calls for a trim: never one that is NaN.
  static bool time_to_trim(double used_share, uint64_t trigger_percent);
  /// Returns the bytes to remove from `total` for the used share to fall to
  /// `target_percent`; 0 when it is there already.
  static uint64_t bytes_to_trim(double used_share, uint64_t target_percent, uint64_t total);
  /// Returns `files` without `current` and the `moved` indices after it, the
  /// rest split by index (above it, then below) and each part sorted by name.
  static Candidates choose_candidates(std::vector<LogFile> files, uint32_t current, uint32_t moved);
  /// Removes the log files from `first` up to `last`, in order, until
  /// `target` bytes have gone; returns the bytes removed, maybe short of it.
  uint64_t trim_files(const LogFile* first, const LogFile* last, uint64_t target);

  // The lock (the manual's LOCKING says what it promises).

  /// What became of a run's attempt to take the folder's lock.
  enum class LockOutcome { kHeld, kWithout, kBusy };
  /// What a run makes of what it finds under the lock file's name.
  enum class LockVerdict { kUse, kLeave, kReplace, kRemove };
  /// The folder's lock, as a run took it or went without it.
  struct Lock {
    Closer file;            ///< The lock file, locked; none when the run goes without.
    struct stat status {};  ///< The lock file's status, once locked.
    int unsaid = 0;         ///< Why the run goes without, said if it removes; 0 for nothing.
  };

  /// How long a run waits for another run on its folder to end.
  static constexpr std::chrono::milliseconds kLockWait{45'000};
  /// The name of the lock file that runs on one folder take turns by.
  static constexpr const char* kLockName = ".msgdb-trim.lock";

  /// Takes the folder's lock and returns kHeld with `lock` holding it until
  /// it goes; kBusy when `wait` ran out; kWithout when none is to be had.
  LockOutcome lock_folder(std::chrono::milliseconds wait, Lock& lock);
  /// Returns whether a run may remove files by `lock`: true for one held
  /// whose name still leads to it, or, after a line if there is one to say,
  /// for none; false, after a line, for one whose name leads elsewhere now.
  bool may_remove(const Lock& lock) const;
  /// Returns the verdict of a run of account `me` on `lock`, found under the
  /// lock file's name in the folder whose status is `folder`.
  static LockVerdict judge_lock_file(const struct stat& lock, const struct stat& folder, uid_t me);

 private:
  /// Removes `found`, what was found under the lock file's name, and returns
  /// true, also when the name leads elsewhere by then; false, with errno
  /// set, when it can't go.
  bool clear_lock_name(const struct stat& found);

  int dir_ = -1;                 ///< The folder, opened once (O_PATH); -1 if it could not be.
  int dir_error_ = 0;            ///< Why the folder could not be opened.
  const char* error_mark_ = "";  ///< Before each error line: "<3>" when it goes to the journal.
};
