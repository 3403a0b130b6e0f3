/* The floor for a trim: lists the folder, as any trimmer must, and removes
 * exactly the files named in LIST (one per line), with nothing else.
 * Usage: floor FOLDER LIST */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor FOLDER LIST\n");
    return 2;
  }
  DIR* dir = opendir(argv[1]);
  FILE* list = fopen(argv[2], "r");
  if (dir == NULL || list == NULL) {
    perror("floor");
    return 1;
  }
  long entries = 0;
  while (readdir(dir) != NULL) ++entries;
  char name[256];
  while (fgets(name, sizeof name, list) != NULL) {
    name[strcspn(name, "\n")] = '\0';
    unlinkat(dirfd(dir), name, 0);
  }
  fclose(list);
  closedir(dir);
  return entries > 0 ? 0 : 1;
}
