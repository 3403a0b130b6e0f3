// The database writer shares the folder and takes no lock: while it appends to
// the current database and journal, and another process removes files, the
// command runs again and again on a folder above the trigger.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "gtest/gtest.h"
#include "test_support.h"

namespace {

const char kDatabase[] = "00000005.movra.msg.db";
const char kJournal[] = "00000005.movra.msg.db-journal";
constexpr uint32_t kMaxRecords = 20000;  // 180 KB per file at most

std::string record(uint32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x\n", number);
  return text;
}

// In a child process: appends numbered records to the current database and
// its journal until `stop` reaches its end, then reports how many went.
[[noreturn]] void write_until_stopped(const std::string& folder, int stop, int report) {
  const int database =
      open((folder + "/" + kDatabase).c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  const int journal = open((folder + "/" + kJournal).c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  uint32_t count = 0;
  pollfd stopped{stop, POLLIN, 0};
  while (database >= 0 && journal >= 0 && count < kMaxRecords && poll(&stopped, 1, 0) == 0) {
    const std::string line = record(count);
    if (write(database, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        write(journal, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      break;
    }
    ++count;
    usleep(200);
  }
  _exit(write(report, &count, sizeof count) == sizeof count ? 0 : 1);
}

// From a child process: once `first` is gone (the command has listed the
// folder and begun removing), removes `paths`. Returns the child's id.
pid_t remove_once_started(const std::string& first, const Lines& paths) {
  const pid_t child = fork();
  if (child == 0) {
    for (int wait = 0; wait < 100000 && access(first.c_str(), F_OK) == 0; ++wait) usleep(50);
    for (const std::string& path : paths) unlink(path.c_str());
    _exit(0);
  }
  return child;
}

}  // namespace

TEST_F(OnTmpfs, AWriterAndARemoverAtWorkLoseNothing) {
  write_text(dir / "msgdb.idx", "5\n");
  int stop[2];
  int report[2];
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(pipe(report), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    close(stop[1]);
    close(report[0]);
    write_until_stopped(dir.path(), stop[0], report[1]);
  }
  close(stop[0]);
  close(report[1]);

  uint32_t next = 6;  // newer than the current database: the first to go
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    while (used_pages() < 850) write_pages(record(next++).substr(0, 8) + ".movra.msg.db", 1);
    // In the order the command removes them: every database but the current one.
    Lines order;
    for (const std::string& name : list_folder(dir.path())) {
      if (name != kDatabase && name.size() == 21) order.push_back(dir / name);
    }
    ASSERT_GE(order.size(), 100u);
    // The 40th to 80th, in reverse, vanish after the listing and before their turn.
    const pid_t remover = remove_once_started(
        order.front(),
        Lines(order.rbegin() + (order.size() - 80), order.rbegin() + (order.size() - 40)));
    const ToolRun run = run_tool({dir.path()});
    ASSERT_EQ(waitpid(remover, nullptr, 0), remover);

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const Lines lines = split_lines(run.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("Trimming ", 0), 0u) << run.out;
    EXPECT_EQ(lines.back().rfind("Trimmed ", 0), 0u) << run.out;
    ASSERT_TRUE(std::filesystem::exists(dir / kDatabase));
    ASSERT_TRUE(std::filesystem::exists(dir / kJournal));
  }

  close(stop[1]);
  uint32_t count = 0;
  ASSERT_EQ(read(report[0], &count, sizeof count), static_cast<ssize_t>(sizeof count));
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_EQ(status, 0);
  std::string written;
  for (uint32_t number = 0; number < count; ++number) written += record(number);
  EXPECT_GT(count, 0u);
  EXPECT_EQ(read_text(dir / kDatabase), written);
  EXPECT_EQ(read_text(dir / kJournal), written);
}
