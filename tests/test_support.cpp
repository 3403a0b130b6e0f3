#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
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
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "msgdb-trim-test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void write_text(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  file.close();
  EXPECT_TRUE(file) << "could not write " << path;
}

void write_file(const std::string& path, uint64_t size) {
  write_text(path, std::string(size, 'x'));
}

std::vector<std::string> list_folder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Lines split_lines(const std::string& text) {
  Lines lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

ToolRun run_tool(const std::vector<std::string>& args, bool merge, int user) {
  TempDir capture;
  const std::string out_path = capture / "out";
  const std::string err_path = capture / "err";

  // An emulator (qemu-user for a cross build) runs the binary when it is set.
  std::vector<std::string> command;
  std::istringstream emulator(MSGDB_TRIM_EMULATOR);
  for (std::string word; emulator >> word;) command.push_back(word);
  command.emplace_back(MSGDB_TRIM_BINARY);
  command.insert(command.end(), args.begin(), args.end());

  const pid_t child = fork();
  if (child == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = merge ? out : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (user != -1 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) {
      _exit(126);
    }
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  ToolRun run;
  int wait_status = 0;
  if (child < 0 || waitpid(child, &wait_status, 0) != child) {
    ADD_FAILURE() << "could not run " << MSGDB_TRIM_BINARY;
    return run;
  }
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  run.out = read_text(out_path);
  run.err = merge ? "" : read_text(err_path);
  return run;
}

namespace {

// Moves this test process, and so every command it starts, into a mount
// namespace of its own; returns why that can't be done, or "".
std::string enter_private_mount_namespace() {
  static const std::string why = []() -> std::string {
    if (geteuid() != 0) return "needs root to mount file systems in a private mount namespace";
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("making / private: ") + std::strerror(errno);
    }
    return "";
  }();
  return why;
}

}  // namespace

void PrivateMounts::SetUp() {
  const std::string why = enter_private_mount_namespace();
  if (!why.empty()) GTEST_SKIP() << why;
}

void PrivateMounts::TearDown() {
  for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

void PrivateMounts::mount_tmpfs(const std::string& path, const std::string& options) {
  ASSERT_EQ(mount(kDevice, path.c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
  mounted_.push_back(path);
}

void PrivateMounts::remount(const std::string& path, bool read_only) {
  const unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
  ASSERT_EQ(mount(nullptr, path.c_str(), nullptr, flags, nullptr), 0) << std::strerror(errno);
}

void OnTmpfs::SetUp() {
  PrivateMounts::SetUp();
  if (IsSkipped()) return;
  mount_tmpfs(dir.path(), "nr_blocks=1000");
  struct statvfs stats {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &stats), 0);
  ASSERT_EQ(stats.f_blocks, 1000u);
  page_ = stats.f_bsize;
}

void OnTmpfs::write_pages(const std::string& name, uint64_t pages) {
  write_file(dir / name, pages * page_);
}

uint64_t OnTmpfs::used_pages() const {
  struct statvfs stats {};
  EXPECT_EQ(statvfs(dir.path().c_str(), &stats), 0);
  return stats.f_blocks - stats.f_bavail;
}

void OnTmpfs::fill_to(uint64_t pages) {
  const uint64_t used = used_pages();
  ASSERT_LE(used, pages);
  write_pages("notes.txt", pages - used);
}

Lines OnTmpfs::head() const {
  return {"Watching '" + dir.path() + "'", "On Block Device '" + std::string(kDevice) + "'"};
}
