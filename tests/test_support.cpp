#include "test_support.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TempDir::TempDir() : path((fs::temp_directory_path() / "msgdb-trim-test.XXXXXX").string()) {
  if (mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void write_text(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  file.close();
  EXPECT_TRUE(file) << "could not write " << path;
}

Lines list_folder(const std::string& folder) {
  Lines names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

ToolRun run_tool(const Lines& args, bool merge, bool checked) {
  TempDir capture;
  // Gone from the bounding set, these capabilities can't come back when root
  // executes. An emulator (qemu-user for a cross build) runs the binary when set.
  std::string command = checked ? "setpriv --bounding-set=-dac_override,-dac_read_search " : "";
  command += MSGDB_TRIM_EMULATOR " '" MSGDB_TRIM_BINARY "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " >" + (capture / "out") + (merge ? " 2>&1" : " 2>" + (capture / "err"));
  const int status = std::system(command.c_str());
  ToolRun run{{}, "", WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  std::ifstream out(capture / "out"), err(capture / "err");
  for (std::string line; std::getline(out, line);) run.out.push_back(line);
  std::getline(err, run.err, '\0');
  return run;
}

namespace {

// Moves this test process, and so every command it starts, into a mount
// namespace of its own; returns why that can't be done, or "".
std::string enter_private_mount_namespace() {
  static const std::string why = []() -> std::string {
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    // An ordinary user becomes root of a user namespace of its own, which may
    // mount what it likes in its own mount namespace.
    if (uid != "0") {
      if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return std::string("not root, and no user namespace (") + std::strerror(errno) +
               "): run the tests as root, or allow unprivileged user namespaces";
      }
      write_text("/proc/self/setgroups", "deny");
      write_text("/proc/self/uid_map", "0 " + uid + " 1");
      write_text("/proc/self/gid_map", "0 " + gid + " 1");
    } else if (unshare(CLONE_NEWNS) != 0) {
      return std::string("no mount namespace (") + std::strerror(errno) + ")";
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("mounts can't be kept private (") + std::strerror(errno) +
             "): / is not a mount point here, as in a chroot";
    }
    return "";
  }();
  return why;
}

}  // namespace

void OnTmpfs::SetUp() {
  const std::string why = enter_private_mount_namespace();
  if (!why.empty()) GTEST_SKIP() << "needs a private mount namespace: " << why;
  mount_on(dir.path, kDevice, "tmpfs", "nr_blocks=1000");
  struct statvfs stats {};
  ASSERT_EQ(statvfs(dir.path.c_str(), &stats), 0);
  ASSERT_EQ(stats.f_blocks, 1000u);
  page_ = stats.f_bsize;
}

void OnTmpfs::TearDown() {
  for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

void OnTmpfs::mount_on(const std::string& path, const char* source, const char* type,
                       const std::string& options) {
  fs::create_directories(path);
  const unsigned long flags = type == nullptr ? MS_BIND | MS_REC : 0;
  ASSERT_EQ(mount(source, path.c_str(), type, flags, options.c_str()), 0) << std::strerror(errno);
  mounted_.push_back(path);
}

void OnTmpfs::write_pages(const std::string& name, uint64_t pages) {
  write_text(dir / name, std::string(pages * page_, 'x'));
}

void OnTmpfs::fill_to(uint64_t pages) {
  struct statvfs stats {};
  ASSERT_EQ(statvfs(dir.path.c_str(), &stats), 0);
  ASSERT_LE(stats.f_blocks - stats.f_bavail, pages);
  write_pages("notes.txt", pages - (stats.f_blocks - stats.f_bavail));
}

Lines OnTmpfs::head(const std::string& folder) const {
  return {"Watching '" + (folder.empty() ? dir.path : folder) + "'",
          "On Block Device '" + std::string(kDevice) + "'"};
}
