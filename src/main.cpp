// msgdb-trim: keeps a folder of message databases from filling its file system.
//
// Usage: msgdb-trim [FOLDER]   (FOLDER defaults to /mnt/data)
//
// Once 80 % or more of the folder's file system is used, removes log databases,
// never the current one, until usage should be back at 70 %. Always exits 0.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "folder_data.h"

// cppcheck-suppress constParameter ; the language fixes main's parameters
int main(int argc, char* argv[]) {
  // A reader of the output that goes away (a logger that died, `| head`)
  // must not cut a trim short: the lines are lost, the trim goes on. Ignoring
  // a signal that exists can't fail.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));

  // A run started with standard input, output or error closed would open
  // the folder or the lock file there, and write its lines into it:
  // /dev/null takes their place first, each at the lowest number free.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0) break;
  }

  std::string folder = "/mnt/data";
  if (argc > 1) folder = argv[1];

  FolderData data(folder);
  data.CheckAndTrim(70, 80);
  return 0;
}
