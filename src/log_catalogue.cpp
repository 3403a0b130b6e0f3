// Log catalogue: which files are log databases, their indices, and the index file.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <regex>

#include "folder_data.h"

std::vector<std::string> FolderData::get_log_files() {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    std::perror("opendir");
    return {};
  }
  // Compiled once per run: a folder may hold a hundred thousand names.
  static const std::regex listing(R"(^[0-9a-fA-F]{8}\.movra\.msg\.db(-journal)?$)");
  std::vector<std::string> names;
  // The entry's type is not looked at; removal passes over what it can't unlink.
  while (const dirent* entry = readdir(dir)) {
    if (std::regex_match(entry->d_name, listing)) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

uint32_t FolderData::filename_to_index(const std::string& name) {
  static const std::regex decoding(R"(^([0-9a-fA-F]{8})\.movra\.msg\.db(-journal)?$)");
  std::smatch match;
  if (!std::regex_match(name, match, decoding)) return 0;
  // Eight hexadecimal digits always fit in 32 bits.
  return static_cast<uint32_t>(std::strtoul(match.str(1).c_str(), nullptr, 16));
}

uint32_t FolderData::read_index_file() {
  const std::string path = folder + "/msgdb.idx";
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    // Absence is normal and silent; anything else (say, a folder that may not
    // be searched) is worth a line.
    if (errno != ENOENT && errno != ENOTDIR) std::perror("stat");
    return 0;
  }
  std::cout << "Reading log idx from file..." << std::endl;

  std::ifstream file(path);
  if (!file) return 0;
  // Decimal digits after optional whitespace; whatever follows is ignored. A
  // sign, or a number past the 32-bit range, counts as no number: index 0.
  file >> std::ws;
  uint64_t index = 0;
  for (int next = file.peek(); next >= '0' && next <= '9'; next = file.peek()) {
    index = index * 10 + static_cast<uint64_t>(next - '0');
    if (index > std::numeric_limits<uint32_t>::max()) return 0;
    file.get();
  }
  return static_cast<uint32_t>(index);
}
