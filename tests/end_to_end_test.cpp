// The built command, run on real file systems made for each test in a private
// mount namespace: exact output, and exactly which files go.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

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
const Lines kReadFive = {"Reading log idx from file...", "Current index 5"};

// A log database's name, its index given without the leading zeros.
std::string db(const std::string& index) {
  return std::string(8 - index.size(), '0') + index + ".movra.msg.db";
}
std::string journal(const std::string& index) { return db(index) + "-journal"; }

TEST_F(OnTmpfs, TrimsTheRightFilesInTheRightOrder) {
  const uint64_t huge = (uint64_t{5} << 30) + 1;  // past 32 bits, sparse: it takes no pages
  const struct {
    const char* what;
    const char* index;  // content of msgdb.idx; none: a link to nothing, so no index file
    std::vector<std::pair<std::string, uint64_t>> logs;  // name and pages, or bytes if huge
    uint64_t used_pages;
    bool read_only;
    Lines lines;  // after the two announcement lines
    Lines left;   // besides msgdb.idx and notes.txt
  } scenarios[] = {
      // clang-format off
      {"just below the trigger", "2\n", {{db("1"), 200}}, 799, false,
       {"Used 79.9%", "Free 20.1%", "Reading log idx from file...", "Current index 2", "Still got space.."},
       {db("1")}},
      {"exactly at the trigger", "2\n", {{db("1"), 200}, {db("2"), 10}}, 800, false,
       {"Used 80%", "Free 20%", "Reading log idx from file...", "Current index 2", "Time to Trim..",
        "Need to trim 10%", "Trimming 409600 bytes", "Trimmed 819200 bytes"}, {db("2")}},
      {"newer first, then older, each by name, never the current index", "5\n",
       {{db("3"), 32}, {journal("3"), 32}, {db("5"), 32}, {journal("5"), 32},
        {db("7"), 32}, {journal("7"), 32}, {db("8"), 32}, {journal("8"), 32}},
       850, false, at_85(kReadFive, 655360), {journal("3"), db("5"), journal("5")}},
      {"names sort by character code; the newer ones alone suffice", "5\n",
       {{db("3"), 10}, {db("a"), 160}, {db("B"), 160}}, 850, false, at_85(kReadFive, 655360),
       {db("3"), db("a")}},
      {"too few candidates: all go but the current index, and never a near miss", "5\n",
       {{db("3"), 10}, {db("5"), 10}, {journal("5"), 10}, {db("7"), 10}, {"x" + db("4"), 1},
        {db("4") + ".bak", 1}}, 850, false, at_85(kReadFive, 81920),
       {db("5"), journal("5"), "x" + db("4"), db("4") + ".bak"}},
      {"without an index file only index 00000000 is kept", nullptr,
       {{db("0"), 100}, {db("1"), 100}, {journal("1"), 100}}, 850, false,
       at_85({"Current index 0"}, 819200), {db("0")}},
      {"a file past 4 GiB counts its whole size", "5\n", {{db("7"), huge}, {db("8"), 10}}, 850,
       false, at_85(kReadFive, huge), {db("8")}},
      {"a read-only file system frees nothing", "5\n", {{db("3"), 100}, {db("7"), 100}}, 850, true,
       at_85(kReadFive, 0), {db("3"), db("7")}},
      // clang-format on
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.what);
    for (const std::string& name : list_folder(dir.path)) fs::remove(dir / name);
    if (s.index != nullptr) write_text(dir / "msgdb.idx", s.index);
    if (s.index == nullptr) fs::create_symlink("nowhere", dir / "msgdb.idx");
    for (const auto& [name, size] : s.logs) {
      write_pages(name, size == huge ? 0 : size);
      if (size == huge) fs::resize_file(dir / name, huge);
    }
    fill_to(s.used_pages);
    // A failed remount shows as files gone that should have stayed.
    if (s.read_only) mount(nullptr, dir.path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);

    const ToolRun run = run_tool({dir.path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, head() + s.lines);
    EXPECT_EQ(run.err, "");
    Lines left = s.left + Lines{"msgdb.idx", "notes.txt"};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(list_folder(dir.path), left);
    if (s.read_only) mount(nullptr, dir.path.c_str(), nullptr, MS_REMOUNT, nullptr);
  }
}

TEST_F(OnTmpfs, LeavesWhatIsNotALogFileOfTheFolder) {
  TempDir outside;  // on the file system below, which the tmpfs does not cover
  write_text(outside / "precious", std::string(4096, 'x'));
  fs::create_directory(dir / "msgdb.idx");
  fs::create_directory(dir / db("1"));
  fs::create_symlink(outside / "precious", dir / db("2"));
  write_pages(db("3"), 100);
  write_pages(journal("3"), 100);
  fill_to(850);

  const ToolRun run = run_tool({dir.path + "/"});  // a trailing slash is kept and works
  EXPECT_EQ(run.status, 0);
  const uint64_t link = (outside / "precious").size();  // a link's size: the path it holds
  EXPECT_EQ(run.out,
            head(dir.path + "/") +
                at_85({"Reading log idx from file...", "Current index 0"}, 200 * page_ + link));
  EXPECT_EQ(list_folder(dir.path), (Lines{db("1"), "msgdb.idx", "notes.txt"}));
  EXPECT_EQ(list_folder(outside.path), Lines{"precious"});
}

TEST_F(OnTmpfs, AFolderThatCannotBeRead) {
  write_pages(db("3"), 100);
  fill_to(850);
  // Mode 0 holds for root too once the permission-overriding capabilities go.
  ASSERT_EQ(chmod(dir.path.c_str(), 0), 0);
  const ToolRun run = run_tool({dir.path}, true, true);
  ASSERT_EQ(chmod(dir.path.c_str(), 0700), 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, head() + at_85({"stat: Permission denied", "Current index 0"}, 0,
                                    {"opendir: Permission denied"}));
  EXPECT_EQ(list_folder(dir.path), (Lines{db("3"), "notes.txt"}));
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

  // No table at all; then a one-field line, which is skipped, a mount point
  // that isn't there, passed over, and two mounts of the folder's file
  // system, of which the first listed wins.
  const ToolRun without = run_tool({dir.path});
  write_text("/proc/mounts", "lonely\n/dev/gone /nowhere ext4 rw 0 0\nfirst " + dir.path +
                                 " tmpfs rw 0 0\nsecond " + dir.path + " tmpfs rw 0 0\n");
  const ToolRun with = run_tool({dir.path});
  ASSERT_TRUE(without.out.size() >= 2 && with.out.size() >= 2);
  EXPECT_EQ(without.out[1], "On Block Device ''");
  EXPECT_EQ(without.err, "Failed to open /proc/mounts\n");
  EXPECT_EQ(with.out[1], "On Block Device 'first'");
}

// A 32 GiB ext4 image, sparse, with 20 % reserved for root and a 21 GiB log
// file whose blocks are allocated but never written: the reserved blocks take
// usage over the trigger, and the target is past 4 GiB.
TEST_F(OnTmpfs, Ext4OnALoopDeviceWithReservedBlocksAndATargetPast4GiB) {
  if (access("/dev/loop-control", W_OK) != 0) GTEST_SKIP() << "a loop device needs root";
  TempDir work;  // for the image: a tmpfs of 1000 pages can't hold what mkfs writes
  const std::string image = work / "fs.img", mnt = dir / "mnt";
  ASSERT_EQ(std::system(("truncate -s 32G " + image + " && mkfs.ext4 -q -m 20 -E " +
                         "lazy_itable_init=1,lazy_journal_init=1 " + image + " && mkdir " + mnt +
                         " && mount -o loop,noinit_itable " + image + " " + mnt +
                         " && fallocate -l 21G " + mnt + "/" + db("1") + " && echo 255 >" + mnt +
                         "/msgdb.idx && touch " + mnt + "/" + db("ff"))
                            .c_str()),
            0)
      << "needs mkfs.ext4 (package e2fsprogs) and a loop device";
  mounted_.push_back(mnt);
  struct statvfs stats {};
  ASSERT_EQ(statvfs(mnt.c_str(), &stats), 0);
  ASSERT_LT(stats.f_blocks - stats.f_bfree, stats.f_blocks * 80 / 100);  // written: below 80 %
  const double total = static_cast<double>(stats.f_blocks * 4096);
  const double used = static_cast<double>((stats.f_blocks - stats.f_bavail) * 4096) / total * 100.0;
  const auto target = static_cast<uint64_t>((used - 70.0) / 100.0 * total);
  ASSERT_GT(target, uint64_t{4} << 30);

  const Lines lines = run_tool({mnt}).out;
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[1].rfind("On Block Device '/dev/loop", 0), 0u) << lines[1];
  EXPECT_EQ(Lines(lines.begin() + 8, lines.end()),
            (Lines{"Trimming " + std::to_string(target) + " bytes", "Trimmed 22548578304 bytes"}));
  EXPECT_EQ(list_folder(mnt), (Lines{db("ff"), "lost+found", "msgdb.idx"}));
}

TEST(Command, BadArgumentsAreAnnouncedAndEndWell) {
  TempDir dir;
  const std::string gone = "stat: No such file or directory\nstatvfs: No such file or directory\n";
  const struct {
    Lines args;
    Lines out;
    std::string err;
  } cases[] = {
      // clang-format off
      {{""}, {"Watching ''", "On Block Device ''"}, gone},
      {{dir / "missing", "/proc"}, {"Watching '" + dir / "missing" + "'", "On Block Device ''"}, gone},
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
}

TEST_F(OnTmpfs, WithoutAnArgumentItWatchesMntData) {
  // Never the machine's own folder: an empty tmpfs covers it where it exists.
  if (fs::exists("/mnt/data")) mount_on("/mnt/data", kDevice, "tmpfs", "size=1m");
  const ToolRun run = run_tool({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.at(0), "Watching '/mnt/data'");
}

TEST_F(OnTmpfs, AFileSystemPast16TiBIsMeasuredWhole) {
  mount_on(dir / "big", kDevice, "tmpfs", "size=20t");  // 2^32 blocks of 4 KiB and more
  write_text(dir / "big/notes.txt", std::string(64 << 20, 'x'));
  // 64 MiB of 20 TiB
  const Lines lines = run_tool({dir / "big"}).out;
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(Lines(lines.begin() + 2, lines.begin() + 4),
            (Lines{"Used 0.000305176%", "Free 99.9997%"}));
}

}  // namespace
