/* The floor for a trim: lists the folder, as any trimmer must, and removes
 * exactly the files named in LIST (one per line), with nothing else. With
 * --stat it also queries each file's status first, as a trimmer that counts
 * the bytes it frees must.
 * Usage: floor [--stat] FOLDER LIST */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const int with_stat = argc == 4 && strcmp(argv[1], "--stat") == 0;
  if (argc != 3 + with_stat) {
    fprintf(stderr, "usage: floor [--stat] FOLDER LIST\n");
    return 2;
  }
  DIR* dir = opendir(argv[1 + with_stat]);
  FILE* list = fopen(argv[2 + with_stat], "r");
  if (dir == NULL || list == NULL) {
    perror("floor");
    return 1;
  }
  long entries = 0;
  while (readdir(dir) != NULL) ++entries;
  char name[256];
  struct stat status;
  while (fgets(name, sizeof name, list) != NULL) {
    name[strcspn(name, "\n")] = '\0';
    if (with_stat) fstatat(dirfd(dir), name, &status, AT_SYMLINK_NOFOLLOW);
    unlinkat(dirfd(dir), name, 0);
  }
  fclose(list);
  closedir(dir);
  return entries > 0 ? 0 : 1;
}
