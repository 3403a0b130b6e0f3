// Helpers shared by the tests: throwaway folders, files of exact sizes, and
// runs of the built command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"

/// A fresh folder under the system's temporary folder, removed with all it
/// holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The folder's path, without a trailing slash.
  const std::string& path() const { return path_; }
  /// The path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes `size` bytes to `path`, replacing what was there; fails the test on error.
void write_file(const std::string& path, uint64_t size);
/// Writes `content` to `path`, replacing what was there; fails the test on error.
void write_text(const std::string& path, const std::string& content);
/// Returns the whole content of the file at `path`; empty if it can't be read.
std::string read_text(const std::string& path);
/// Returns the names in `folder`, sorted, without "." and "..".
std::vector<std::string> list_folder(const std::string& folder);
using Lines = std::vector<std::string>;

/// Returns `text` cut into lines, without their newlines.
Lines split_lines(const std::string& text);

/// What one run of the command wrote, and how it ended.
struct ToolRun {
  std::string out;  ///< Standard output, or both streams in order when merged.
  std::string err;  ///< Standard error; empty when merged.
  int status = -1;  ///< Exit status, or -1 when it did not exit normally.
};

/// Runs the built msgdb-trim with `args`; with `merge` both streams go to
/// `out`; with a `user` other than -1 it runs as that user and group id.
ToolRun run_tool(const std::vector<std::string>& args, bool merge = false, int user = -1);

/// Runs each test in a mount namespace of its own, entered once per process,
/// so that the commands it starts see its mounts and nobody else does; skips
/// with the reason when that can't be done (as when not root).
class PrivateMounts : public testing::Test {
 protected:
  void SetUp() override;
  /// Unmounts what the test mounted, last first.
  void TearDown() override;
  /// Mounts a tmpfs named kDevice with `options` on `path`.
  void mount_tmpfs(const std::string& path, const std::string& options);
  /// Remounts the file system at `path` read-only, or writable again.
  void remount(const std::string& path, bool read_only);

  static constexpr const char* kDevice = "msgdb-test-fs";
  Lines mounted_;
};

/// A test folder that is the root of a tmpfs of exactly 1000 pages. tmpfs
/// counts every page a file touches, and nothing for folders, empty files or
/// short links, so any share of it can be filled exactly.
class OnTmpfs : public PrivateMounts {
 protected:
  void SetUp() override;
  /// Writes a file of `pages` whole pages into the folder.
  void write_pages(const std::string& name, uint64_t pages);
  /// Returns the pages in use on the tmpfs.
  uint64_t used_pages() const;
  /// Adds "notes.txt", a file that is not a log, until `pages` pages are used.
  void fill_to(uint64_t pages);
  /// Returns the two lines that announce the folder and its device.
  Lines head() const;

  TempDir dir;
  uint64_t page_ = 0;
};
