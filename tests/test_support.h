// Helpers shared by the tests: throwaway folders, files of exact sizes, and
// runs of the built command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
/// Returns the names in `folder`, sorted, without "." and "..".
std::vector<std::string> list_folder(const std::string& folder);
/// Returns `text` cut into lines, without their newlines.
std::vector<std::string> split_lines(const std::string& text);

/// What one run of the command wrote, and how it ended.
struct ToolRun {
  std::string out;  ///< Standard output, or both streams in order when merged.
  std::string err;  ///< Standard error; empty when merged.
  int status = -1;  ///< Exit status, or -1 when it did not exit normally.
};

/// Runs the built msgdb-trim with `args`; with `merge` both streams go to
/// `out`; with a `user` other than -1 it runs as that user and group id.
ToolRun run_tool(const std::vector<std::string>& args, bool merge = false, int user = -1);
