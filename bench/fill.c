/* Fills a benchmark folder: COUNT one-page log databases (half of them
 * journals), the index file naming an index in the lower quarter, and a file
 * that is not a log, so that USED_PERCENT of the file system is in use.
 * Usage: fill FOLDER COUNT USED_PERCENT */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

static void write_file(int dir, const char* name, const char* data, size_t size) {
  int fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data, size) != (ssize_t)size || close(fd) != 0) {
    perror(name);
    exit(1);
  }
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: fill FOLDER COUNT USED_PERCENT\n");
    return 2;
  }
  const long count = atol(argv[2]);
  const double percent = atof(argv[3]);
  int dir = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (dir < 0) {
    perror(argv[1]);
    return 1;
  }
  static char page[4096];
  char name[64];
  for (long index = 1; index <= count / 2; ++index) {
    snprintf(name, sizeof name, "%08lx.movra.msg.db", index);
    write_file(dir, name, page, sizeof page);
    snprintf(name, sizeof name, "%08lx.movra.msg.db-journal", index);
    write_file(dir, name, page, sizeof page);
  }
  snprintf(name, sizeof name, "%ld\n", count / 8);
  write_file(dir, "msgdb.idx", name, strlen(name));

  struct statvfs fs;
  if (fstatvfs(dir, &fs) != 0) {
    perror("fstatvfs");
    return 1;
  }
  const double wanted = fs.f_blocks * percent / 100.0;
  const double used = (double)(fs.f_blocks - fs.f_bavail);
  int filler = openat(dir, "notes.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (double pages = used; pages + 1 <= wanted; ++pages) {
    if (write(filler, page, sizeof page) != (ssize_t)sizeof page) {
      perror("notes.txt");
      return 1;
    }
  }
  close(filler);
  return 0;
}
