#pragma once
// File operations with the contract of their Win32 namesakes; each platform
// supplies its own half. Paths are wide text; results are Windows-numbered codes.
#include <cstdint>
#include <string>

#include "platform/ErrorCodes.h"
#include "platform/Path.h"

namespace setup {

// 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;
inline constexpr FileTime kFileTimeUnixEpoch = 116444736000000000ULL;

// A descriptor on POSIX, a HANDLE on Windows; -1 is the invalid handle.
using FileHandle = intptr_t;
inline constexpr FileHandle kInvalidFileHandle = -1;

inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kFileShareRead = 1;
inline constexpr uint32_t kCreateNew = 1;
inline constexpr uint32_t kCreateAlways = 2;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kOpenAlways = 4;
inline constexpr uint32_t kTruncateExisting = 5;

inline constexpr int kSeekBegin = 0;
inline constexpr int kSeekCurrent = 1;
inline constexpr int kSeekEnd = 2;

inline constexpr uint32_t kFileAttributeDirectory = 16;
inline constexpr uint32_t kSizeLimit32 = 4294967295u;

// Who may use a new directory: everyone the system's defaults allow, or only
// this user (for private directories in shared places such as /tmp).
enum class DirectoryAccess { Shared, Private };

// Handle operations. Each sets the last error code to 0 on entry (Close aside)
// and to its failure code when it fails.
ErrorCode OpenFileHandle(const std::u16string& path, uint32_t access, uint32_t shareMode,
                         uint32_t creationDisposition, FileHandle& handle);
ErrorCode ReadFromFile(FileHandle handle, void* buffer, uint32_t count, uint32_t& bytesRead);
// Reads up to `count` bytes at `offset`, fewer only at the end of the file,
// in one call where the system allows; the file position is not relied on.
ErrorCode ReadFromFileAt(FileHandle handle, uint64_t offset, void* buffer, uint32_t count, uint32_t& bytesRead);
ErrorCode WriteToFile(FileHandle handle, const void* buffer, uint32_t count, uint32_t& bytesWritten);
// Writes all `count` bytes at `offset`; the file position is not relied on.
// Reads at other offsets may go on meanwhile on another thread.
ErrorCode WriteToFileAt(FileHandle handle, uint64_t offset, const void* buffer, uint32_t count,
                        uint32_t& bytesWritten);
// The new position, or -1 on failure.
int64_t SeekFile(FileHandle handle, int64_t offset, int method);
ErrorCode TruncateFileHere(FileHandle handle);
ErrorCode GetFileTimes(FileHandle handle, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite);
ErrorCode SetFileTimes(FileHandle handle, const FileTime* creation, const FileTime* lastAccess,
                       const FileTime* lastWrite);
// Writes the file's data to stable storage.
ErrorCode FlushFileHandle(FileHandle handle);
void CloseFileHandle(FileHandle handle);
ErrorCode GetLastErrorCode();

// Owns a handle and closes it when it goes out of scope.
class ScopedFileHandle {
 public:
  ScopedFileHandle() = default;
  explicit ScopedFileHandle(FileHandle handle) : handle_(handle) {}
  ~ScopedFileHandle() { Reset(); }
  ScopedFileHandle(ScopedFileHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedFileHandle& operator=(ScopedFileHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedFileHandle(const ScopedFileHandle&) = delete;
  ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;

  FileHandle Get() const { return handle_; }
  FileHandle* Out() { Reset(); return &handle_; }
  bool Valid() const { return handle_ != kInvalidFileHandle; }
  FileHandle Release() { FileHandle h = handle_; handle_ = kInvalidFileHandle; return h; }
  void Reset(FileHandle handle = kInvalidFileHandle) {
    if (handle_ != kInvalidFileHandle) CloseFileHandle(handle_);
    handle_ = handle;
  }

 private:
  FileHandle handle_ = kInvalidFileHandle;
};

// File-system operations.
ErrorCode GetTempDirectory(std::u16string& path);  // ends with a separator
// Creates a new empty file private to the user, named prefix + a unique suffix,
// inside `directory`. Fails without creating anything when the directory is missing.
ErrorCode CreateTempFile(const std::u16string& directory, const std::u16string& prefix,
                         std::u16string& path);
// Whether a new file can be created in `directory`: 0 when one could. The
// probe leaves nothing behind, even when the process dies meanwhile (an
// unnamed file on Linux, one deleted with its last handle on Windows).
ErrorCode ProbeNewFile(const std::u16string& directory, const std::u16string& prefix);
// Creates the directory and any missing parents. A directory that is already
// there is success: 0 on Linux, 183 on Windows, as the system reports it.
ErrorCode CreateDirectoryTree(const std::u16string& path, DirectoryAccess access = DirectoryAccess::Shared);
// Creates one directory that must not exist yet: 183 when something already
// stands at the path.
ErrorCode CreateNewDirectory(const std::u16string& path, DirectoryAccess access);
// Whether FlushFileSystem can make a whole file system durable for this user.
// Where it cannot (Windows, without administrator rights), writers flush each
// file they must keep instead.
bool FileSystemFlushAvailable();
// Writes every file of the file system that holds `path` to stable storage.
ErrorCode FlushFileSystem(const std::u16string& path);
// Whether the existing paths `a` and `b` lie on one file system (one volume).
// True when either cannot be looked at.
bool SameFileSystem(const std::u16string& a, const std::u16string& b);
// Moves a file, replacing an existing target; across file systems the data,
// permission bits and times are copied and the source removed.
ErrorCode MoveFileTo(const std::u16string& from, const std::u16string& to);
// 0 when the path is gone afterwards (missing included), the failure code otherwise.
ErrorCode RemoveFile(const std::u16string& path);
ErrorCode RemoveDirectoryTree(const std::u16string& path);  // never follows symbolic links
struct PathInfo {
  bool directory = false;
  FileTime lastWriteTime = 0;
};
// What stands at `path`, symbolic links followed: 0 and its type and time (a
// link to nothing counts as a file of time 0); 2 or 3 when nothing is there;
// another code when it cannot be looked at.
ErrorCode QueryPathInfo(const std::u16string& path, PathInfo& info);
ErrorCode QueryFileSize(const std::u16string& path, uint32_t& size);  // held at 4294967295
// Bytes available to the calling user in the temporary directory.
ErrorCode QueryFreeSpace(uint64_t& bytes);
// The same for the file system that holds the existing directory `directory`.
ErrorCode QueryFreeSpaceAt(const std::u16string& directory, uint64_t& bytes);

// Conversions between FileTime and POSIX time, at full precision.
FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
void FileTimeToUnix(FileTime time, int64_t& seconds, int64_t& nanoseconds);

}  // namespace setup
