#include "platform/linux/PosixFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace setup::posix {
namespace {


std::string TemporaryName(const std::string& toName, int attempt) {
  return toName + ".mv" + std::to_string(getpid()) + "_" + std::to_string(attempt);
}

}  // namespace

ErrorCode CodeFromErrno(int error) {
  switch (error) {
    case 0: return kErrorInvalidParameter;  // failed without saying why
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;  // Windows says "access denied" for a read-only medium too
    case EIO: return kErrorReadFault;       // the device failed, whichever way the data went
    case EEXIST: return kErrorAlreadyExists;
    case EWOULDBLOCK: return kErrorSharingViolation;
    case ENOTEMPTY: return kErrorDirectoryNotEmpty;
    case ELOOP: return kErrorLinkInPath;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    default: return kErrorInvalidParameter;
  }
}

int CopyEntry(int fromDir, const char* fromName, int toDir, const std::string& toName) {
  struct stat st;
  if (fstatat(fromDir, fromName, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  std::string temp;
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> text(static_cast<size_t>(st.st_size) + 1);
    const ssize_t n = readlinkat(fromDir, fromName, text.data(), text.size());
    if (n < 0) return errno;
    if (static_cast<size_t>(n) >= text.size()) return EIO;  // changed under us
    text[n] = '\0';
    for (int attempt = 0;; ++attempt) {
      temp = TemporaryName(toName, attempt);
      if (symlinkat(text.data(), toDir, temp.c_str()) == 0) break;
      if (errno != EEXIST || attempt > 1000) return errno;
    }
  } else if (S_ISREG(st.st_mode)) {
    Descriptor in(RetryOnInterrupt([&] { return openat(fromDir, fromName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!in.Valid()) return errno;
    Descriptor out;
    for (int attempt = 0;; ++attempt) {
      temp = TemporaryName(toName, attempt);
      out.Reset(openat(toDir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out.Valid()) break;
      if (errno != EEXIST || attempt > 1000) return errno;
    }
    int error = 0;
    // Small enough to come from the heap unzeroed: a rollback across file
    // systems copies every replaced file, often thousands of small ones.
    constexpr size_t kPiece = 64 * 1024;
    std::unique_ptr<char[]> buffer(new char[kPiece]);
    for (;;) {
      const ssize_t n = RetryOnInterrupt([&] { return read(in.Get(), buffer.get(), kPiece); });
      if (n < 0) { error = errno; break; }
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = RetryOnInterrupt([&] { return write(out.Get(), buffer.get() + done, n - done); });
        if (w <= 0) { error = w < 0 ? errno : ENOSPC; break; }
        done += w;
      }
      if (error) break;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!error && fchmod(out.Get(), st.st_mode & 07777) != 0) error = errno;
    if (!error && futimens(out.Get(), times) != 0) error = errno;
    // The source goes away next, so the copy must be on disk first.
    if (!error && fsync(out.Get()) != 0) error = errno;
    if (const int closed = out.Close(); closed && !error) error = closed;
    if (error) {
      unlinkat(toDir, temp.c_str(), 0);
      return error;
    }
  } else {
    return EXDEV;
  }
  if (renameat(toDir, temp.c_str(), toDir, toName.c_str()) != 0) {
    const int error = errno;
    unlinkat(toDir, temp.c_str(), 0);
    return error;
  }
  return 0;
}

}  // namespace setup::posix
