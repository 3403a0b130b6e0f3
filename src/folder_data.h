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

/// The folder whose file system a run keeps from filling, with every operation
/// of the tool as a member. The folder is opened once, when the object is
/// made, and every operation inside it goes through that one descriptor, so a
/// folder renamed or mounted over meanwhile can't have one folder measured and
/// another trimmed. Failures are written to standard error and answered with
/// a neutral result; nothing is thrown.
class FolderData {
 public:
  /// One line of the kernel's mount table.
  struct MountInfo {
    std::string device;       ///< First field, escapes decoded: the mounted device or source.
    std::string mount_point;  ///< Second field, escapes decoded: where it is mounted.
  };

  /// A log file as the listing found it, in 16 bytes: what sets its name
  /// apart from every other log file's, and the index it carries. A folder
  /// may list a million; the name is written out again only to remove it.
  struct LogFile {
    /// Bytes for the longest name, a journal's, and its terminating NUL.
    static constexpr size_t kNameSize = 30;

    std::array<char, 8> digits{};  ///< The name's eight hexadecimal digits, as written.
    uint32_t index = 0;            ///< The log index they decode to.
    bool journal = false;          ///< Whether the name ends in "-journal".

    /// Returns the file's name, NUL-terminated.
    std::array<char, kNameSize> name() const;
    /// Returns whether this file's name sorts before `other`'s, compared as
    /// bytes: by the digits, then a database before its journal.
    bool operator<(const LogFile& other) const;
  };

  /// The log files a trim may remove, in one list, in the order they go.
  struct Candidates {
    /// Indices above the current one, the older databases, sorted by name;
    /// then those below it, removed only while more must go, sorted by name.
    std::vector<LogFile> files;
    size_t upper = 0;  ///< How many of `files` lie above the current index.
  };

  /// What a read of "msgdb.idx" found.
  enum class IndexRead { kNoFile, kNumber, kNoNumber, kUnreadable };

  /// What became of a run's attempt to lock its folder.
  enum class Lock { kHeld, kWithout, kBusy };

  /// What a run does with what it finds under the lock file's name.
  enum class LockFile { kUse, kLeave, kReplace, kRemove };

  /// How long a run waits for another run on its folder to end.
  static constexpr std::chrono::milliseconds kLockWait{45'000};

  /// The name of the lock file that runs on one folder take turns by.
  static constexpr const char* kLockName = ".msgdb-trim.lock";

  /// Stores `folder` unchanged, opens it, and announces it and the device that
  /// holds it ("Watching '…'", "On Block Device '…'") on standard output.
  explicit FolderData(std::string folder);
  /// Closes the folder.
  ~FolderData();
  FolderData(const FolderData&) = delete;
  FolderData& operator=(const FolderData&) = delete;

  /// Once `trigger_percent` or more of the file system is used, removes log
  /// files (never those of the current index) until usage should be back at
  /// `target_percent`, reporting each stage on standard output. Waits at most
  /// `lock_wait` for another run on the folder, then leaves the trim to it.
  void CheckAndTrim(uint64_t target_percent, uint64_t trigger_percent,
                    std::chrono::milliseconds lock_wait = kLockWait);

  /// Takes the folder's lock file, replacing what is found under its name
  /// where it may (see `judge_lock_file`), waiting at most `wait` while
  /// another run holds it, and returns kHeld with `lock` set to the
  /// descriptor that holds it until closed; returns kBusy when the wait ran
  /// out, and kWithout when there is no lock to be had. Writes a line to
  /// standard error only when another account's file under the name is what
  /// keeps the run without the lock.
  Lock lock_folder(std::chrono::milliseconds wait, int& lock);

  /// Removes the log files from `first` up to `last`, in that order, until
  /// `target` bytes have gone; returns the bytes of the files actually
  /// removed, which may fall short.
  uint64_t trim_files(const LogFile* first, const LogFile* last, uint64_t target);

  /// Fills in the total, used and free bytes of the folder's file system and
  /// returns true; on failure writes a "statvfs" line to standard error,
  /// leaves the counts untouched and returns false.
  bool get_disk_usage(uint64_t& total, uint64_t& used, uint64_t& free_bytes);

  /// Sets the byte counts of a file system from its block counts: total and
  /// free are the blocks and the available blocks times the fragment size,
  /// used is total minus free, or 0 when more is free than the total.
  static void count_usage(uint64_t blocks, uint64_t available, uint64_t fragment, uint64_t& total,
                          uint64_t& used, uint64_t& free_bytes);

  /// Returns `part` as a share of `total` in percent: NaN for a total of 0.
  static double share(uint64_t part, uint64_t total);

  /// Returns whether a used share of `used_share` percent calls for a trim:
  /// `trigger_percent` or more, and never a share that is not a number.
  static bool time_to_trim(double used_share, uint64_t trigger_percent);

  /// Returns the bytes to remove from a file system of `total` bytes for
  /// its used share to fall from `used_share` to `target_percent`; 0 when it
  /// is there already.
  static uint64_t bytes_to_trim(double used_share, uint64_t target_percent, uint64_t total);

  /// Returns a share as the output writes it: six significant digits,
  /// trailing zeros dropped, "nan" for a share that is not a number.
  static std::string share_text(double share);

  /// Returns the entries of "/proc/mounts" in table order, with the octal
  /// escapes of devices and mount points (\040 for a space, ...) decoded; an
  /// empty list, after a line on standard error, when the table can't be read.
  std::vector<MountInfo> get_mounted_devices();

  /// Returns the entries of a mount table written as "/proc/mounts" writes
  /// it, in table order, devices and mount points decoded; lines of fewer
  /// than two fields are skipped.
  static std::vector<MountInfo> parse_mount_table(std::istream& table);

  /// Returns the device that holds `path`, as the device line names it; an
  /// empty string when no mount does, or after a "stat" or "realpath" line on
  /// standard error when `path` can't be queried or resolved.
  std::string get_block_device(const std::string& path);

  /// Returns the device of the mount that holds a folder, whose resolved path
  /// is `resolved` and whose file system is device number `device`: of the
  /// mounts whose mount point is on that path and has that device number now
  /// (`device_of` gives a mount point's, or nothing), the deepest, and of a
  /// mount point listed more than once the last (the one on top). Returns an
  /// empty string when none is. `device_of` is asked of on-path mounts only.
  static std::string pick_device(
      const std::vector<MountInfo>& mounts, const std::string& resolved, uint64_t device,
      const std::function<std::optional<uint64_t>(const std::string&)>& device_of);

  /// Returns the folder's log files in directory order; nothing, after an
  /// "opendir" or "readdir" line on standard error, when it can't be listed
  /// whole.
  std::optional<std::vector<LogFile>> get_log_files();

  /// Returns the log index that a log file name carries, or 0 when `name` is
  /// not a log file name.
  static uint32_t filename_to_index(const std::string& name);

  /// Returns true when `name` as a whole is a log file name, eight hexadecimal
  /// digits then ".movra.msg.db" and an optional "-journal" (the names
  /// ^[0-9a-fA-F]{8}\.movra\.msg\.db(-journal)?$ matches), and sets `file` to
  /// what it says; returns false and leaves `file` alone otherwise.
  static bool match_log_file_name(std::string_view name, LogFile& file);

  /// Returns the log files a trim may remove, `files` split in place by index
  /// and each part sorted by name as bytes: above `current` (the upper part),
  /// then below it (the lower). The current index, and the `moved` indices
  /// after it that the writer moved on to during the run (counted past
  /// ffffffff to 0), are never candidates.
  static Candidates choose_candidates(std::vector<LogFile> files, uint32_t current, uint32_t moved);

  /// Returns the current log index recorded in the folder's "msgdb.idx", or 0
  /// when there is none or it holds no usable number; returns nothing, after a
  /// perror-style line on standard error, when it exists but can't be opened
  /// or read, or whether it exists can't be told.
  std::optional<uint32_t> read_index_file();

  /// Reads the log index at the start of the folder's "msgdb.idx" into `index`
  /// and returns kNumber; returns kNoFile when there is no such file and
  /// kNoNumber when it holds no usable number, leaving `index` alone; returns
  /// kUnreadable, with errno set and `call` naming the failed call ("stat",
  /// "open" or "read"), when whether it exists can't be told, or it exists
  /// and can't be opened or read; anything but a regular file is never
  /// opened and can't be read ("read", EISDIR for a folder, EINVAL for the
  /// rest). Writes "Reading log idx from file..." once the file is known to
  /// exist when `announce` is set, and nothing else.
  IndexRead read_index_number(uint32_t& index, const char*& call, bool announce = false);

  /// Returns what a run of account `me` does with `lock`, what it found under
  /// the lock file's name in a folder found as `folder`: kUse for a regular
  /// file with one link and no group or other permission bits, owned by root,
  /// `me` or the folder's owner; kLeave for such an owner's file with more
  /// links or bits; kReplace for a regular file of any other account; kRemove
  /// for anything that is not a regular file.
  static LockFile judge_lock_file(const struct stat& lock, const struct stat& folder, uid_t me);

  /// Writes `call`, a colon, a space and the text of errno as a line to
  /// standard error, as perror does, marked as an error for the journal when
  /// standard error is the journal.
  void report(const char* call) const;

  /// Returns whether `journal_stream`, as systemd sets JOURNAL_STREAM
  /// ("<device>:<inode>"), names the file that `stream` describes.
  static bool is_journal(const char* journal_stream, const struct stat& stream);

  std::string folder;        ///< The path exactly as given; never changed.
  std::string block_device;  ///< Device holding `folder`; empty if not found.

 private:
  /// Removes `found`, what was found under the lock file's name, and returns
  /// true, also when the name leads elsewhere by then; a regular file goes
  /// only while this run holds its lock. Returns false, with errno set, when
  /// it can't be removed.
  bool clear_lock_name(const struct stat& found);

  int dir_ = -1;                 ///< The folder, opened once (O_PATH); -1 if it could not be.
  int dir_error_ = 0;            ///< Why the folder could not be opened.
  const char* error_mark_ = "";  ///< Before each error line: "<3>" when it goes to the journal.
};

/// Returns whether `a` and `b` are the status of one and the same file.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Closes a descriptor, if there is one, when it goes out of scope, leaving
/// errno as the failure before it set it. Not to be copied.
struct Closer {
  ~Closer() {
    if (fd < 0) return;
    const int error = errno;
    close(fd);
    errno = error;
  }
  int fd = -1;  ///< The descriptor, or -1 for none.
};
