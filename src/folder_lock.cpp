// The lock that runs on one folder take turns by: what it promises, and what
// an account that may write the folder can still do to it, is the manual's
// LOCKING.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "folder_data.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a run waits for a lock file it means to replace: another run that
// replaces it holds it for microseconds, a run of its owner for as long as it
// trims.
constexpr std::chrono::milliseconds kMoment{100};

// How often a run starts over on what the name leads to now: each time, a
// change was made under the name since the run looked. A name that keeps
// changing is not chased forever.
constexpr int kStartsOver = 8;

// Flags for every open of the lock file: never a link followed, never a wait
// on a FIFO, never a terminal taken on.
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Whether an account may own the lock file: root, the run's own account, or
// the folder's owner.
bool trusted_owner(uid_t owner, const struct stat& folder, uid_t me) {
  return owner == 0 || owner == me || owner == folder.st_uid;
}

// Returns kWithout, leaving in `lock` why, to be said if the run goes on to
// remove files: nothing where it can't remove any anyway (a read-only mount,
// a folder it may not write or search) or can't lock at all (NFS without
// locks).
FolderData::LockOutcome without(FolderData::Lock& lock, int error) {
  lock.unsaid = error == EROFS || error == EACCES || error == ENOLCK ? 0 : error;
  return FolderData::LockOutcome::kWithout;
}

// Locks `fd` exclusively, trying every 10 ms until `until`; false, with errno
// set (EWOULDBLOCK when another holds it), when that can't be done.
bool take(int fd, Clock::time_point until) {
  int locked = flock(fd, LOCK_EX | LOCK_NB);
  while (locked != 0 && errno == EWOULDBLOCK && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    locked = flock(fd, LOCK_EX | LOCK_NB);
  }
  return locked == 0;
}

}  // namespace

FolderData::LockVerdict FolderData::judge_lock_file(const struct stat& lock,
                                                    const struct stat& folder, uid_t me) {
  if (!S_ISREG(lock.st_mode)) return LockVerdict::kRemove;
  // The owner first: another account's file goes whatever its links and bits.
  // Accounts that could write the folder when the file was made may have lost
  // that since, and a folder with the sticky bit lets anyone make files.
  if (!trusted_owner(lock.st_uid, folder, me)) return LockVerdict::kReplace;
  // A trusted owner's file that others could open, or that has another name,
  // stays as it is: a file system that shows every file with the mount's
  // mode can't keep one private, and the owner may mean the extra name.
  return lock.st_nlink == 1 && (lock.st_mode & 077) == 0 ? LockVerdict::kUse : LockVerdict::kLeave;
}

FolderData::LockOutcome FolderData::lock_folder(std::chrono::milliseconds wait, Lock& lock) {
  // Without the folder the run measures nothing either.
  if (dir_ < 0) return LockOutcome::kWithout;
  struct stat folder_status {};
  if (fstat(dir_, &folder_status) != 0) return without(lock, errno);
  const uid_t me = geteuid();
  const auto give_up = Clock::now() + wait;
  for (int start = 0; start < kStartsOver; ++start) {
    // Only a run that has waited starts over this late: on a lock file that
    // replaced the one it waited for.
    if (start > 0 && Clock::now() >= give_up) return LockOutcome::kBusy;
    // What is under the name is judged before it is opened, so that a file
    // the run would refuse is never opened with O_CREAT, which the kernel's
    // protection of files in sticky folders may forbid even to root.
    struct stat named {};
    int fd = -1;
    const bool made = fstatat(dir_, kLockName, &named, AT_SYMLINK_NOFOLLOW) != 0;
    if (made) {
      if (errno != ENOENT) return without(lock, errno);
      // Read-write: NFS makes an flock a POSIX lock, which needs a writable file.
      fd = openat(dir_, kLockName, O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0600);
      if (fd < 0 && errno == EEXIST) continue;  // made by another meanwhile: judge it
      if (fd < 0) return without(lock, errno);
    } else {
      const LockVerdict verdict = judge_lock_file(named, folder_status, me);
      if (verdict == LockVerdict::kReplace || verdict == LockVerdict::kRemove) {
        if (clear_lock_name(named)) continue;
        // Another account's file that stays is said at once, as it always was.
        if (trusted_owner(named.st_uid, folder_status, me)) return without(lock, errno);
        report(kLockName);
        return LockOutcome::kWithout;
      }
      fd = openat(dir_, kLockName, O_RDWR | kOpenFlags);
      // Removed, or a link put there, since the look: judge what is there now.
      if (fd < 0 && (errno == ENOENT || errno == ELOOP)) continue;
      // A lock file of root's for a run of another account is worth a line,
      // unlike a folder it may not write: that account may remove files.
      if (fd < 0) {
        lock.unsaid = errno == EROFS ? 0 : errno;
        return LockOutcome::kWithout;
      }
    }
    // Judged from the descriptor: it is what the run opened, whatever the
    // name led to when it looked.
    struct stat status {};
    const bool looked = fstat(fd, &status) == 0;
    const LockVerdict verdict =
        looked ? judge_lock_file(status, folder_status, me) : LockVerdict::kRemove;
    if (verdict != LockVerdict::kUse) {
      close(fd);
      // A trusted owner's file that others could open or that has another
      // name, and the run's own new file on a file system that can't keep
      // it private (vfat, NFS that makes root nobody): no lock there, and
      // nothing to say.
      if (made || verdict == LockVerdict::kLeave) return LockOutcome::kWithout;
      continue;  // the next look judges, and clears, what is there now
    }
    if (!take(fd, give_up)) {
      const int error = errno;
      close(fd);
      return error == EWOULDBLOCK ? LockOutcome::kBusy : without(lock, error);
    }
    // A lock file removed or replaced while another run held it is not the
    // one the next run finds: start over on what the name leads to now.
    if (fstatat(dir_, kLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(named, status)) {
      lock.file.fd = fd;
      lock.status = status;
      return LockOutcome::kHeld;
    }
    close(fd);
  }
  // A name that kept changing under the run, as when another account puts
  // something there again and again: said, as another account's held file is.
  errno = EAGAIN;
  report(kLockName);
  return LockOutcome::kWithout;
}

bool FolderData::may_remove(const Lock& lock) const {
  if (lock.file.fd < 0) {
    if (lock.unsaid != 0) {
      errno = lock.unsaid;
      report(kLockName);
    }
    return true;
  }
  // Something removed or replaced the lock file while the run held it: the
  // next run takes another, and may be trimming now.
  struct stat named {};
  if (fstatat(dir_, kLockName, &named, AT_SYMLINK_NOFOLLOW) == 0) {
    if (same_file(named, lock.status)) return true;
    errno = ESTALE;
  }
  report(kLockName);
  return false;
}

bool FolderData::clear_lock_name(const struct stat& found) {
  // No run ever locks through what is not a regular file, so nothing is held
  // by it: it goes by name. A folder goes only when empty.
  if (!S_ISREG(found.st_mode)) {
    return unlinkat(dir_, kLockName, S_ISDIR(found.st_mode) ? AT_REMOVEDIR : 0) == 0 ||
           errno == ENOENT;
  }
  // A regular file may be another run's lock: it goes only while this run
  // holds it, and only if the name still leads to it. A run that waited on it
  // meanwhile finds, once it has it, that the name leads elsewhere.
  const Closer fd{openat(dir_, kLockName, O_RDONLY | kOpenFlags)};
  if (fd.fd < 0) return errno == ENOENT;
  struct stat status {};
  if (fstat(fd.fd, &status) != 0) return false;
  // Replaced since the look: start over on what is there now.
  if (!same_file(status, found)) return true;
  if (!take(fd.fd, Clock::now() + kMoment)) return false;
  struct stat named {};
  return fstatat(dir_, kLockName, &named, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(named, status) ||
         unlinkat(dir_, kLockName, 0) == 0 || errno == ENOENT;
}
