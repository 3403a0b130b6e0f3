// The built command, run on real file systems made for each test in a private
// mount namespace: exact output, and exactly which files go.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "gtest/gtest.h"
#include "test_support.h"

namespace {

Lines concat(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// What a run on the tmpfs filled to 85 % prints after the device line: the
// shares, `index` (the index lines), the trim lines, then `end`.
Lines at_85(const Lines& index, const Lines& end) {
  return concat(concat(concat({"Used 85%", "Free 15%"}, index),
                       {"Time to Trim..", "Need to trim 15%", "Trimming 614400 bytes"}),
                end);
}
const Lines kReadFive = {"Reading log idx from file...", "Current index 5"};

// A share written the way the tool writes it.
std::string share(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// One folder on the tmpfs: its files, how full the file system is, and what
// a run must print (after the two announcement lines) and leave behind.
struct Scenario {
  const char* what;
  const char* index;                                   // content of msgdb.idx, or none
  std::vector<std::pair<std::string, uint64_t>> logs;  // name, pages
  uint64_t used_pages;
  bool read_only;
  Lines lines;
  Lines left;  // besides msgdb.idx and notes.txt
};

std::string db(const char* index) { return std::string(index) + ".movra.msg.db"; }
std::string journal(const char* index) { return db(index) + "-journal"; }

TEST_F(OnTmpfs, TrimsTheRightFilesInTheRightOrder) {
  const Scenario scenarios[] = {
      {"just below the trigger",
       "2\n",
       {{db("00000001"), 200}},
       799,
       false,
       {"Used 79.9%", "Free 20.1%", "Reading log idx from file...", "Current index 2",
        "Still got space.."},
       {db("00000001")}},
      {"exactly at the trigger",
       "2\n",
       {{db("00000001"), 200}, {db("00000002"), 10}},
       800,
       false,
       {"Used 80%", "Free 20%", "Reading log idx from file...", "Current index 2", "Time to Trim..",
        "Need to trim 10%", "Trimming 409600 bytes", "Trimmed 819200 bytes"},
       {db("00000002")}},
      {"newer first, then older, each by name, never the current index",
       "5\n",
       {{db("00000003"), 32},
        {journal("00000003"), 32},
        {db("00000005"), 32},
        {journal("00000005"), 32},
        {db("00000007"), 32},
        {journal("00000007"), 32},
        {db("00000008"), 32},
        {journal("00000008"), 32}},
       850,
       false,
       at_85(kReadFive, {"Trimmed 655360 bytes"}),
       {journal("00000003"), db("00000005"), journal("00000005")}},
      {"names sort by character code, and the newer ones alone suffice",
       "5\n",
       {{db("00000003"), 10}, {db("0000000a"), 160}, {db("0000000B"), 160}},
       850,
       false,
       at_85(kReadFive, {"Trimmed 655360 bytes"}),
       {db("00000003"), db("0000000a")}},
      {"without an index file only index 00000000 is kept",
       nullptr,
       {{db("00000000"), 100}, {db("00000001"), 100}, {journal("00000001"), 100}},
       850,
       false,
       at_85({"Current index 0"}, {"Trimmed 819200 bytes"}),
       {db("00000000")}},
      {"a read-only file system frees nothing",
       "5\n",
       {{db("00000003"), 100}, {db("00000007"), 100}},
       850,
       true,
       at_85(kReadFive, {"Trimmed 0 bytes"}),
       {db("00000003"), db("00000007")}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.what);
    for (const std::string& name : list_folder(dir.path())) std::filesystem::remove(dir / name);
    if (s.index != nullptr) write_text(dir / "msgdb.idx", s.index);
    for (const auto& [name, pages] : s.logs) write_pages(name, pages);
    fill_to(s.used_pages);
    if (s.read_only) remount(dir.path(), true);

    const ToolRun run = run_tool({dir.path()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(split_lines(run.out), concat(head(), s.lines));
    EXPECT_EQ(run.err, "");
    Lines left = s.left;
    if (s.index != nullptr) left.emplace_back("msgdb.idx");
    left.emplace_back("notes.txt");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(list_folder(dir.path()), left);
    if (s.read_only) remount(dir.path(), false);
  }
}

TEST_F(OnTmpfs, LeavesWhatIsNotALogFileOfTheFolder) {
  TempDir outside;  // on the file system below, which the tmpfs does not cover
  write_file(outside / "precious", 4096);
  std::filesystem::create_directory(dir / "msgdb.idx");
  std::filesystem::create_directory(dir / db("00000001"));
  std::filesystem::create_symlink(outside / "precious", dir / db("00000002"));
  write_pages(db("00000003"), 100);
  write_pages(journal("00000003"), 100);
  fill_to(850);

  const ToolRun run = run_tool({dir.path() + "/"});  // a trailing slash is kept and works
  EXPECT_EQ(run.status, 0);
  const uint64_t link = (outside / "precious").size();  // a link's size: the path it holds
  EXPECT_EQ(split_lines(run.out),
            concat({"Watching '" + dir.path() + "/'", head()[1]},
                   at_85({"Reading log idx from file...", "Current index 0"},
                         {"Trimmed " + std::to_string(200 * page_ + link) + " bytes"})));
  EXPECT_EQ(list_folder(dir.path()), (Lines{db("00000001"), "msgdb.idx", "notes.txt"}));
  EXPECT_EQ(list_folder(outside.path()), Lines{"precious"});
}

TEST_F(OnTmpfs, FolderThatIsAFileOrCannotBeRead) {
  write_pages(db("00000003"), 100);
  write_pages("plain", 1);
  fill_to(850);

  // Root passes every permission check, so the unreadable case runs as nobody.
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
  const ToolRun file = run_tool({dir / "plain"}, true);
  const ToolRun unreadable = run_tool({dir.path()}, true, 65534);

  EXPECT_EQ(file.status, 0);
  EXPECT_EQ(split_lines(file.out),
            concat({"Watching '" + (dir / "plain") + "'", head()[1]},
                   at_85({"Current index 0"}, {"opendir: Not a directory", "Trimmed 0 bytes"})));
  EXPECT_EQ(unreadable.status, 0);
  EXPECT_EQ(split_lines(unreadable.out),
            concat(head(), at_85({"stat: Permission denied", "Current index 0"},
                                 {"opendir: Permission denied", "Trimmed 0 bytes"})));
  EXPECT_EQ(list_folder(dir.path()), (Lines{db("00000003"), "notes.txt", "plain"}));
}

TEST_F(PrivateMounts, TheMountTableAsWritten) {
  TempDir dir;
  // /proc becomes an empty tmpfs that the test fills; /proc/self still leads
  // to a real process folder for the sanitizers and the emulator that need
  // one. The leak checker also wants /proc/<pid>, which can't be had.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(sanitizer ? sanitizer : "") + ":detect_leaks=0").c_str(), 1);
  TempDir real_proc;
  ASSERT_EQ(mount("proc", real_proc.path().c_str(), "proc", 0, nullptr), 0);
  mounted_.push_back(real_proc.path());
  mount_tmpfs("/proc", "size=1m");
  ASSERT_EQ(symlink((real_proc / "self").c_str(), "/proc/self"), 0);

  const struct {
    const char* table;  // nullptr: no mount table at all
    Lines lines;
  } cases[] = {
      {nullptr, {"Failed to open /proc/mounts", "On Block Device ''"}},
      // A one-field line is skipped; of two mounts of the folder's file
      // system the first listed wins; a mount point that isn't there is passed over.
      {"lonely\n/dev/gone /nowhere ext4 rw 0 0\nfirst @ tmpfs rw 0 0\nsecond @ tmpfs rw 0 0\n",
       {"On Block Device 'first'"}},
  };
  for (const auto& c : cases) {
    if (c.table != nullptr) {
      std::string table = c.table;
      for (size_t at; (at = table.find('@')) != std::string::npos;)
        table.replace(at, 1, dir.path());
      write_text("/proc/mounts", table);
    }
    const ToolRun run = run_tool({dir.path()}, true);
    const Lines lines = split_lines(run.out);
    EXPECT_EQ(run.status, 0);
    ASSERT_GT(lines.size(), c.lines.size()) << run.out;
    EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 1 + c.lines.size()), c.lines);
  }
}

TEST_F(OnTmpfs, AMountPointTheTableEscapesMatchesNothing) {
  const std::string spaced = dir / "with space";
  std::filesystem::create_directory(spaced);
  mount_tmpfs(spaced, "size=1m");
  const ToolRun run = run_tool({spaced});
  EXPECT_EQ(split_lines(run.out).at(1), "On Block Device ''");
}

TEST_F(PrivateMounts, Ext4OnALoopDeviceCountsReservedBlocksAsUsed) {
  TempDir work;
  const std::string image = work / "fs.img";
  const std::string mnt = work / "mnt";
  std::filesystem::create_directory(mnt);
  write_text(image, "");
  std::filesystem::resize_file(image, 64 << 20);
  if (std::system(("mkfs.ext4 -q -F -b 4096 -m 20 " + image + " >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "mkfs.ext4 is not available";
  }
  ASSERT_EQ(std::system(("mount -o loop " + image + " " + mnt).c_str()), 0);
  mounted_.push_back(mnt);

  write_text(mnt + "/msgdb.idx", "255\n");
  write_file(mnt + "/" + db("000000ff"), 1 << 20);
  struct statvfs stats {};
  for (int i = 0; i < 16; ++i) {
    char name[9];
    std::snprintf(name, sizeof name, "%08x", i);
    write_file(mnt + "/" + db(name), 2 << 20);
    sync();
    ASSERT_EQ(statvfs(mnt.c_str(), &stats), 0);
    if (stats.f_blocks - stats.f_bavail >= stats.f_blocks * 85 / 100) break;
  }
  const double blocks = static_cast<double>(stats.f_blocks);
  const double used = static_cast<double>(stats.f_blocks - stats.f_bavail) / blocks * 100.0;
  const double written = static_cast<double>(stats.f_blocks - stats.f_bfree) / blocks * 100.0;
  ASSERT_LT(written, 80.0);  // only the reserved blocks take it over the trigger
  const auto target = static_cast<uint64_t>((used - 70.0) / 100.0 * blocks * stats.f_frsize);

  const ToolRun run = run_tool({mnt});
  const Lines lines = split_lines(run.out);
  ASSERT_EQ(lines.size(), 10u) << run.out << run.err;
  EXPECT_EQ(lines[1].rfind("On Block Device '/dev/loop", 0), 0u) << lines[1];
  EXPECT_EQ(Lines(lines.begin() + 2, lines.begin() + 9),
            (Lines{"Used " + share(used) + "%",
                   "Free " + share(static_cast<double>(stats.f_bavail) / blocks * 100.0) + "%",
                   "Reading log idx from file...", "Current index 255", "Time to Trim..",
                   "Need to trim " + share(used - 70.0) + "%",
                   "Trimming " + std::to_string(target) + " bytes"}));
  // Whole 2 MiB files from the oldest on, just enough of them.
  const uint64_t files = (target + (2 << 20) - 1) / (2 << 20);
  EXPECT_EQ(lines[9], "Trimmed " + std::to_string(files * (2 << 20)) + " bytes");
  EXPECT_TRUE(std::filesystem::exists(mnt + "/" + db("000000ff")));
  EXPECT_FALSE(std::filesystem::exists(mnt + "/" + db("00000000")));
}

TEST(Command, BadArgumentsAreAnnouncedAndEndWell) {
  TempDir dir;
  const std::string missing = dir / "missing";
  const struct {
    Lines args;
    Lines out;
  } cases[] = {
      {{""},
       {"Watching ''", "stat: No such file or directory", "On Block Device ''",
        "statvfs: No such file or directory"}},
      {{missing, "/proc"},
       {"Watching '" + missing + "'", "stat: No such file or directory", "On Block Device ''",
        "statvfs: No such file or directory"}},
  };
  for (const auto& c : cases) {
    const ToolRun run = run_tool(c.args, true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(split_lines(run.out), c.out);
  }
}

TEST_F(PrivateMounts, WithoutAnArgumentItWatchesMntData) {
  // Never the machine's own folder: an empty tmpfs covers it where it exists.
  if (std::filesystem::exists("/mnt/data")) mount_tmpfs("/mnt/data", "size=1m");
  const ToolRun run = run_tool({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(split_lines(run.out).at(0), "Watching '/mnt/data'");
}

TEST(Command, AFileSystemWithNoBytesNeverTrims) {
  const ToolRun run = run_tool({"/proc/self"});  // the device of a folder below its mount point
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(split_lines(run.out),
            (Lines{"Watching '/proc/self'", "On Block Device 'proc'", "Used nan%", "Free nan%",
                   "Current index 0", "Still got space.."}));
}

TEST_F(OnTmpfs, ALogFilePast4GiBIsMeasuredAndRemoved) {
  write_text(dir / "msgdb.idx", "5\n");
  const uint64_t huge = (uint64_t{5} << 30) + 1;  // sparse: takes no pages
  write_text(dir / db("00000007"), "");
  std::filesystem::resize_file(dir / db("00000007"), huge);
  write_pages(db("00000008"), 10);
  fill_to(850);

  const Lines lines = split_lines(run_tool({dir.path()}).out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Trimmed " + std::to_string(huge) + " bytes");
  EXPECT_EQ(list_folder(dir.path()), (Lines{db("00000008"), "msgdb.idx", "notes.txt"}));
}

TEST_F(PrivateMounts, AFileSystemPast16TiBIsMeasuredWhole) {
  TempDir dir;
  mount_tmpfs(dir.path(), "size=20t");  // 2^32 blocks of 4 KiB and more
  write_file(dir / "notes.txt", 64 << 20);

  const Lines lines = split_lines(run_tool({dir.path()}).out);
  ASSERT_GE(lines.size(), 4u);
  // 64 MiB of 20 TiB
  EXPECT_EQ(lines[2], "Used 0.000305176%");
  EXPECT_EQ(lines[3], "Free 99.9997%");
}

}  // namespace
