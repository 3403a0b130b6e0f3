// The built command, run on real file systems made for each test in a private
// mount namespace: exact output, and exactly which files go.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using std::chrono_literals::operator""ms;

// What one run of the command wrote, and how it ended.
struct ToolRun {
  Lines out;        // lines of standard output, or of both streams in order when merged
  std::string err;  // standard error; empty when merged
  int status;       // exit status, or -1 when it did not exit normally
};

// Runs the built msgdb-trim with `args` (none holding a single quote); with
// `merge` both streams go to `out`, and `to` (a shell redirection target such
// as "&5") sends standard output elsewhere. With `checked` it runs without the
// capabilities that override file permissions, so mode bits hold for root
// too: gone from the bounding and inheritable sets, they can't come back when
// root executes. An emulator (qemu-user for a cross build) runs the binary
// when one is set.
ToolRun run_tool(const Lines& args, bool merge = false, bool checked = false,
                 const std::string& to = "") {
  TempDir capture;
  std::string command = checked ? MSGDB_TRIM_WITHOUT_DAC " " : "";
  command += MSGDB_TRIM_EMULATOR " '" MSGDB_TRIM_BINARY "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " >" + (to.empty() ? capture / "out" : to);
  command += merge ? " 2>&1" : " 2>" + (capture / "err");
  const int status = std::system(command.c_str());
  ToolRun run{{}, "", WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  std::ifstream out(capture / "out"), err(capture / "err");
  for (std::string line; std::getline(out, line);) run.out.push_back(line);
  std::getline(err, run.err, '\0');
  return run;
}

// Moves this test process, and so every command it starts, into a mount
// namespace of its own, once; returns why that can't be done, or "".
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

// Whether /proc/locks shows an flock on the folder at `path` that a process
// holds, or with `waiting`, one that a process waits for.
bool flock_seen(const std::string& path, bool waiting) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  char file[64];  // as the table names it: device's major:minor, then the inode
  std::snprintf(file, sizeof file, " %02x:%02x:%ju ", major(status.st_dev), minor(status.st_dev),
                static_cast<uintmax_t>(status.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find(" FLOCK ") != std::string::npos && line.find(file) != std::string::npos &&
        (line.find(" -> ") != std::string::npos) == waiting) {
      return true;
    }
  }
  return false;
}

// Opens the FIFO at `path` for writing as soon as a reader has it open, or
// returns -1 once `over` is set.
int open_when_read(const std::string& path, const std::atomic<bool>& over) {
  int fd = -1;
  while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && !over) {
    std::this_thread::sleep_for(1ms);
  }
  return fd;
}

// Runs each test in the private mount namespace, so that the commands it
// starts see its mounts and nobody else does; skips with the reason where
// there is none. The test folder is the root of a tmpfs of exactly 1000 pages:
// tmpfs counts every page a file touches, and nothing for folders, empty files
// or short links, so any share of it can be filled exactly.
class OnTmpfs : public testing::Test {
 protected:
  void SetUp() override {
    const std::string why = enter_private_mount_namespace();
    if (!why.empty()) GTEST_SKIP() << "needs a private mount namespace: " << why;
    mount_on(dir.path, kDevice, "tmpfs", "nr_blocks=1000");
  }
  void TearDown() override {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }
  // Mounts `source` of type `type` with `options` on `path` (a bind mount with
  // a null type), to be unmounted, last first, when the test ends.
  void mount_on(const std::string& path, const char* source, const char* type,
                const std::string& options = "") {
    fs::create_directories(path);
    const unsigned long flags = type == nullptr ? MS_BIND | MS_REC : 0;
    ASSERT_EQ(mount(source, path.c_str(), type, flags, options.c_str()), 0) << std::strerror(errno);
    mounted_.push_back(path);
  }
  void write_pages(const std::string& name, uint64_t pages) {
    write_text(dir / name, std::string(pages * page_, 'x'));
  }
  // Adds "notes.txt", a file that is not a log, until `pages` pages are used.
  void fill_to(uint64_t pages) {
    struct statvfs stats {};
    ASSERT_EQ(statvfs(dir.path.c_str(), &stats), 0);
    ASSERT_LE(stats.f_blocks - stats.f_bavail, pages);
    write_pages("notes.txt", pages - (stats.f_blocks - stats.f_bavail));
  }
  // The two lines that announce `folder` (by default the test's own) and the
  // tmpfs that holds it.
  Lines head(const std::string& folder = "") const {
    return {"Watching '" + (folder.empty() ? dir.path : folder) + "'",
            "On Block Device '" + std::string(kDevice) + "'"};
  }

  static constexpr const char* kDevice = "msgdb-test-fs";
  TempDir dir;     // the test folder; removed only once the test's mounts are gone
  Lines mounted_;  // what to unmount when the test ends
  const uint64_t page_ = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));  // a tmpfs block
};

Lines operator+(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// What a run on the tmpfs filled to 85 % prints after the device line: the
// shares, `index` (the index lines), the trim lines, `listing` (the listing's
// error line, if any), then "Trimmed <bytes> bytes".
Lines at_85(const Lines& index, uint64_t trimmed, const Lines& listing = {}) {
  return Lines{"Used 85%", "Free 15%"} + index +
         Lines{"Time to Trim..", "Need to trim 15%", "Trimming 614400 bytes"} + listing +
         Lines{"Trimmed " + std::to_string(trimmed) + " bytes"};
}
// The lines of a run that reads `index` from its index file.
Lines reading(const std::string& index) {
  return {"Reading log idx from file...", "Current index " + index};
}

// A log database's name, its index given without the leading zeros.
std::string db(const std::string& index) {
  return std::string(8 - index.size(), '0') + index + ".movra.msg.db";
}
std::string journal(const std::string& index) { return db(index) + "-journal"; }

// Every row with an index file gives it through a FIFO, which the run reads
// before it lists the folder, and again through a second FIFO after: where
// `next` is none, the index did not move, and the run is what it would be with
// a plain file.
TEST_F(OnTmpfs, TrimsTheRightFilesInTheRightOrder) {
  const struct {
    const char* what;
    const char* index;  // what msgdb.idx gives; none: a link to nothing, so no index file
    const char* next;   // what it gives once the run has read it; none: `index` again
    const char* late;   // an index published, and its database of 10 pages created, as the
                        // second read ends; none: nothing moves then
    std::vector<std::pair<std::string, uint64_t>> logs;  // name and pages
    uint64_t used_pages;
    Lines lines;  // after the two announcement lines
    Lines left;   // besides msgdb.idx and notes.txt
  } scenarios[] = {
      // clang-format off
      {"just below the trigger", "2\n", nullptr, nullptr, {{db("1"), 200}}, 799,
       {"Used 79.9%", "Free 20.1%", "Reading log idx from file...", "Current index 2", "Still got space.."},
       {db("1")}},
      {"exactly at the trigger", "2\n", nullptr, nullptr, {{db("1"), 200}, {db("2"), 10}}, 800,
       {"Used 80%", "Free 20%", "Reading log idx from file...", "Current index 2", "Time to Trim..",
        "Need to trim 10%", "Trimming 409600 bytes", "Trimmed 819200 bytes"}, {db("2")}},
      {"newer first, then older, each by name, never the current index; a second read that finds "
       "no number changes nothing", "5\n", "", nullptr, {{db("3"), 32}, {journal("3"), 32},
       {db("5"), 32}, {journal("5"), 32}, {db("7"), 32}, {journal("7"), 32}, {db("8"), 32},
       {journal("8"), 32}},
       850, at_85(reading("5"), 655360), {journal("3"), db("5"), journal("5")}},
      {"names sort by character code; the newer ones alone suffice", "5\n", nullptr, nullptr,
       {{db("3"), 10}, {db("a"), 160}, {db("B"), 160}}, 850, at_85(reading("5"), 655360),
       {db("3"), db("a")}},
      {"too few candidates: all go but the current index, and never a near miss", "5\n", nullptr,
       nullptr, {{db("3"), 10}, {db("5"), 10}, {journal("5"), 10}, {db("7"), 10},
       {"x" + db("4"), 1}, {db("4") + ".bak", 1}}, 850, at_85(reading("5"), 81920),
       {db("5"), journal("5"), "x" + db("4"), db("4") + ".bak"}},
      {"without an index file only index 00000000 is kept", nullptr, nullptr, nullptr,
       {{db("0"), 100}, {db("1"), 100}, {journal("1"), 100}}, 850,
       at_85({"Current index 0"}, 819200), {db("0")}},
      // The writer moved on while the run looked: it published the next index and
      // created that database, which the listing holds.
      {"the writer moved on by one, past ffffffff", "4294967295", "0", nullptr,
       {{db("fffffffe"), 160}, {db("ffffffff"), 10}, {db("0"), 160}}, 850,
       at_85(reading("4294967295"), 655360), {db("0"), db("ffffffff")}},
      {"the writer moved on past the wrap; the first read found the index file empty", "", "1",
       nullptr, {{db("fffffffe"), 160}, {db("ffffffff"), 10}, {db("0"), 10}, {db("1"), 10}},
       850, at_85(reading("0"), 655360), {db("0"), db("1"), db("ffffffff")}},
      // Moved on by three: every index passed is kept, not only the last. Then it
      // moved once more, too late for a run that listed the folder before its
      // second read, but not for one that read again and only then listed.
      {"the writer moved on by several, then once more after the listing", "4", "7", "8",
       {{db("3"), 10}, {db("4"), 10}, {db("5"), 160}, {db("6"), 160}, {db("7"), 10}, {db("9"), 10}},
       850, at_85(reading("4"), 81920), {db("4"), db("5"), db("6"), db("7"), db("8")}},
      // clang-format on
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.what);
    for (const std::string& name : list_folder(dir.path)) fs::remove(dir / name);
    if (s.index == nullptr) fs::create_symlink("nowhere", dir / "msgdb.idx");
    for (const std::string fifo : {"msgdb.idx", "second"}) {
      ASSERT_TRUE(s.index == nullptr || mkfifo((dir / fifo).c_str(), 0600) == 0);
    }
    for (const auto& [name, pages] : s.logs) write_pages(name, pages);
    fill_to(s.used_pages);

    // A FIFO tells when the tool opens it: at the first read the second FIFO
    // takes its place before the tool can read `index`, and the run must
    // hold the folder's lock still at the second read, made after the listing.
    std::atomic<bool> over{false};
    const auto put = [](int fd, const char* text) {
      EXPECT_EQ(write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
      close(fd);
    };
    std::thread writer([&] {
      const int first = s.index == nullptr ? -1 : open_when_read(dir / "msgdb.idx", over);
      if (first < 0) return;
      fs::rename(dir / "second", dir / "msgdb.idx");
      put(first, s.index);
      const int second = open_when_read(dir / "msgdb.idx", over);
      if (second < 0) return;
      EXPECT_TRUE(flock_seen(dir.path, false)) << "the run no longer holds the folder's lock";
      if (s.late != nullptr) {  // published by rename, then created, as the writer does
        write_text(dir / "published", s.late);
        fs::rename(dir / "published", dir / "msgdb.idx");
        write_pages(db(s.late), 10);
      }
      put(second, s.next != nullptr ? s.next : s.index);
    });
    const ToolRun run = run_tool({dir.path});
    over = true;  // a run that never opened a FIFO must not leave the writer waiting
    writer.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, head() + s.lines);
    EXPECT_EQ(run.err, "");
    Lines left = s.left + Lines{"msgdb.idx", "notes.txt"};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(list_folder(dir.path), left);
  }
}

TEST_F(OnTmpfs, LeavesWhatIsNotALogFileOfTheFolder) {
  TempDir outside;  // on the file system below, which the tmpfs does not cover
  write_text(outside / "precious", std::string(4096, 'x'));
  fs::create_directory(dir / db("1"));
  fs::create_symlink(outside / "precious", dir / db("2"));
  write_pages(db("3"), 100);
  write_pages(journal("3"), 100);
  fill_to(850);

  const ToolRun run = run_tool({dir.path + "/"});       // a trailing slash is kept and works
  const uint64_t link = (outside / "precious").size();  // a link's size: the path it holds
  EXPECT_EQ(run.out, head(dir.path + "/") + at_85({"Current index 0"}, 200 * page_ + link));
  EXPECT_EQ(list_folder(dir.path), (Lines{db("1"), "notes.txt"}));
  EXPECT_EQ(list_folder(outside.path), Lines{"precious"});
}

// Where the run can't tell which database is being written, it removes
// nothing, and says why where the failure happened.
TEST_F(OnTmpfs, WhatCannotBeReadIsNotGuessed) {
  const struct {
    const char* what;
    mode_t folder_mode;
    mode_t index_mode;  // of msgdb.idx, an empty file; 1: a folder in its place
    Lines lines;        // after the two announcement lines, both streams
  } cases[] = {
      // clang-format off
      {"a folder that can't be searched", 0, 0600,
       at_85({"stat: Permission denied", "Current index 0"}, 0)},
      {"a folder that can be searched, not listed: index 0, no files", 0100, 0600,
       at_85(reading("0"), 0, {"opendir: Permission denied"})},
      {"an index file that can't be opened", 0700, 0,
       at_85({"Reading log idx from file...", "open: Permission denied", "Current index 0"}, 0)},
      {"an index file that can't be read", 0700, 1,
       at_85({"Reading log idx from file...", "read: Is a directory", "Current index 0"}, 0)},
      // clang-format on
  };
  // Just after the writer's numbering wrapped: the current index is 2, and
  // 00000001 would go first if the run took the index for 0.
  for (const char* index : {"fffffffd", "fffffffe", "ffffffff", "0", "1", "2"}) {
    write_pages(db(index), 10);
  }
  write_text(dir / "msgdb.idx", "");
  fill_to(850);
  // Mode 0 holds for root too once the permission-overriding capabilities go;
  // without CAP_SETPCAP root can't drop them, and setpriv does not say so.
  ASSERT_EQ(chmod(dir.path.c_str(), 0), 0);
  const std::string probe = MSGDB_TRIM_WITHOUT_DAC " ls " + dir.path + " >/dev/null 2>&1";
  const bool dac_kept = std::system(probe.c_str()) == 0;
  ASSERT_EQ(chmod(dir.path.c_str(), 0700), 0);
  if (dac_kept) {
    GTEST_SKIP() << "root keeps the capabilities that override file permissions: no CAP_SETPCAP";
  }
  const Lines before = list_folder(dir.path);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.index_mode == 1) {
      fs::remove(dir / "msgdb.idx");
      fs::create_directory(dir / "msgdb.idx");
    } else {
      ASSERT_EQ(chmod((dir / "msgdb.idx").c_str(), c.index_mode), 0);
    }
    ASSERT_EQ(chmod(dir.path.c_str(), c.folder_mode), 0);
    const ToolRun run = run_tool({dir.path}, true, true);
    ASSERT_EQ(chmod(dir.path.c_str(), 0700), 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, head() + c.lines);
    EXPECT_EQ(list_folder(dir.path), before);
  }
}

TEST_F(OnTmpfs, AReaderOfTheOutputThatIsGoneDoesNotStopTheTrim) {
  write_pages(db("3"), 160);
  fill_to(850);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  signal(SIGPIPE, SIG_DFL);  // as most launchers leave it for what they start
  EXPECT_EQ(run_tool({dir.path}, false, false, "&" + std::to_string(ends[1])).status, 0);
  close(ends[1]);
  EXPECT_EQ(list_folder(dir.path), Lines{"notes.txt"});
}

TEST_F(OnTmpfs, TheMountTableAsWritten) {
  // /proc becomes an empty tmpfs that the test fills; /proc/self still leads
  // to a real process folder for the sanitizers and the emulator that need
  // one. The leak checker also wants /proc/<pid>, which can't be had.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(sanitizer ? sanitizer : "") + ":detect_leaks=0").c_str(), 1);
  mount_on(dir / "proc", "/proc", nullptr);
  mount_on("/proc", kDevice, "tmpfs", "size=1m");
  ASSERT_EQ(symlink((dir / "proc/self").c_str(), "/proc/self"), 0);

  // No table at all; then a one-field line, which is skipped, a mount of the
  // folder's file system listed first but off its path (its name is only the
  // start of the folder's), which is never queried, and two mounts on its
  // path, of which the first listed wins: its mount point has a space, which
  // the table writes as \040.
  const ToolRun without = run_tool({dir.path});
  const std::string root = fs::canonical(dir.path);
  fs::create_directory(dir / "with");
  fs::create_directory(dir / "with space");
  write_text("/proc/mounts", "lonely\noff-path " + root + "/with tmpfs rw 0 0\nfirst " + root +
                                 "/with\\040space tmpfs rw 0 0\nsecond " + root +
                                 " tmpfs rw 0 0\n");
  const ToolRun with = run_tool({dir / "with space"});
  EXPECT_EQ(without.out.at(1), "On Block Device ''");
  EXPECT_EQ(without.err, "Failed to open /proc/mounts\n");
  EXPECT_EQ(with.out.at(1), "On Block Device 'first'");
}

// A run that finds the folder's lock taken, as an earlier run holds it, waits,
// then measures what that run left; a lock on another folder, even the one
// above, keeps nobody waiting.
TEST_F(OnTmpfs, RunsOnOneFolderTakeTurns) {
  write_pages(db("3"), 160);
  for (const bool same : {true, false}) {
    SCOPED_TRACE(same ? "the same folder" : "the folder above");
    fill_to(850);
    const std::string locked = same ? dir.path : fs::path(dir.path).parent_path().string();
    const int lock = open(locked.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0) << std::strerror(errno);
    std::atomic<bool> done{false};
    ToolRun run;
    std::thread tool([&] {
      run = run_tool({dir.path});
      done = true;
    });
    // Until the run waits for the folder's lock, or ends; a run that waits for
    // anything else is let go after a while.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && !flock_seen(dir.path, true) && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(1ms);
    }
    const bool waited = !done;
    if (waited) fs::remove(dir / "notes.txt");  // what the earlier run freed
    close(lock);
    tool.join();
    EXPECT_EQ(waited, same);
    EXPECT_EQ(run.out,
              head() + (same ? Lines{"Used 16%", "Free 84%", "Current index 0", "Still got space.."}
                             : at_85({"Current index 0"}, 160 * page_)));
  }
}

// A 32 GiB ext4 image, sparse, with 20 % reserved for root and 21 GiB of log
// files whose blocks are allocated but never written, all above the current
// index 0: a 5 GiB one first, then sixteen of 1 GiB. The reserved blocks take
// usage over the trigger, and the target is past 4 GiB, so the second file
// goes too.
TEST_F(OnTmpfs, Ext4OnALoopDeviceWithReservedBlocksAndATargetPast4GiB) {
  if (access("/dev/loop-control", W_OK) != 0) {
    GTEST_SKIP() << "no loop device to use: /dev/loop-control: " << std::strerror(errno);
  }
  TempDir work;  // for the image: a tmpfs of 1000 pages can't hold what mkfs writes
  const std::string mnt = dir / "mnt";
  const std::string make = R"(set -e; truncate -s 32G "$1"; mkdir "$2"
    mkfs.ext4 -q -m 20 -E lazy_itable_init=1,lazy_journal_init=1 "$1"
    mount -o loop,noinit_itable "$1" "$2"; echo 0 >"$2/msgdb.idx"; cd "$2"
    fallocate -l 5G 00000001.movra.msg.db; touch 00000000.movra.msg.db
    for i in $(seq 2 17); do fallocate -l 1G "$(printf %08x "$i").movra.msg.db"; done)";
  mounted_.push_back(mnt);
  ASSERT_EQ(std::system(("sh -c '" + make + "' - " + (work / "fs.img") + " " + mnt).c_str()), 0)
      << "needs mkfs.ext4 (package e2fsprogs) and a loop device";
  struct statvfs stats {};
  ASSERT_EQ(statvfs(mnt.c_str(), &stats), 0);
  const double total = static_cast<double>(stats.f_blocks * 4096);
  const double used = static_cast<double>((stats.f_blocks - stats.f_bavail) * 4096) / total * 100.0;
  const auto target = static_cast<uint64_t>((used - 70.0) / 100.0 * total);
  ASSERT_GT(target, uint64_t{4} << 30);

  const Lines lines = run_tool({mnt}).out;
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(Lines(lines.begin() + 8, lines.end()),
            (Lines{"Trimming " + std::to_string(target) + " bytes", "Trimmed 6442450944 bytes"}));
  const Lines left = list_folder(mnt);  // 1 and 2 went, and nothing else
  EXPECT_EQ(Lines(left.begin(), left.begin() + 2), (Lines{db("0"), db("3")}));
  EXPECT_EQ(left.size(), 18u);
}

TEST(Command, BadArgumentsAreAnnouncedAndEndWell) {
  const std::string gone = "stat: No such file or directory\nstatvfs: No such file or directory\n";
  const struct {
    Lines args;
    Lines out;
    std::string err;
  } cases[] = {
      // clang-format off
      // An empty path is a path too, and arguments after the first are ignored.
      {{"", "/proc"}, {"Watching ''", "On Block Device ''"}, gone},
      // A file system of no bytes; a regular file, not a folder, below its mount point.
      {{"/proc/self/status"}, {"Watching '/proc/self/status'", "On Block Device 'proc'", "Used nan%",
                               "Free nan%", "Current index 0", "Still got space.."}, ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    const ToolRun run = run_tool(c.args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
  // Both streams in one log, as the journal keeps them: each line where it was written.
  EXPECT_EQ(run_tool({"/nonexistent"}, true).out,
            (Lines{"Watching '/nonexistent'", "stat: No such file or directory",
                   "On Block Device ''", "statvfs: No such file or directory"}));
}

TEST_F(OnTmpfs, WithoutAnArgumentItWatchesMntData) {
  // Never the machine's own folder: an empty tmpfs covers it where it exists.
  if (fs::exists("/mnt/data")) mount_on("/mnt/data", kDevice, "tmpfs", "size=1m");
  EXPECT_EQ(run_tool({}).out.at(0), "Watching '/mnt/data'");
}

TEST_F(OnTmpfs, AFileSystemPast16TiBIsMeasuredWhole) {
  mount_on(dir / "big", kDevice, "tmpfs", "size=20t");  // 2^32 blocks of 4 KiB and more
  write_text(dir / "big/notes.txt", std::string(64 << 20, 'x'));
  const Lines lines = run_tool({dir / "big"}).out;
  EXPECT_EQ(lines.at(2), "Used 0.000305176%");  // 64 MiB of 20 TiB
  EXPECT_EQ(lines.at(3), "Free 99.9997%");
}

}  // namespace
