// Log catalogue: which files are log databases, their indices, and the index file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>

#include "folder_data.h"

namespace {

// What follows the digits in every log file name, and then in a journal's.
constexpr std::string_view kMiddle = ".movra.msg.db";
constexpr std::string_view kJournal = "-journal";

}  // namespace

static_assert(sizeof(FolderData::LogFile) <= 16, "a listed name costs 16 bytes at most");

std::optional<std::vector<FolderData::LogFile>> FolderData::get_log_files() {
  // The folder as the run opened it, not its path again; "." opens it anew,
  // for reading.
  const int fd = openat(dir_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    report("opendir");
    if (fd >= 0) close(fd);
    return std::nullopt;
  }
  // The entry's type is not looked at; removal passes over what it can't
  // unlink. A listing that stops on an error is no listing: which names it
  // missed, and so the order of removal, is unknown. The list grows as it
  // must, never from the folder's size: a folder's size on ext4 only ever
  // grows, with every name it has ever held.
  std::vector<LogFile> files;
  LogFile file;
  const dirent* entry = nullptr;
  while ((errno = 0, entry = readdir(dir)) != nullptr) {
    if (match_log_file_name(entry->d_name, file)) files.push_back(file);
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    errno = error;
    report("readdir");
    return std::nullopt;
  }
  return files;
}

std::array<char, FolderData::LogFile::kNameSize> FolderData::LogFile::name() const {
  std::array<char, kNameSize> name{};
  char* end = std::copy(digits.begin(), digits.end(), name.data());
  end = std::copy(kMiddle.begin(), kMiddle.end(), end);
  if (journal) std::copy(kJournal.begin(), kJournal.end(), end);
  return name;
}

// A database's name is the start of its journal's, so it sorts first.
bool FolderData::LogFile::operator<(const LogFile& other) const {
  const int order = std::memcmp(digits.data(), other.digits.data(), digits.size());
  return order < 0 || (order == 0 && !journal && other.journal);
}

namespace {

// Opens for reading the regular file whose status is `status`, which `path`
// (O_PATH) leads to: through /proc, that very file, whatever its name in
// `dir` leads to by now. Without /proc, by name, and only if the name still
// leads to that file (EAGAIN if not: the writer replaced it meanwhile).
// Returns -1, with errno set, on failure.
int reopen_regular(int path, const struct stat& status, int dir) {
  constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const std::string own = "/proc/self/fd/" + std::to_string(path);
  int fd = open(own.c_str(), flags);
  // The descriptor is open, so its entry is missing only where /proc is.
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = openat(dir, "msgdb.idx", flags);
  if (fd < 0) return -1;
  struct stat opened {};
  const bool looked = fstat(fd, &opened) == 0;
  if (looked && same_file(opened, status)) return fd;
  const int error = looked ? EAGAIN : errno;
  close(fd);
  errno = error;
  return -1;
}

}  // namespace

uint32_t FolderData::filename_to_index(const std::string& name) {
  LogFile file;
  return match_log_file_name(name, file) ? file.index : 0;
}

// A folder may hold a million names, each listed and then decoded: one fixed
// pattern, matched by hand in a single pass over the name.
bool FolderData::match_log_file_name(std::string_view name, LogFile& file) {
  constexpr size_t digits = std::tuple_size<decltype(file.digits)>::value;
  constexpr size_t database = digits + kMiddle.size();
  if (name.size() != database && name.size() != database + kJournal.size()) return false;
  if (name.substr(digits, kMiddle.size()) != kMiddle) return false;
  if (name.size() != database && name.substr(database) != kJournal) return false;
  uint32_t value = 0;
  for (const char c : name.substr(0, digits)) {
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  std::copy_n(name.begin(), digits, file.digits.begin());
  file.index = value;
  file.journal = name.size() != database;
  return true;
}

std::optional<uint32_t> FolderData::read_index_file() {
  uint32_t index = 0;
  const char* call = nullptr;
  const IndexRead read = read_index(index, call);
  // The line says that something is there, before what became of reading it.
  if (read != IndexRead::kAbsent && read != IndexRead::kUnknown) {
    std::cout << "Reading log idx from file..." << std::endl;
  }
  if (!tells_index(read)) {
    report(call);
    return std::nullopt;
  }
  return index;
}

bool FolderData::tells_index(IndexRead read) {
  return read != IndexRead::kUnreadable && read != IndexRead::kUnknown;
}

FolderData::IndexRead FolderData::read_index(uint32_t& index, const char*& call) {
  // The name is followed through links, as the writer may publish the index
  // that way, but only looked up: O_PATH reaches no driver and waits on no
  // FIFO. Absence is normal and silent. Anything else (say, a folder that
  // may not be searched) leaves the index unknown.
  const Closer path{openat(dir_, "msgdb.idx", O_PATH | O_CLOEXEC)};
  if (path.fd < 0 && (errno == ENOENT || errno == ENOTDIR)) return IndexRead::kAbsent;
  struct stat status {};
  if (path.fd < 0 || fstat(path.fd, &status) != 0) {
    call = "stat";
    return IndexRead::kUnknown;
  }
  // Only a regular file holds an index. Anything else is never opened: it is
  // what read would refuse, a folder (EISDIR), or an object unsuitable for
  // reading (EINVAL).
  if (!S_ISREG(status.st_mode)) {
    errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    call = "read";
    return IndexRead::kUnreadable;
  }
  // Once the file is known to exist, any failure to open it is one to read
  // it, even its absence: the writer may be replacing it.
  const Closer fd{reopen_regular(path.fd, status, dir_)};
  if (fd.fd < 0) {
    call = "open";
    return IndexRead::kUnreadable;
  }
  // Decimal digits after optional whitespace; whatever follows is ignored. A
  // sign, or a number past the 32-bit range, counts as no number. Reading
  // stops at the first byte that decides, or at a bound no writer reaches:
  // a number not ended by then is no index the run can know.
  constexpr size_t kBound = 4096;
  uint64_t value = 0;
  bool digits = false;
  bool decided = false;
  ssize_t got = 0;
  char buffer[256];
  for (size_t total = 0;
       !decided && total < kBound && (got = read(fd.fd, buffer, sizeof buffer)) > 0;
       total += static_cast<size_t>(got)) {
    for (ssize_t i = 0; i < got && !decided; ++i) {
      const char c = buffer[i];
      if (c >= '0' && c <= '9') {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        digits = value <= std::numeric_limits<uint32_t>::max();
        decided = !digits;
      } else {
        decided = digits || std::isspace(static_cast<unsigned char>(c)) == 0;
      }
    }
  }
  // A read that failed, or the bound reached undecided.
  if (got != 0 && !decided) {
    if (got > 0) errno = EFBIG;
    call = "read";
    return IndexRead::kUnreadable;
  }
  if (!digits) return IndexRead::kNoNumber;
  index = static_cast<uint32_t>(value);
  return IndexRead::kNumber;
}
