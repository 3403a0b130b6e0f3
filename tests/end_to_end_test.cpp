// The built command, run on a tmpfs made for each test in the tests' own mount
// namespace: exact output, and exactly which files go.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// Each test has a tmpfs of exactly 1000 pages as its folder: tmpfs counts
// every page a file touches, and nothing for folders, FIFOs, empty files or
// short links, so any share of it can be filled exactly. The mounts are
// private to the tests, which ctest starts in a mount namespace of their own.
class OnTmpfs : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("MSGDB_TRIM_PRIVATE_MOUNTS")) GTEST_SKIP() << "needs" MSGDB_TRIM_NO_MOUNTS;
    ASSERT_EQ(mount(kDevice.c_str(), dir.path.c_str(), "tmpfs", 0, "nr_blocks=1000"), 0)
        << std::strerror(errno);
    signal(SIGPIPE, SIG_DFL);  // for the command, as most launchers leave it
    fs::copy_file(MSGDB_TRIM_BINARY, bin / "msgdb-trim");
    ASSERT_EQ(chmod(bin.path.c_str(), 0755), 0);
  }
  // Unmounts the folder's tmpfs, and what a test mounted over it.
  void TearDown() override {
    while (umount2(dir.path.c_str(), MNT_DETACH) == 0) continue;
  }
  // Runs the built msgdb-trim on the folder through sh, in the folder, after
  // the helpers of scenarios.sh and then `setup`: shell commands that may set
  // RUN, a command that runs it, AFTER, one that runs once it has ended, and
  // HELPER, a process to wait for before AFTER. An emulator (qemu-user for a
  // cross build) runs the binary when one is set.
  // Returns the lines of both streams in the order written, but for each run's
  // "Watching" line for the folder and the device line right after it, and
  // strace's note on a relative path; expects exit status 0.
  Lines run(const std::string& setup) {
    const std::string command =
        "exec >'" + (bin / "out") + "' 2>&1 </dev/null; cd '" + dir.path +
        "'; RUN=; AFTER=:; EMU='" MSGDB_TRIM_EMULATOR "'; BIN='" + (bin / "msgdb-trim") +
        "'\n. '" MSGDB_TRIM_SCENARIOS "'\n" + setup + "\n$RUN $EMU \"$BIN\" '" + dir.path +
        "'; status=$?; [ -z \"$HELPER\" ] || wait $HELPER; eval \"$AFTER\"; exit $status";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    Lines lines;
    std::ifstream out(bin / "out");
    bool announced = false;  // the line before said "Watching" the folder
    for (std::string line; std::getline(out, line);) {
      const bool device = announced && line.rfind("On Block Device '", 0) == 0;
      announced = line == "Watching '" + dir.path + "'";
      if (!announced && !device && line.rfind("strace: Requested path", 0) != 0)
        lines.push_back(line);
    }
    return lines;
  }
  const std::string kDevice = "msgdb-test-fs";
  TempDir dir;  // the test folder; removed only once the test's mounts are gone
  TempDir bin;  // the binary, where another account may run it (not a home of mode 0700)
};

// What a run on the tmpfs filled to 85 % prints after the device line: the
// shares, `index` (the index lines), the trim lines, `failure` (a line of
// standard error, if any), then "Trimmed <bytes> bytes".
Lines at_85(const Lines& index, uint64_t trimmed, const Lines& failure = {}) {
  return Lines{"Used 85%", "Free 15%"} + index +
         Lines{"Time to Trim..", "Need to trim 15%", "Trimming 614400 bytes"} + failure +
         Lines{"Trimmed " + std::to_string(trimmed) + " bytes"};
}
// The lines of two runs that print `lines`.
Lines twice(const Lines& lines) { return lines + lines; }
// The lines of a run that reads `index` from its index file.
Lines reading(const std::string& index) {
  return {"Reading log idx from file...", "Current index " + index};
}

// What a run at 85 % prints that can't read its index file, for `error`: it removes nothing.
Lines unread(const std::string& error) {
  return at_85({"Reading log idx from file...", "<3>" + error, "Current index 0"}, 0);
}

// A scenario, after the sentence of what it shows: `setup` runs in the empty
// folder, and then the command on it; every run prints, after the lines that
// announce the folder, `lines`, and leaves the log files `left`. At 85 %, the
// target is 150 pages. Setup may skip the row with a line "SKIP: <reason>".
struct Row {
  const char* id;  // its name among the tests
  const char* setup;
  Lines lines;
  const char* left;  // nullptr: not looked at
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.id; }

// What a run prints that waited for the run before it, which freed 10 pages.
const Lines kWaited = {
    "Used 84%",       "Free 16%",         "Reading log idx from file...", "Current index 5",
    "Time to Trim..", "Need to trim 14%", "Trimming 573440 bytes",        "Trimmed 655360 bytes"};
const Lines kLockHeld = {"<3>.msgdb-trim.lock: Resource temporarily unavailable"};

// clang-format off
const Row kRows[] = {
    // Which files go, and in which order.
    // Above the current index first (the oldest), then below, never the current index, until
    // exactly the target has gone; a name gone since the listing is passed over; a second read
    // that finds no number changes nothing.
    {"OldestFirst", "mk 50 3 3j 5 5j 7 7j 8 8j 9; fill 5\n"
     "paused 'rm 00000008.movra.msg.db; echo x >new; mv new msgdb.idx'",
     at_85(reading("5"), 614400), "3 3j 5 5j 9"},
    // The writer moved on by four while the run listed the folder: every index passed is kept.
    {"WriterMovedOnBySeveral",
     "mk 10 3 4 7 9\nmk 160 5 6; fill 4; paused 'echo 8 >new; mv new msgdb.idx; mk 0 8'",
     at_85(reading("4"), 81920), "4 5 6 7 8"},
    // Without an index file, or with a link to nothing, only 00000000 is kept; a link counts as
    // itself, a folder not at all.
    {"NoIndexFile", "mk 100 0 3 3j; mkdir 00000001.movra.msg.db\n"
     "ln -s /dev/null 00000002.movra.msg.db; ln -s gone msgdb.idx; fill",
     at_85({"Current index 0"}, 819209), "0 1"},
    // Sizes, a target and a sum past 4 GiB, and the reserve counted as used: a 40 GiB ext4 of
    // three 5 GiB databases above the index, one below it, and 20 GiB of other data. Two of the
    // upper list meet the target, so no other goes.
    {"PastFourGiB", "image ext4 e2fsprogs 40G; mk 1 3; echo 5 >msgdb.idx\n"
     "for i in 6 7 8; do fallocate -l 5G 0000000$i.movra.msg.db; done; fallocate -l 20G notes.txt",
     {"Used 94.7288%", "Free 5.27119%", "Reading log idx from file...", "Current index 5",
      "Time to Trim..", "Need to trim 24.7288%", "Trimming 10375443251 bytes",
      "Trimmed 10737418240 bytes"}, "3 8"},
    // File systems that give a removed file's space back late: XFS from a background worker,
    // btrfs at its commit, put off here for ten minutes. Of two runs started together and one
    // after them, one trims, and none writes to standard error; after a removal by hand that
    // took usage below the trigger, none trims.
    {"LateFreesOnXfs", "image xfs xfsprogs 320M; databases; trims_once", {"1"}, nullptr},
    {"LateFreesOnBtrfs", "image btrfs btrfs-progs 320M commit=600; databases; trims_once", {"1"},
     nullptr},
    {"RemovedByHandOnBtrfs", "image btrfs btrfs-progs 320M commit=600; databases\n"
     "rm 0000000[1-8].movra.msg.db; trims_once", {"0"}, nullptr},
    // What went freed nothing, as it has another name: said at err once the counts have settled.
    {"RemovedDatabasesWithAnotherName", "mk 160 3 7; fill 5; ln 00000007.movra.msg.db backup\n"
     "exec >/dev/null", {"<3>Trim freed too little: used 85%"}, "3"},
    // Nothing is said where it freed less, yet enough: a sparse database took usage to 75 %.
    {"ASparseDatabaseFreesLess", "mk 100 7; truncate -s 320K 00000006.movra.msg.db; fill 5\n"
     "exec >/dev/null", {}, ""},
    // The index file.
    // An index file removed once found is read all the same.
    {"IndexRemovedOnceFound",
     "mk 160 3 7; fill 5; stop \"$F/msgdb.idx\" %%stat\npaused 'rm msgdb.idx'",
     at_85(reading("5"), 655360), "3"},
    // And without /proc, where it is opened again by name: then it can't be, once removed; nor
    // is a FIFO put in its place waited on.
    {"IndexReplacedWithoutProc", "mk 160 3 7; fill 5; stop \"$F/msgdb.idx\" %%stat\n"
     "STOP=\"$STOP unshare -m\"; paused 'noproc; rm msgdb.idx'; again; wait $HELPER\n"
     "rm \"$TRACE\"; echo 5 >msgdb.idx; paused 'noproc; rm msgdb.idx; mkfifo msgdb.idx'",
     unread("open: No such file or directory") + unread("open: Resource temporarily unavailable"),
     "3 7"},
    // A second read that can't look the index file up, then one that can't read it.
    {"SecondIndexReadFails", "mk 160 3 7; fill 5; fail msgdb.idx openat 2; again\n"
     "paused 'rm msgdb.idx; mkdir msgdb.idx'",
     at_85(reading("5"), 0, {"<3>stat: Input/output error"}) +
     at_85(reading("5"), 0, {"<3>read: Is a directory"}), "3 7"},
    // A first read of the index file that fails.
    {"FirstIndexReadFails", "mk 160 1 2; fill 5; fail \"$F/msgdb.idx\" read 1",
     unread("read: Input/output error"), "1 2"},
    // A link to a device for an index file: the device is never opened. Then one to a file,
    // read through it.
    {"IndexThroughALink", "mk 160 3 7; echo 5 >real; ln -s /dev/null msgdb.idx; fill; again\n"
     "ln -sf real msgdb.idx", unread("read: Invalid argument") + at_85(reading("5"), 655360), "3"},
    // A listing that fails at once, then one that fails part way.
    {"ListingFails", "mk 160 3 7; fill 5; fail \"$F\" getdents64 1; again\n"
     "fail \"$F\" getdents64 2", twice(at_85(reading("5"), 0, {"<3>readdir: Input/output error"})),
     "3 7"},
    // Lines at err are marked only where standard error is the journal's own stream: not a file
    // on its device alone, nor of its inode number alone.
    {"MarksOnlyTheJournalsStream", "mkdir msgdb.idx; exec >/dev/null; J=$JOURNAL_STREAM\n"
     "export JOURNAL_STREAM=${J%:*}:0; again; export JOURNAL_STREAM=0:${J#*:}",
     twice({"read: Is a directory"}), ""},
    // A reader of its output that is gone stops nothing.
    {"AReaderOfTheOutputThatIsGone", "mk 0 7; fill 5; mkfifo p; (exec <p) & exec >p; wait $!; rm p",
     {}, ""},
    // Taking turns.
    // A run waits for the one before it, even one that holds the lock shared, then measures and
    // trims what it left of the folder it opened, though another is mounted over its path.
    {"WaitsForTheRunBefore", "mk 160 3 7; fill 5; umask 077; exec 9>>.msgdb-trim.lock\n"
     "flock -s 9; (sleep 1; truncate -s -40960 notes.txt; mount -t tmpfs over \"$F\"\n"
     "exec 9>&-) & exec 9>&-; AFTER='umount \"$F\"'", kWaited, "3"},
    // And for the lock file that replaced the one it waited for; an idle run settles nothing.
    {"WaitsForTheLockFileThatReplacedIt", "mk 160 7; fill 5; umask 077; traced\n"
     "exec 9>>.msgdb-trim.lock; flock 9; (sleep 1; rm .msgdb-trim.lock\n"
     "exec 8>>.msgdb-trim.lock; flock 8; exec 9>&-; sleep 1; rm notes.txt) & exec 9>&-\n"
     "RUN=\"strace -qq -o $TRACE -e trace=syncfs\"; AFTER='grep -c syncfs \"$TRACE\"'",
     {"Used 16.1%", "Free 83.9%", "Reading log idx from file...", "Current index 5",
      "Still got space..", "0"}, "7"},
    // And for the lock file that replaced the one it looked at, before its open.
    {"LockFileReplacedBeforeItsOpen", "mk 160 7; fill 5; umask 077; : >.msgdb-trim.lock\n"
     "stop .msgdb-trim.lock %%stat; when_stopped hold_lock", kWaited, ""},
    // Its lock file removed, then replaced, while the run holds it: the run removes nothing, as
    // another may trim.
    {"LockFileRemovedOnceHeld", "mk 160 7; fill 5; paused 'rm .msgdb-trim.lock'; again\n"
     "wait $HELPER; rm \"$TRACE\"; paused 'rm .msgdb-trim.lock; : >.msgdb-trim.lock'",
     at_85(reading("5"), 0, {"<3>.msgdb-trim.lock: No such file or directory"}) +
     at_85(reading("5"), 0, {"<3>.msgdb-trim.lock: Stale file handle"}), "7"},
    // Without an inode for the lock file, a run that trims without turns says so at err; one
    // with nothing to remove says nothing.
    {"NoInodeForTheLockFile", "mk 160 7; fill 5; exec >/dev/null; mv 00000007.movra.msg.db x\n"
     "mount --options-mode ignore -o remount,nr_inodes=$(($(stat -f -c '%c - %d' .))) \"$F\"\n"
     "again; mv x 00000007.movra.msg.db", {"<3>.msgdb-trim.lock: No space left on device"}, ""},
    // Nor can the folder's own status be read (the call after the device's two lookups).
    {"FolderStatusFails", "mk 160 7; fill 5; exec >/dev/null; fail \"$F\" %%stat 3",
     {"<3>.msgdb-trim.lock: Input/output error"}, ""},
    // On a read-only mount the run goes on at once, without a word: where it can't make the lock
    // file, and past a held one.
    {"ReadOnly", "mk 160 7; fill 5; ro='mount --options-mode ignore -o remount'; $ro,ro \"$F\"\n"
     "again; $ro,rw \"$F\"; umask 077; : >.msgdb-trim.lock; exec 9<.msgdb-trim.lock; flock 9\n"
     "$ro,ro \"$F\"; RUN='timeout 10'", twice(at_85(reading("5"), 0)), "7"},
    // What is found under the lock file's name.
    // A folder of root's there that can't go stays: the run goes without turns, and says so.
    {"LockNameAFolderThatCantGo", "mk 160 7; fill 5; mkdir .msgdb-trim.lock\n"
     ": >.msgdb-trim.lock/x; paused :; AFTER='[ -d .msgdb-trim.lock ] && echo stays'",
     at_85(reading("5"), 655360, {"the lock is free", "<3>.msgdb-trim.lock: Directory not empty"}) +
         Lines{"stays"}, ""},
    // A lock file of its own that others could open is left as it is; the run goes without it,
    // and does not wait for whoever holds it.
    {"LockFileOpenToOthers", "mk 160 7; fill 5; : >.msgdb-trim.lock; chmod 644 .msgdb-trim.lock\n"
     "hold; AFTER='stat -c %a .msgdb-trim.lock'", at_85(reading("5"), 655360) + Lines{"644"}, ""},
    // So is the one it has just made, as on a file system that can't keep it private.
    {"MadeLockFileOpenToOthers", "mk 160 7; fill 5; stop .msgdb-trim.lock openat\n"
     "when_stopped 'chmod 644 .msgdb-trim.lock; hold'", at_85(reading("5"), 655360), ""},
    // A link under the lock file's name, even one put there once the run has looked, is never
    // followed, but replaced by the run's own lock file.
    {"LinkPutThereOnceLooked", "mk 160 7; fill 5; umask 077; : >.msgdb-trim.lock\n"
     "stop .msgdb-trim.lock %%stat; when_stopped 'ln -sf notes.txt .msgdb-trim.lock'\n"
     "AFTER='[ ! -L .msgdb-trim.lock ] && [ -f .msgdb-trim.lock ] && echo replaced'",
     at_85(reading("5"), 655360) + Lines{"replaced"}, ""},
    // A name that keeps changing is not chased: the run says so at err and goes without the lock.
    {"LockNameKeepsChanging", "mk 160 7; fill 5; ln -s x .msgdb-trim.lock; exec >/dev/null\n"
     "traced; RUN='timeout 10 strace -qq -o /dev/null -P .msgdb-trim.lock'\n"
     "RUN=\"$RUN -e inject=unlinkat:retval=0\"", kLockHeld, ""},
    // Another account's lock file.
    // Another account's lock file made once the run found none is replaced by the run's own.
    {"ForeignLockFileMadeOnceLooked", "mk 160 7; fill 5; shared; stop .msgdb-trim.lock %%stat\n"
     "when_stopped \"$NOBODY touch .msgdb-trim.lock\"; AFTER='stat -c %U .msgdb-trim.lock'",
     at_85(reading("5"), 655360) + Lines{"root"}, ""},
    // Another account's lock file replaced by another run's between the look and the open: the
    // run waits for that run.
    {"ForeignLockFileReplacedBeforeItsOpen", "mk 160 7; fill 5; shared\n"
     "$NOBODY touch .msgdb-trim.lock; stop .msgdb-trim.lock %%stat; when_stopped hold_lock",
     kWaited, ""},
    // And replaced once the run holds it: the other run's file stays, and the run waits for it.
    {"ForeignLockFileReplacedOnceHeld", "mk 160 7; fill 5; shared\n"
     "$NOBODY touch .msgdb-trim.lock; stop .msgdb-trim.lock flock; when_stopped hold_lock",
     kWaited, ""},
    // Nor is a FIFO put in place of another account's lock file waited on.
    {"ForeignLockFileBecomesAFifo", "mk 160 7; fill 5; shared\n"
     "$NOBODY touch .msgdb-trim.lock; stop .msgdb-trim.lock %%stat\n"
     "when_stopped 'rm .msgdb-trim.lock; mkfifo .msgdb-trim.lock'", at_85(reading("5"), 655360),
     ""},
    // Another account, holding every lock it can take, its lock file made first where it may.
    {"ForeignAccountHoldsEveryLock", "mk 160 7; fill 5; shared\n"
     "$NOBODY sh -c 'umask 077; exec 3<. 4<msgdb.idx\n"
     "exec 5>>.msgdb-trim.lock; flock 3; flock 4; flock 5; : >ready; sleep 30' &\n"
     "await '[ -e ready ]'; RUN='timeout 20'", kLockHeld + at_85(reading("5"), 655360), ""},
    // The command's arguments and streams, the file system it measures.
    // The folder is /mnt/data by default. An empty tmpfs covers the machine's own, if any; the
    // row never runs where it can't.
    {"WatchesMntDataByDefault", "{ [ ! -e /mnt/data ] || mount -t tmpfs none /mnt/data; } ||\n"
     "skip \"can't cover /mnt/data\"; $EMU \"$BIN\" 2>/dev/null | head -n 1; RUN=:",
     {"Watching '/mnt/data'"}, nullptr},
    // An empty path is a path too, and arguments after the first are ignored; failures go only
    // to standard error.
    {"AnEmptyPath", "$EMU \"$BIN\" '' /proc 2>/dev/null; RUN=:",
     {"Watching ''", "On Block Device ''"}, nullptr},
    // A file system of no bytes, and a regular file, not a folder, below its mount point.
    {"AFileSystemOfNoBytes", "$EMU \"$BIN\" /proc/self/status; RUN=:",
     {"Watching '/proc/self/status'", "On Block Device 'proc'", "Used nan%", "Free nan%",
      "Current index 0", "Still got space.."}, nullptr},
    // With standard output and error closed, lines go nowhere, never into the lock file.
    {"StreamsClosed", "mkdir msgdb.idx; exec 3>&1 >&- 2>&-\n"
     "AFTER='exec >&3; wc -c <.msgdb-trim.lock'", {"0"}, nullptr},
    // 2^32 blocks of 4 KiB and more: 64 MiB of 20 TiB used.
    {"MeasuresPast16TiB", "mount -t tmpfs -o size=20t none \"$F\"; cd \"$F\"\n"
     "head -c 67108864 /dev/zero >notes.txt", {"Used 0.000305176%", "Free 99.9997%",
     "Current index 0", "Still got space.."}, nullptr},
    // What the folder's owner may not do. $OWNER owns the folder and $AS_OWNER runs a command
    // as that account (scenarios.sh says which).
    // As the folder's owner, who can't search it, then can't write it (nor make the lock file,
    // which is not worth a line), then can't list it, then can't open the index.
    {"OwnerCant", "mk 160 1 2; fill 5; chown $OWNER .; RUN=$AS_OWNER; chmod 0 .; again\n"
     "chmod 0555 .; again; chmod 0311 .; again; chmod 0755 .; chmod 0 msgdb.idx",
     at_85({"<3>stat: Permission denied", "Current index 0"}, 0) + at_85(reading("5"), 0) +
     at_85(reading("5"), 0, {"<3>opendir: Permission denied"}) + unread("open: Permission denied"),
     "1 2"},
};
// clang-format on

class Scenario : public OnTmpfs, public testing::WithParamInterface<Row> {};

TEST_P(Scenario, Shows) {
  const Row& row = GetParam();
  const Lines lines = run(row.setup);
  if (!lines.empty() && lines[0].rfind("SKIP: ", 0) == 0) GTEST_SKIP() << lines[0].substr(6);
  EXPECT_EQ(lines, row.lines);
  if (row.left == nullptr) return;
  std::vector<FolderData::LogFile> files;  // in the order of their names
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    FolderData::LogFile file;
    if (FolderData::match_log_file_name(entry.path().filename().string(), file))
      files.push_back(file);
  }
  std::sort(files.begin(), files.end());
  std::ostringstream left;
  for (const auto& file : files) left << " " << std::hex << file.index << (file.journal ? "j" : "");
  EXPECT_EQ(left.str().erase(0, 1), row.left);
}

INSTANTIATE_TEST_SUITE_P(OnTmpfs, Scenario, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.id; });

// A run gives up once its wait is over: while the lock is held, and where it
// would start over on what is under the lock file's name, as on a lock file
// that replaced the one it waited for; here a link that it removes at once.
TEST_F(OnTmpfs, ARunGivesUpAfterItsBound) {
  const std::string lock_file = dir / FolderData::kLockName;
  const int lock = open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::ostringstream out;
  std::streambuf* const stdout_buffer = std::cout.rdbuf(out.rdbuf());
  FolderData(dir.path).CheckAndTrim(70, 80, std::chrono::milliseconds(200));
  close(lock);
  ASSERT_EQ(unlink(lock_file.c_str()), 0);
  ASSERT_EQ(symlink("elsewhere", lock_file.c_str()), 0);
  FolderData(dir.path).CheckAndTrim(70, 80, std::chrono::milliseconds(0));
  std::cout.rdbuf(stdout_buffer);
  const std::string gave_up = "Watching '" + dir.path + "'\nOn Block Device '" + kDevice +
                              "'\nAnother run on this folder has not finished\n";
  EXPECT_EQ(out.str(), gave_up + gave_up);
}

}  // namespace
