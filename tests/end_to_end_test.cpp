// The built command, run on a tmpfs made for each test in the tests' own mount
// namespace: exact output, and exactly which files go.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <sstream>

#include "folder_data.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

Lines operator+(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Runs the built msgdb-trim with `args` (none holding a single quote) through
// sh, in `folder`, after `setup`: shell commands that may set BIN, the binary,
// and RUN, a command that runs it. Returns the lines of both streams, in the
// order written, and expects exit status 0. An emulator (qemu-user for a
// cross build) runs the binary when one is set.
Lines run_tool(const Lines& args, const std::string& setup = "", const std::string& folder = "/") {
  TempDir capture;
  std::string command = "exec >'" + (capture / "out") + "' 2>&1 </dev/null; cd '" + folder +
                        "'; RUN=; BIN='" MSGDB_TRIM_BINARY "'\n" + setup +
                        "\nexec $RUN " MSGDB_TRIM_EMULATOR " \"$BIN\"";
  for (const std::string& arg : args) command += " '" + arg + "'";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  Lines lines;
  std::ifstream out(capture / "out");
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

// Each test has a tmpfs of exactly 1000 pages as its folder: tmpfs counts
// every page a file touches, and nothing for folders, FIFOs, empty files or
// short links, so any share of it can be filled exactly. The mounts are
// private to the tests, which ctest starts in a mount namespace of their own.
class OnTmpfs : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("MSGDB_TRIM_PRIVATE_MOUNTS")) GTEST_SKIP() << "needs" MSGDB_TRIM_NO_MOUNTS;
    mount_on(dir.path, kDevice, "nr_blocks=1000");
    fs::copy_file(MSGDB_TRIM_BINARY, bin / "msgdb-trim");
    ASSERT_EQ(chmod(bin.path.c_str(), 0755), 0);
  }
  void TearDown() override {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }
  // Mounts a tmpfs named `source` with `options` on `path`, to be unmounted,
  // last first, when the test ends.
  void mount_on(const std::string& path, const std::string& source, const std::string& options) {
    ASSERT_EQ(mount(source.c_str(), path.c_str(), "tmpfs", 0, options.c_str()), 0)
        << std::strerror(errno);
    mounted_.push_back(path);
  }
  // Runs the command on the folder, in it, after `setup` and what it may use:
  // `mk P N...`, which makes log files of P pages of 4096 bytes, each named
  // by its index, with a "j" for a journal; `fill`, which writes $1, if
  // given, to msgdb.idx, then adds notes.txt, a file that is not a log, until
  // 85 % is used; $NOBODY, which runs a command as the account nobody; $EMU,
  // the emulator to run $BIN with; `fail PATH CALL N`, after which the
  // command's Nth CALL on PATH fails (EIO); $STOP, which runs one that stops
  // once it has read the folder's names (or, after `stop PATH CALLS`, made
  // the first of CALLS on PATH), and `listed`, which waits for that; and
  // `paused`, which has the command stop there while $1 runs (meanwhile the
  // run must hold its lock); `noproc`, which, from there, hides /proc from a
  // command started by `unshare -m`. The leak checker can't work under a
  // tracer.
  Lines run(const std::string& setup) {
    return run_tool({dir.path},
                    R"(NOBODY='setpriv --reuid=65534 --regid=65534 --clear-groups'
      EMU=')" MSGDB_TRIM_EMULATOR R"('; F=$(pwd -P)
      mk() { for i in $(seq 2 $#); do eval "i=\${$i}"; n=$(printf %08x.movra.msg.db "0x${i%j}")
        [ "$i" = "${i%j}" ] || n=$n-journal; head -c $(($1 * 4096)) /dev/zero >"$n"; done; }
      fail() { RUN="strace -qq -o /dev/null -P $1 -e inject=$2:error=EIO:when=$3"; }
      export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"; BIN=')" +
                        (bin / "msgdb-trim") + R"('; rm -f "$BIN.trace"
      stop() { STOP="strace -qq -o $BIN.trace -P $1 -e trace=$2 -e inject=$2:signal=SIGSTOP:when=1"
      }; stop "$F" getdents64
      fill() { [ -z "$1" ] || echo "$1" >msgdb.idx
        set -- $(stat -f -c '%b %a %S' .)
        head -c $(((850 - $1 + $2) * $3)) /dev/zero >>notes.txt; }
      listed() { for i in $(seq 1000); do grep -qs 'stopped by' "$BIN.trace" && return; sleep 0.01
        done; }
      noproc() { for p in $(pgrep -P $$); do N=/proc/$p/ns/mnt
        [ $(readlink $N) = $(readlink /proc/$$/ns/mnt) ] || nsenter -m$N mount -t tmpfs x /proc
        done; }
      paused() { RUN=$STOP; { listed; flock -n .msgdb-trim.lock true && echo the lock is free
        eval "$1"; pkill -CONT -P $$; } & }
      )" + setup,
                    dir.path);
  }
  // The two lines that announce the folder and the tmpfs that holds it.
  Lines head() const {
    return {"Watching '" + dir.path + "'", "On Block Device '" + kDevice + "'"};
  }

  const std::string kDevice = "msgdb-test-fs";
  TempDir dir;     // the test folder; removed only once the test's mounts are gone
  TempDir bin;     // the binary, where another account may run it (not a home of mode 0700)
  Lines mounted_;  // what to unmount when the test ends
};

// What a run on the tmpfs filled to 85 % prints after the device line: the
// shares, `index` (the index lines), the trim lines, `failure` (a line of
// standard error, if any), then "Trimmed <bytes> bytes".
Lines at_85(const Lines& index, uint64_t trimmed, const Lines& failure = {}) {
  return Lines{"Used 85%", "Free 15%"} + index +
         Lines{"Time to Trim..", "Need to trim 15%", "Trimming 614400 bytes"} + failure +
         Lines{"Trimmed " + std::to_string(trimmed) + " bytes"};
}
// The lines of a run that reads `index` from its index file.
Lines reading(const std::string& index) {
  return {"Reading log idx from file...", "Current index " + index};
}

// What a row needs beyond the tmpfs: strace, able to trace here, to make a
// call fail or stop the command; the account nobody as $NOBODY, and so root. $OWNER owns
// the folder and $AS_OWNER runs a command as that account: nobody where the
// tests run as root; in a user namespace, with its one account, root without
// capabilities, for which file permissions hold.
enum Needs { kNothing = 0, kStrace = 1, kNobody = 2 };

// Each row runs `setup` in an empty folder, and the command on it; at 85 %,
// the target is 150 pages.
TEST_F(OnTmpfs, Scenarios) {
  // Each row: what it shows, the setup, the lines after the two announcement
  // lines, the log files left.
  // clang-format off
  const struct { const char* what; const char* setup; Lines lines; const char* left;
                 Needs needs = kNothing; } rows[] = {
      {"above the current index first (the oldest), then below, never the current index; a name "
       "gone since the listing is passed over; a second read that finds no number changes nothing",
       "mk 40 3 3j 5 5j 7 7j 8 8j; fill 5\n"
       "paused 'rm 00000008.movra.msg.db; echo x >new; mv new msgdb.idx'",
       at_85(reading("5"), 655360), "3j 5 5j", kStrace},
      {"a target passed, by a file far past 4 GiB: nothing more goes, none below the index",
       "mk 10 3 8; truncate -s 5G 00000006.movra.msg.db; fill 5",
       at_85(reading("5"), 5368709120), "3 8"},
      // Moved on by four: every index passed is kept, not only the last.
      {"the writer moved on by several while the run listed the folder", "mk 10 3 4 7 9\n"
       "mk 160 5 6; fill 4; paused 'echo 8 >new; mv new msgdb.idx; mk 0 8'",
       at_85(reading("4"), 81920), "4 5 6 7 8", kStrace},
      {"the writer moved on past the wrap", "mk 160 fffffffe; mk 10 ffffffff 0 1\n"
       "fill 4294967295; paused 'echo 1 >new; mv new msgdb.idx'",
       at_85(reading("4294967295"), 655360), "0 1 ffffffff", kStrace},
      {"an index file removed once found is read all the same",
       "mk 160 3 7; fill 5; stop \"$F/msgdb.idx\" %%stat\npaused 'rm msgdb.idx'",
       at_85(reading("5"), 655360), "3", kStrace},
      {"and without /proc, where it is opened again by name: then it can't be",
       "mk 160 3 7; fill 5; stop \"$F/msgdb.idx\" %%stat\n"
       "STOP=\"$STOP unshare -m\"; paused 'noproc; rm msgdb.idx'",
       at_85({"Reading log idx from file...", "open: No such file or directory",
              "Current index 0"}, 0), "3 7", kStrace},
      {"nor is a FIFO put in its place waited on",
       "mk 160 3 7; fill 5; stop \"$F/msgdb.idx\" %%stat\n"
       "STOP=\"$STOP unshare -m\"; paused 'noproc; rm msgdb.idx; mkfifo msgdb.idx'",
       at_85({"Reading log idx from file...", "open: Resource temporarily unavailable",
              "Current index 0"}, 0), "3 7", kStrace},
      {"a second read that can't read the index file",
       "mk 160 3 7; fill 5; paused 'rm msgdb.idx; mkdir msgdb.idx'",
       at_85(reading("5"), 0, {"read: Is a directory"}), "3 7", kStrace},
      {"an index file reached through a link is read through it",
       "mk 160 3 7; echo 5 >real; ln -s real msgdb.idx; fill", at_85(reading("5"), 655360), "3"},
      {"a FIFO for an index file is never opened: the run ends at once",
       "mk 160 1 2; mkfifo msgdb.idx; fill; RUN='timeout 10'",
       at_85({"Reading log idx from file...", "read: Invalid argument", "Current index 0"}, 0),
       "1 2"},
      {"a link to a device for an index file: the device is never opened",
       "mk 160 1 2; ln -s /dev/null msgdb.idx; fill",
       at_85({"Reading log idx from file...", "read: Invalid argument", "Current index 0"}, 0),
       "1 2"},
      {"a first read of the index file that fails",
       "mk 160 1 2; fill 5; fail \"$F/msgdb.idx\" read 1",
       at_85({"Reading log idx from file...", "read: Input/output error", "Current index 0"},
             0), "1 2", kStrace},
      {"without an index file, or with a link to nothing, only 00000000 is kept; a link counts as "
       "itself, a folder not at all", "mk 100 0 3 3j; mkdir 00000001.movra.msg.db\n"
       "ln -s /dev/null 00000002.movra.msg.db; ln -s gone msgdb.idx; fill",
       at_85({"Current index 0"}, 819209), "0 1"},
      {"a listing that fails at once", "mk 160 3 7; fill 5; fail \"$F\" getdents64 1",
       at_85(reading("5"), 0, {"readdir: Input/output error"}), "3 7", kStrace},
      {"a listing that fails after every name", "mk 160 3 7; fill 5; fail \"$F\" getdents64 2",
       at_85(reading("5"), 0, {"readdir: Input/output error"}), "3 7", kStrace},
      {"a run waits for the one before it, even one that holds the lock shared, then measures "
       "and trims what it left of the folder it opened, though another is mounted over its path",
       "mk 160 3 7; fill 5; umask 077; exec 9>>.msgdb-trim.lock; flock -s 9; (sleep 1\n"
       "truncate -s -40960 notes.txt; mount -t tmpfs over \"$F\"; exec 9>&-) & exec 9>&-\n"
       "echo '\"$@\"; umount '\"$F\" >$BIN.sh; RUN=\"sh $BIN.sh\"",
       {"Used 84%", "Free 16%", "Reading log idx from file...", "Current index 5",
        "Time to Trim..", "Need to trim 14%", "Trimming 573440 bytes", "Trimmed 655360 bytes"},
       "3"},
      {"and for the lock file that replaced the one it waited for", "mk 160 7; fill 5; umask 077\n"
       "exec 9>>.msgdb-trim.lock; flock 9; (sleep 1; rm .msgdb-trim.lock\n"
       "exec 8>>.msgdb-trim.lock; flock 8; exec 9>&-; sleep 1; rm notes.txt) & exec 9>&-",
       {"Used 16.1%", "Free 83.9%", "Reading log idx from file...", "Current index 5",
        "Still got space.."}, "7"},
      {"a link under the lock file's name is replaced, never followed",
       "mk 160 7; fill 5; ln -s 00000009.movra.msg.db .msgdb-trim.lock; paused :",
       at_85(reading("5"), 655360), "", kStrace},
      // Here and in the next row, strace's note on the relative path, and the run's errors, go
      // nowhere.
      {"one put there once the run has looked is never followed: that run goes without the lock",
       "mk 160 7; fill 5; umask 077; : >.msgdb-trim.lock; stop .msgdb-trim.lock %%stat\n"
       "printf '%s\\n' '\"$@\" 2>/dev/null' '[ -L .msgdb-trim.lock ] && echo left' >$BIN.sh\n"
       "RUN=\"sh $BIN.sh $STOP\"\n"
       "{ listed; ln -sf notes.txt .msgdb-trim.lock; pkill -CONT -f \"$F\"; } &",
       at_85(reading("5"), 655360) + Lines{"left"}, "", kStrace},
      {"nor is a FIFO put in place of another account's lock file waited on",
       "mk 160 7; fill 5; chmod 1777 .; $NOBODY touch .msgdb-trim.lock\n"
       "stop .msgdb-trim.lock %%stat; RUN=$STOP; exec 2>/dev/null\n"
       "{ listed; rm .msgdb-trim.lock; mkfifo .msgdb-trim.lock; pkill -CONT -f \"$F\"; } &",
       at_85(reading("5"), 655360), "", Needs(kStrace | kNobody)},
      {"a lock file left by the writer's run where anyone may create files is replaced: the "
       "next run waits for the run that replaced it",
       "mk 160 6 7; chmod 1777 .; $NOBODY $EMU \"$BIN\" . >/dev/null; fill 5\n"
       "$STOP $EMU \"$BIN\" . >/dev/null & T=$!; listed; (sleep 1; pkill -CONT -P $T) &",
       {"Used 69%", "Free 31%", "Reading log idx from file...", "Current index 5",
        "Still got space.."}, "7", Needs(kStrace | kNobody)},
      {"another account, holding every lock it can take, its lock file made first where it may",
       "mk 160 7; fill 5; chmod 1777 .; $NOBODY sh -c 'umask 077; exec 3<. 4<msgdb.idx\n"
       "exec 5>>.msgdb-trim.lock; flock 3; flock 4; flock 5; : >ready; sleep 30' &\n"
       "timeout 5 sh -c 'until [ -e ready ]; do sleep 0.01; done'; RUN='timeout 20'",
       Lines{".msgdb-trim.lock: Resource temporarily unavailable"} + at_85(reading("5"), 655360),
       "", kNobody},
      {"as the folder's owner, who can't search it",
       "mk 160 1 2; fill 5; chown $OWNER .; chmod 0 .; RUN=$AS_OWNER",
       at_85({"stat: Permission denied", "Current index 0"}, 0), "1 2"},
      {"as the folder's owner, who can search it but not list it",
       "mk 160 1 2; fill 5; chown $OWNER .; chmod 0311 .; RUN=$AS_OWNER",
       at_85(reading("5"), 0, {"opendir: Permission denied"}), "1 2"},
      {"as the folder's owner, who can't open the index file",
       "mk 160 1 2; fill 5; chown $OWNER .; chmod 0 msgdb.idx; RUN=$AS_OWNER",
       at_85({"Reading log idx from file...", "open: Permission denied", "Current index 0"}, 0),
       "1 2"},
      // clang-format on
  };
  const bool root = getuid() == 0 && chown(dir.path.c_str(), 65534, 65534) == 0;
  const int can = (std::system("strace -o /dev/null true >/dev/null 2>&1") == 0 ? kStrace : 0) |
                  (root ? kNobody : 0);
  const std::string owner =
      root ? "OWNER=65534 AS_OWNER=$NOBODY\n"
           : "OWNER=0 AS_OWNER='setpriv --inh-caps=-all --bounding-set=-all'\n";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if ((row.needs & ~can) != 0) continue;  // said when the build was configured
    for (const std::string& name : list_folder(dir.path)) fs::remove_all(dir / name);
    ASSERT_EQ(chown(dir.path.c_str(), getuid(), getgid()) | chmod(dir.path.c_str(), 0755), 0);
    EXPECT_EQ(run(owner + row.setup), head() + row.lines);
    std::ostringstream left;
    for (const std::string& name : list_folder(dir.path)) {
      FolderData::LogFile file;
      if (!FolderData::match_log_file_name(name, file)) continue;
      left << " " << std::hex << file.index << (file.journal ? "j" : "");
    }
    EXPECT_EQ(left.str().erase(0, 1), row.left);
  }
}

TEST_F(OnTmpfs, ARunGivesUpAfterItsBound) {
  const int lock = open((dir / FolderData::kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::ostringstream out;
  std::streambuf* const stdout_buffer = std::cout.rdbuf(out.rdbuf());
  FolderData(dir.path).CheckAndTrim(70, 80, std::chrono::milliseconds(200));
  std::cout.rdbuf(stdout_buffer);
  close(lock);
  EXPECT_EQ(out.str(), "Watching '" + dir.path + "'\nOn Block Device '" + kDevice +
                           "'\nAnother run on this folder has not finished\n");
}

TEST_F(OnTmpfs, AReaderOfTheOutputThatIsGoneDoesNotStopTheTrim) {
  signal(SIGPIPE, SIG_DFL);  // as most launchers leave it for what they start
  EXPECT_TRUE(run("mk 0 7; fill 5; mkfifo p; (exec <p) & exec >p; wait $!; rm p").empty());
  EXPECT_EQ(list_folder(dir.path), (Lines{FolderData::kLockName, "msgdb.idx", "notes.txt"}));
}

TEST_F(OnTmpfs, NamesWhatItWatchesAndMeasuresPast16TiB) {
  // Never the machine's own folder: an empty tmpfs covers it where it exists.
  if (fs::exists("/mnt/data")) mount_on("/mnt/data", kDevice, "size=1m");
  EXPECT_EQ(run_tool({}).at(0), "Watching '/mnt/data'");
  mount_on(dir.path, "msgdb-test-top", "size=20t");  // 2^32 blocks of 4 KiB and more
  const Lines lines = run("head -c 67108864 /dev/zero >notes.txt");
  EXPECT_EQ(lines.at(1), "On Block Device 'msgdb-test-top'");
  EXPECT_EQ(lines.at(2) + lines.at(3), "Used 0.000305176%Free 99.9997%");  // 64 MiB of 20 TiB
  if (access("/dev/loop-control", W_OK) != 0) return;  // said when the build was configured
  // A fresh ext2 image, half of it reserved for root, on top: the reserve counts as used.
  const Lines ext2 = run("mkfs.ext2 -qF -m 50 $BIN.fs 1024 >/dev/null; mount -o loop $BIN.fs .");
  EXPECT_GT(std::stod(ext2.at(2).substr(5)), 50) << ext2.at(2);
}

TEST(Command, WritesEachLineWhereItBelongs) {
  const Lines missing = {"Watching '/nonexistent'", "stat: No such file or directory",
                         "On Block Device ''", "statvfs: No such file or directory"};
  // clang-format off
  const struct { const char* what; Lines args; const char* setup; Lines lines; } rows[] = {
      {"an empty path is a path too, and arguments after the first are ignored; failures go "
       "only to standard error", {"", "/proc"}, "exec 2>/dev/null",
       {"Watching ''", missing[2]}},
      {"a file system of no bytes; a regular file, not a folder, below its mount point",
       {"/proc/self/status"}, "", {"Watching '/proc/self/status'", "On Block Device 'proc'",
        "Used nan%", "Free nan%", "Current index 0", "Still got space.."}},
      {"standard error the journal: its lines marked as errors", {"/nonexistent"},
       "export JOURNAL_STREAM=$(stat -L -c %d:%i /dev/fd/2)", {missing[0],
        "<3>" + missing[1], missing[2], "<3>" + missing[3]}},
      {"the journal another file: every byte as it is", {"/nonexistent"},
       "export JOURNAL_STREAM=$(stat -L -c %d /dev/fd/2):1", missing},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(run_tool(row.args, row.setup), row.lines);
  }
}

}  // namespace
