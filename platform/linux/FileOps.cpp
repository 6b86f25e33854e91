// The file layer on Linux: POSIX calls only, no shell and no external tools,
// with errno turned into the Windows-numbered codes the core expects.
#include "platform/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Text.h"
#include "platform/linux/PosixFiles.h"

namespace setup {
namespace {

using posix::CodeFromErrno;
using posix::RetryOnInterrupt;

// One value per thread, as Windows keeps its own: the kit's image may be
// written on one thread while the worker closes a file on another, and
// neither may see the other's failure, or lose its own to the other's
// success.
thread_local ErrorCode gLastError = 0;

ErrorCode Fail(ErrorCode code) {
  gLastError = code;
  return code;
}

ErrorCode FailErrno() { return Fail(CodeFromErrno(errno)); }

bool ValidHandle(FileHandle handle) { return handle >= 0 && handle <= INT32_MAX; }

int Fd(FileHandle handle) { return static_cast<int>(handle); }

mode_t ModeFor(DirectoryAccess access) { return access == DirectoryAccess::Private ? 0700 : 0777; }

std::string Native(const std::u16string& path) { return WideToMultiByte(path); }

// Removes the entry `name` of the open directory `parent`, descending into
// directories without ever following a symbolic link. Returns the first errno.
int RemoveAt(int parent, const char* name) {
  struct stat st;
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) {
    return unlinkat(parent, name, 0) == 0 || errno == ENOENT ? 0 : errno;
  }
  int error = 0;
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    error = errno;
    close(fd);
    return error;
  }
  // Collect the names first: removing while reading may skip entries.
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  if (errno != 0) error = errno;
  for (const std::string& child : names) {
    const int e = RemoveAt(dirfd(dir), child.c_str());
    if (!error) error = e;
  }
  closedir(dir);
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT && !error) error = errno;
  return error;
}

}  // namespace

ErrorCode OpenFileHandle(const std::u16string& path, uint32_t access, uint32_t /*shareMode*/,
                         uint32_t creationDisposition, FileHandle& handle) {
  gLastError = 0;
  handle = kInvalidFileHandle;
  int flags = O_RDONLY;
  if (access >= (kGenericRead | kGenericWrite)) {
    flags = O_RDWR;
  } else if (access & kGenericWrite) {
    flags = O_WRONLY;
  }
  // CREATE_ALWAYS does not cut the file: the writer truncates after writing.
  if (creationDisposition == kCreateAlways) flags |= O_CREAT;
  if (creationDisposition == kCreateNew) flags |= O_CREAT | O_EXCL;
  if (creationDisposition == kTruncateExisting) flags |= O_TRUNC;
  const std::string native = Native(path);
  const int fd = RetryOnInterrupt([&] { return open(native.c_str(), flags | O_CLOEXEC, 0660); });
  if (fd < 0) return errno == EEXIST ? Fail(kErrorFileExists) : FailErrno();
  handle = fd;
  return kErrorSuccess;
}

ErrorCode ReadFromFile(FileHandle handle, void* buffer, uint32_t count, uint32_t& bytesRead) {
  gLastError = 0;
  bytesRead = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  auto* out = static_cast<char*>(buffer);
  while (bytesRead < count) {
    const ssize_t n = RetryOnInterrupt([&] { return read(Fd(handle), out + bytesRead, count - bytesRead); });
    if (n < 0) return FailErrno();
    if (n == 0) break;
    bytesRead += static_cast<uint32_t>(n);
  }
  return kErrorSuccess;
}

ErrorCode ReadFromFileAt(FileHandle handle, uint64_t offset, void* buffer, uint32_t count, uint32_t& bytesRead) {
  gLastError = 0;
  bytesRead = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  auto* out = static_cast<char*>(buffer);
  while (bytesRead < count) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return pread(Fd(handle), out + bytesRead, count - bytesRead, off_t(offset + bytesRead)); });
    if (n < 0) return FailErrno();
    if (n == 0) break;
    bytesRead += static_cast<uint32_t>(n);
  }
  return kErrorSuccess;
}

ErrorCode WriteToFileAt(FileHandle handle, uint64_t offset, const void* buffer, uint32_t count,
                        uint32_t& bytesWritten) {
  gLastError = 0;
  bytesWritten = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  const auto* in = static_cast<const char*>(buffer);
  while (bytesWritten < count) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return pwrite(Fd(handle), in + bytesWritten, count - bytesWritten, off_t(offset + bytesWritten)); });
    if (n < 0) return FailErrno();
    // A regular file takes no bytes only when the device is full.
    if (n == 0) return Fail(kErrorDiskFull);
    bytesWritten += static_cast<uint32_t>(n);
  }
  return kErrorSuccess;
}

ErrorCode WriteToFile(FileHandle handle, const void* buffer, uint32_t count, uint32_t& bytesWritten) {
  gLastError = 0;
  bytesWritten = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  const ssize_t n = RetryOnInterrupt([&] { return write(Fd(handle), buffer, count); });
  if (n < 0) return FailErrno();
  bytesWritten = static_cast<uint32_t>(n);
  // A regular file takes fewer bytes than asked only when the device is full.
  if (bytesWritten < count) return Fail(kErrorDiskFull);
  return kErrorSuccess;
}

int64_t SeekFile(FileHandle handle, int64_t offset, int method) {
  gLastError = 0;
  if (!ValidHandle(handle)) {
    Fail(kErrorInvalidHandle);
    return -1;
  }
  const int whence = method == kSeekCurrent ? SEEK_CUR : method == kSeekEnd ? SEEK_END : SEEK_SET;
  const off_t position = lseek(Fd(handle), offset, whence);
  if (position < 0) FailErrno();
  return position;
}

ErrorCode TruncateFileHere(FileHandle handle) {
  gLastError = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  const off_t position = lseek(Fd(handle), 0, SEEK_CUR);
  if (position < 0) return FailErrno();
  if (RetryOnInterrupt([&] { return ftruncate(Fd(handle), position); }) != 0) return FailErrno();
  return kErrorSuccess;
}

ErrorCode GetFileTimes(FileHandle handle, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) {
  gLastError = 0;
  struct stat st;
  if (!ValidHandle(handle) || fstat(Fd(handle), &st) != 0) return Fail(kErrorInvalidHandle);
  if (creation) *creation = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  if (lastAccess) *lastAccess = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  if (lastWrite) *lastWrite = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return kErrorSuccess;
}

ErrorCode SetFileTimes(FileHandle handle, const FileTime* /*creation*/, const FileTime* /*lastAccess*/,
                       const FileTime* lastWrite) {
  gLastError = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  if (!lastWrite) return kErrorSuccess;
  int64_t seconds, nanoseconds;
  FileTimeToUnix(*lastWrite, seconds, nanoseconds);
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = static_cast<long>(nanoseconds);
  times[1] = times[0];  // the access time follows the last-write time
  if (futimens(Fd(handle), times) != 0) return FailErrno();
  return kErrorSuccess;
}

ErrorCode FlushFileHandle(FileHandle handle) {
  gLastError = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  if (RetryOnInterrupt([&] { return fsync(Fd(handle)); }) != 0) return FailErrno();
  return kErrorSuccess;
}

void CloseFileHandle(FileHandle handle) {
  if (!ValidHandle(handle)) {
    Fail(kErrorInvalidHandle);
    return;
  }
  // Not retried on EINTR: the descriptor is released either way on Linux.
  if (close(Fd(handle)) != 0) FailErrno();
}

ErrorCode GetLastErrorCode() { return gLastError; }

ErrorCode GetTempDirectory(std::u16string& path) {
  std::string directory = "/tmp";
  const char* tmpdir = std::getenv("TMPDIR");
  struct stat st;
  if (tmpdir && *tmpdir && stat(tmpdir, &st) == 0 && S_ISDIR(st.st_mode)) directory = tmpdir;
  if (directory.back() != '/') directory.push_back('/');
  path = MultiByteToWide(directory);
  return kErrorSuccess;
}

ErrorCode CreateTempFile(const std::u16string& directory, const std::u16string& prefix, std::u16string& path) {
  path.clear();
  if (directory.empty() || prefix.find(u'/') != std::u16string::npos) return kErrorInvalidParameter;
  std::string name = Native(EnsureTrailingSeparator(directory)) + Native(prefix) + "XXXXXX";
  // mkstemp creates the file exclusively, private to the user, in exactly
  // this directory; it fails when the directory does not exist.
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return CodeFromErrno(errno);
  close(fd);
  path = MultiByteToWide(name);
  return kErrorSuccess;
}

ErrorCode ProbeNewFile(const std::u16string& directory, const std::u16string& prefix) {
  if (directory.empty()) return kErrorInvalidParameter;
  const std::string native = Native(directory);
  const int fd = RetryOnInterrupt([&] { return open(native.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); });
  if (fd >= 0) {
    close(fd);
    return kErrorSuccess;
  }
  // A file system without unnamed files takes a named probe, removed at once.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return CodeFromErrno(errno);
  std::u16string probe;
  if (const ErrorCode code = CreateTempFile(directory, prefix, probe)) return code;
  RemoveFile(probe);
  return kErrorSuccess;
}

ErrorCode CreateDirectoryTree(const std::u16string& path, DirectoryAccess access) {
  const mode_t mode = ModeFor(access);
  std::string native = Native(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return kErrorInvalidParameter;
  struct stat existing;
  if (stat(native.c_str(), &existing) == 0) {
    return S_ISDIR(existing.st_mode) ? kErrorSuccess : kErrorPathNotFound;
  }
  // Create each missing level in turn, from the top down.
  for (size_t end = native.find('/', 1);; end = native.find('/', end + 1)) {
    const std::string level = native.substr(0, end);
    if (mkdir(level.c_str(), mode) != 0) {
      const int error = errno;
      struct stat st;
      if (error != EEXIST && !(error == EACCES && stat(level.c_str(), &st) == 0)) {
        return CodeFromErrno(error);
      }
      if (stat(level.c_str(), &st) != 0) return CodeFromErrno(errno);
      if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
    }
    if (end == std::string::npos) break;
  }
  return kErrorSuccess;
}

ErrorCode CreateNewDirectory(const std::u16string& path, DirectoryAccess access) {
  if (mkdir(Native(path).c_str(), ModeFor(access)) == 0) return kErrorSuccess;
  return errno == EEXIST ? kErrorAlreadyExists : CodeFromErrno(errno);
}

bool FileSystemFlushAvailable() { return true; }

ErrorCode FlushFileSystem(const std::u16string& path) {
  const int fd = RetryOnInterrupt([&] { return open(Native(path).c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return CodeFromErrno(errno);
  const int result = syncfs(fd);
  const int error = errno;
  close(fd);
  return result == 0 ? kErrorSuccess : CodeFromErrno(error);
}

bool SameFileSystem(const std::u16string& a, const std::u16string& b) {
  struct stat first, second;
  if (stat(Native(a).c_str(), &first) != 0 || stat(Native(b).c_str(), &second) != 0) return true;
  return first.st_dev == second.st_dev;
}

ErrorCode MoveFileTo(const std::u16string& from, const std::u16string& to) {
  const std::string source = Native(from);
  const std::string target = Native(to);
  if (rename(source.c_str(), target.c_str()) == 0) return kErrorSuccess;
  if (errno != EXDEV) return CodeFromErrno(errno);
  // The copy half of a move across file systems; the source goes once the
  // copy is whole.
  int error = posix::CopyEntry(AT_FDCWD, source.c_str(), AT_FDCWD, target);
  if (!error && unlink(source.c_str()) != 0 && errno != ENOENT) error = errno;
  return error ? CodeFromErrno(error) : kErrorSuccess;
}

ErrorCode RemoveFile(const std::u16string& path) {
  if (unlink(Native(path).c_str()) == 0 || errno == ENOENT) return kErrorSuccess;
  return CodeFromErrno(errno);
}

ErrorCode RemoveDirectoryTree(const std::u16string& path) {
  std::string native = Native(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return kErrorInvalidParameter;
  const int error = RemoveAt(AT_FDCWD, native.c_str());
  return error ? CodeFromErrno(error) : kErrorSuccess;
}

ErrorCode QueryPathInfo(const std::u16string& path, PathInfo& info) {
  const std::string native = Native(path);
  struct stat st;
  // One call for what is usually there, a file or nothing; only a link
  // needs a second look at what it points to.
  if (lstat(native.c_str(), &st) != 0) return CodeFromErrno(errno);
  if (S_ISLNK(st.st_mode) && stat(native.c_str(), &st) != 0) {
    const int error = errno;
    // A link to nothing still stands there: it is something to move aside,
    // older than anything.
    if (error != ENOENT) return CodeFromErrno(error);
    info.directory = false;
    info.lastWriteTime = 0;
    return kErrorSuccess;
  }
  info.directory = S_ISDIR(st.st_mode);
  info.lastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return kErrorSuccess;
}

ErrorCode QueryFileSize(const std::u16string& path, uint32_t& size) {
  struct stat st;
  if (stat(Native(path).c_str(), &st) != 0) return kErrorFailure;
  size = st.st_size > static_cast<off_t>(kSizeLimit32) ? kSizeLimit32 : static_cast<uint32_t>(st.st_size);
  return kErrorSuccess;
}

ErrorCode QueryFreeSpace(uint64_t& bytes) {
  std::u16string directory;
  GetTempDirectory(directory);
  return QueryFreeSpaceAt(directory, bytes);
}

ErrorCode QueryFreeSpaceAt(const std::u16string& directory, uint64_t& bytes) {
  struct statvfs fs;
  if (statvfs(Native(directory).c_str(), &fs) != 0) return CodeFromErrno(errno);
  // What this user may fill, not counting the blocks kept for root.
  bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return kErrorSuccess;
}

}  // namespace setup
