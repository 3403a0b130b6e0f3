// The watched folder: the one object of a msgdb-trim run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The folder whose file system a run keeps from filling, with every operation
/// of the tool as a member. Operations that work inside the folder build their
/// paths as `folder + "/" + name`. Failures are written to standard error and
/// answered with a neutral result; nothing is thrown.
class FolderData {
 public:
  /// One line of the kernel's mount table.
  struct MountInfo {
    std::string device;       ///< First field: the mounted device or source.
    std::string mount_point;  ///< Second field, escapes decoded: where it is mounted.
  };

  /// Stores `folder` unchanged and announces it and the device that holds it
  /// ("Watching '…'", "On Block Device '…'") on standard output.
  explicit FolderData(std::string folder);

  /// Once `trigger_percent` or more of the file system is used, removes log
  /// files (never those of the current index) until usage should be back at
  /// `target_percent`, reporting each stage on standard output.
  void CheckAndTrim(uint64_t target_percent, uint64_t trigger_percent);

  /// Removes the named files of the folder in list order until `target` bytes
  /// have gone; returns the bytes actually removed, which may fall short.
  uint64_t trim_files(const std::vector<std::string>& names, uint64_t target);

  /// Fills in the total, used and free bytes of the file system that holds
  /// `path` and returns true; on failure writes a "statvfs" line to standard
  /// error, leaves the counts untouched and returns false.
  bool get_disk_usage(const std::string& path, uint64_t& total, uint64_t& used,
                      uint64_t& free_bytes);

  /// Sets the byte counts of a file system from its block counts: total and
  /// free are the blocks and the available blocks times the fragment size,
  /// used is total minus free, or 0 when more is free than the total.
  static void count_usage(uint64_t blocks, uint64_t available, uint64_t fragment, uint64_t& total,
                          uint64_t& used, uint64_t& free_bytes);

  /// Returns the entries of "/proc/mounts" in table order, with the octal
  /// escapes of mount points (\040 for a space, ...) decoded; an empty list,
  /// after a line on standard error, when the table can't be read.
  std::vector<MountInfo> get_mounted_devices();

  /// Returns the device of the first mount, in table order, whose mount point
  /// is `path` resolved or a folder above it and lies on the same file system;
  /// an empty string when none does, or after a "stat" or "realpath" line on
  /// standard error when `path` can't be queried or resolved.
  std::string get_block_device(const std::string& path);

  /// Returns the names of the folder's log files in directory order; an empty
  /// list, after an "opendir" line on standard error, when it can't be read.
  std::vector<std::string> get_log_files();

  /// Returns the log index that a log file name carries, or 0 when `name` is
  /// not a log file name.
  uint32_t filename_to_index(const std::string& name);

  /// Returns true when `name` as a whole is a log file name, eight hexadecimal
  /// digits then ".movra.msg.db" and an optional "-journal" (the names
  /// ^[0-9a-fA-F]{8}\.movra\.msg\.db(-journal)?$ matches), and sets `index` to
  /// the log index it carries; returns false and leaves `index` alone otherwise.
  static bool match_log_file_name(std::string_view name, uint32_t& index);

  /// Returns the current log index recorded in the folder's "msgdb.idx", or 0
  /// when there is none or it holds no usable number; returns nothing, after a
  /// perror-style line on standard error, when it exists but can't be opened
  /// or read, or whether it exists can't be told.
  std::optional<uint32_t> read_index_file();

  /// What a read of "msgdb.idx" found.
  enum class IndexRead { kNumber, kNoNumber, kUnreadable };

  /// Reads the log index at the start of the folder's "msgdb.idx" into `index`
  /// without writing a line and returns kNumber; returns kNoNumber, leaving
  /// `index` alone, when there is no such file or it holds no usable number,
  /// and kUnreadable, with errno set and `call` naming the failed call ("open"
  /// or "read"), when it exists but can't be opened or read.
  IndexRead read_index_number(uint32_t& index, const char*& call);

  std::string folder;        ///< The path exactly as given; never changed.
  std::string block_device;  ///< Device holding `folder`; empty if not found.
};
