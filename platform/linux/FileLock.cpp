// Locks are flock(2) locks: they belong to the open file and vanish with the
// last descriptor, so with the process. Creating a file and locking it are two
// steps; a file taken away in between is noticed by comparing the locked file
// with what stands at its path.
#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Text.h"
#include "platform/linux/PosixFiles.h"

namespace setup {
namespace {

using posix::CodeFromErrno;

// Takes the lock of a descriptor just opened at `path` and checks that the
// path still names it. 0 with the lock held; otherwise the descriptor is closed.
ErrorCode LockAndCheck(int fd, const std::string& path, FileHandle& handle) {
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    close(fd);
    return CodeFromErrno(error);
  }
  struct stat held, there;
  if (fstat(fd, &held) != 0 || lstat(path.c_str(), &there) != 0) {
    const int error = errno;
    close(fd);
    return error == ENOENT ? kErrorFileNotFound : CodeFromErrno(error);
  }
  if (held.st_dev != there.st_dev || held.st_ino != there.st_ino) {
    close(fd);
    return kErrorFileNotFound;
  }
  handle = fd;
  return kErrorSuccess;
}

bool IsTempSuffixCharacter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
}

}  // namespace

ErrorCode CreateLockedFile(const std::u16string& path, ScopedFileHandle& handle) {
  const std::string native = WideToMultiByte(path);
  const int fd = open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return CodeFromErrno(errno);
  FileHandle locked = kInvalidFileHandle;
  const ErrorCode code = LockAndCheck(fd, native, locked);
  if (code == 0) {
    handle.Reset(locked);
  } else if (code != kErrorSharingViolation && code != kErrorFileNotFound) {
    unlink(native.c_str());  // still ours: nobody else has it
  }
  return code;
}

ErrorCode CreateLockedTempFile(const std::u16string& directory, const std::u16string& prefix,
                               std::u16string& path, ScopedFileHandle& handle) {
  path.clear();
  if (directory.empty() || prefix.find(u'/') != std::u16string::npos) return kErrorInvalidParameter;
  const std::string base = WideToMultiByte(EnsureTrailingSeparator(directory)) + WideToMultiByte(prefix);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = base + "XXXXXX";
    // mkstemp makes the file exclusively, readable by the user alone.
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return CodeFromErrno(errno);
    FileHandle locked = kInvalidFileHandle;
    const ErrorCode code = LockAndCheck(fd, name, locked);
    if (code == kErrorSharingViolation || code == kErrorFileNotFound) continue;  // taken away at once
    if (code != 0) {
      unlink(name.c_str());
      return code;
    }
    handle.Reset(locked);
    path = MultiByteToWide(name);
    return kErrorSuccess;
  }
  return kErrorAlreadyExists;
}

bool IsLockedTempFileName(std::u16string_view name, std::u16string_view prefix) {
  if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) return false;
  for (char16_t c : name.substr(prefix.size())) {
    if (!IsTempSuffixCharacter(c)) return false;
  }
  return true;
}

ErrorCode OpenLockedFile(const std::u16string& path, ScopedFileHandle& handle) {
  const std::string native = WideToMultiByte(path);
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return CodeFromErrno(errno);
  FileHandle locked = kInvalidFileHandle;
  const ErrorCode code = LockAndCheck(fd, native, locked);
  if (code == 0) handle.Reset(locked);
  return code;
}

ErrorCode DeleteLockedFile(const std::u16string& path, ScopedFileHandle& handle) {
  ErrorCode code = kErrorSuccess;
  if (unlink(WideToMultiByte(path).c_str()) != 0 && errno != ENOENT) code = CodeFromErrno(errno);
  handle.Reset();
  return code;
}

bool IsOwnEntry(const std::u16string& path, EntryKind kind) {
  struct stat st;
  if (lstat(WideToMultiByte(path).c_str(), &st) != 0 || st.st_uid != geteuid()) return false;
  // The program makes its workspaces, journals and images private; one that
  // others may read or write was not made by it, or has been tampered with.
  if ((st.st_mode & 077) != 0) return false;
  return kind == EntryKind::Directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode) && st.st_nlink == 1;
}

}  // namespace setup
