// Helpers shared by the tests: throwaway folders, runs of the built command,
// and file systems mounted where nobody else sees them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"

using Lines = std::vector<std::string>;

/// A fresh folder under the system's temporary folder, removed with all it
/// holds when the object goes. Not to be copied.
struct TempDir {
  TempDir();
  ~TempDir();
  /// The path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return path + "/" + name; }

  std::string path;  ///< The folder's path, without a trailing slash.
};

/// Writes `content` to `path`, replacing what was there; fails the test on error.
void write_text(const std::string& path, const std::string& content);
/// Returns the names in `folder`, sorted, without "." and "..".
Lines list_folder(const std::string& folder);

/// What one run of the command wrote, and how it ended.
struct ToolRun {
  Lines out;        ///< Lines of standard output, or of both streams in order when merged.
  std::string err;  ///< Standard error; empty when merged.
  int status;       ///< Exit status, or -1 when it did not exit normally.
};

/// Runs the built msgdb-trim with `args` (none holding a single quote); with
/// `merge` both streams go to `out`. With `checked` it runs without the
/// capabilities that override file permissions, so mode bits hold for root too.
ToolRun run_tool(const Lines& args, bool merge = false, bool checked = false);

/// Runs each test in a mount namespace of its own, entered once per process,
/// so that the commands it starts see its mounts and nobody else does. Root
/// gets one directly; another user gets one inside a user namespace of its
/// own where the kernel allows it. Skips with the reason otherwise. The test
/// folder is the root of a tmpfs of exactly 1000 pages there: tmpfs counts
/// every page a file touches, and nothing for folders, empty files or short
/// links, so any share of it can be filled exactly.
class OnTmpfs : public testing::Test {
 protected:
  void SetUp() override;
  /// Unmounts what the test mounted, last first.
  void TearDown() override;
  /// Mounts `source` of type `type` with `options` on `path` (a bind mount
  /// with a null type), to be unmounted when the test ends.
  void mount_on(const std::string& path, const char* source, const char* type,
                const std::string& options = "");
  /// Writes a file of `pages` whole pages into the folder.
  void write_pages(const std::string& name, uint64_t pages);
  /// Adds "notes.txt", a file that is not a log, until `pages` pages are used.
  void fill_to(uint64_t pages);
  /// Returns the two lines that announce `folder` (by default the test's own)
  /// and the tmpfs that holds it.
  Lines head(const std::string& folder = "") const;

  static constexpr const char* kDevice = "msgdb-test-fs";
  TempDir dir;     ///< The test folder; removed only once the test's mounts are gone.
  Lines mounted_;  ///< What to unmount when the test ends.
  uint64_t page_ = 0;
};
