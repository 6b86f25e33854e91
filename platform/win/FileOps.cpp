// The file layer on Windows: the Win32 calls themselves, with GetLastError as
// the code. What they do not do on their own (long paths, moves between
// drives that keep the source, trees removed without following links) is
// added here.
#include "platform/FileOps.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/win/FileCallHook.h"
#include "platform/win/Win32Files.h"

namespace setup {

namespace win {

std::atomic<test::FileCallHook> gFileCallHook{nullptr};

namespace {

// CreateDirectoryW stops at MAX_PATH - 12 characters (room for an 8.3 name);
// the other calls at MAX_PATH. Below the smaller limit nothing needs a prefix.
constexpr size_t kClassicPathLimit = MAX_PATH - 12;

bool IsAbsoluteDrivePath(std::wstring_view path) {
  return path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
}

bool IsUncPath(std::wstring_view path) { return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\'; }

}  // namespace

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(std::max<size_t>(path.size() + MAX_PATH, 512), L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;  // let the call itself report what is wrong
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

namespace {

// splitmix64: the names only have to differ; CREATE_NEW is what makes them safe.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

std::wstring Win32Path(std::u16string_view path) {
  std::wstring native = Wide(path);
  // "\\?\" and "\\.\" paths are taken literally by the system; so are they here.
  if (native.size() >= 4 && native[0] == L'\\' && native[1] == L'\\' && (native[2] == L'?' || native[2] == L'.') &&
      native[3] == L'\\') {
    return native;
  }
  std::replace(native.begin(), native.end(), L'/', L'\\');
  const bool absolute = IsAbsoluteDrivePath(native) || IsUncPath(native);
  if (absolute && native.size() < kClassicPathLimit) return native;
  // A prefixed path is not normalised by the system, so resolve "." and ".."
  // and the working directory first. A short relative path may still be long
  // once the working directory is in front of it.
  const std::wstring full = FullPath(native);
  if (full.size() < kClassicPathLimit) return native;
  if (IsUncPath(full)) return L"\\\\?\\UNC\\" + full.substr(2);
  if (IsAbsoluteDrivePath(full)) return L"\\\\?\\" + full;
  return native;
}

ErrorCode DeletePlainFile(const std::wstring& path) {
  if (SETUP_FILE_CALL(FALSE, DeleteFileW, path.c_str())) return kErrorSuccess;
  ErrorCode code = LastFailure();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return kErrorSuccess;
  if (code != ERROR_ACCESS_DENIED) return code;
  // A read-only file refuses deletion until the attribute is gone.
  const DWORD attributes = SETUP_FILE_CALL(INVALID_FILE_ATTRIBUTES, GetFileAttributesW, path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !(attributes & FILE_ATTRIBUTE_READONLY)) {
    return code;
  }
  if (!SETUP_FILE_CALL(FALSE, SetFileAttributesW, path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return code;
  if (SETUP_FILE_CALL(FALSE, DeleteFileW, path.c_str())) return kErrorSuccess;
  code = LastFailure();
  // Still there: leave it as it was found.
  SetFileAttributesW(path.c_str(), attributes);
  return code;
}

std::u16string UniqueSuffix() {
  static std::atomic<uint64_t> counter{0};
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const uint64_t seed = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                        (static_cast<uint64_t>(GetCurrentThreadId()) << 48) ^ GetTickCount64() ^
                        Mix(counter.fetch_add(1) + 1);
  const uint32_t value = static_cast<uint32_t>(Mix(seed));
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string text(8, u'0');
  for (int i = 0; i < 8; ++i) text[i] = kHex[(value >> (28 - 4 * i)) & 0xF];
  return text;
}

}  // namespace win

namespace test {
void SetFileCallHook(FileCallHook hook) { win::gFileCallHook.store(hook, std::memory_order_release); }
}  // namespace test

namespace {

using win::LastFailure;
using win::Win32Path;

HANDLE Native(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// The null handle is never a file either; both get the invalid-handle code
// without asking the system.
bool ValidHandle(FileHandle handle) { return handle != kInvalidFileHandle && handle != 0; }

ErrorCode Fail(ErrorCode code) {
  SetLastError(code);
  return code;
}

// Some calls leave a code behind even when they succeed (CreateFileW with
// CREATE_ALWAYS says 183 when the file was there); the layer's contract is
// 0 after success.
ErrorCode Succeed() {
  SetLastError(0);
  return kErrorSuccess;
}

bool LooksAt(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return SETUP_FILE_CALL(FALSE, GetFileAttributesExW, path.c_str(), GetFileExInfoStandard, &data);
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && path.back() == L'\\' && !(path.size() == 3 && path[1] == L':')) path.pop_back();
  return path;
}

// Closes a handle the layer opened for itself; a failure to close is the
// caller's to report.
bool CloseOwn(HANDLE handle) {
  if (win::Injected("CloseHandle")) {
    const DWORD code = GetLastError();
    CloseHandle(handle);  // a failed close still gives the handle up
    SetLastError(code);
    return false;
  }
  return CloseHandle(handle) != FALSE;
}

class OwnHandle {
 public:
  explicit OwnHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~OwnHandle() {
    if (Valid()) CloseHandle(handle_);
  }
  OwnHandle(const OwnHandle&) = delete;
  OwnHandle& operator=(const OwnHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }
  void Reset(HANDLE handle) {
    if (Valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  // Closes now and tells whether the close succeeded.
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseOwn(handle);
  }

 private:
  HANDLE handle_;
};


// The sibling in the directory of `target` that a copy is written to first.
std::wstring SiblingName(const std::u16string& target) {
  return Win32Path(JoinPath(ParentPath(target, PathStyle::Windows), u"~mv" + win::UniqueSuffix() + u".tmp",
                            PathStyle::Windows));
}

// The copy half of a move between volumes. The data goes to a sibling of the
// target, is flushed, and only then takes the target's name, so a failure at
// any point leaves the source, and an existing target, as they were. The
// source is deleted last; if that fails, the file is in both places and the
// move still counts as failed.
ErrorCode CopyAcrossVolumes(const std::u16string& from, const std::u16string& to) {
  const std::wstring source = Win32Path(from);
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!LooksAt(source, info)) return LastFailure();
  // A directory would need a tree copy, and a link copied would become the
  // file it names; neither is moved between volumes.
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Fail(ERROR_NOT_SAME_DEVICE);
  }
  OwnHandle in(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, source.c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.Valid()) return LastFailure();

  // Declared before the handle writing to it, so the handle closes first and
  // the sibling can then be deleted.
  win::TemporaryFile sibling;
  OwnHandle out;
  for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
    const std::wstring name = SiblingName(to);
    out.Reset(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (out.Valid()) {
      sibling.Set(name);
    } else if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
      return LastFailure();
    }
  }
  if (!out.Valid()) return LastFailure();

  constexpr DWORD kPiece = 256 * 1024;
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  for (;;) {
    DWORD got = 0;
    if (!SETUP_FILE_CALL(FALSE, ReadFile, in.Get(), buffer.get(), kPiece, &got, nullptr)) return LastFailure();
    if (got == 0) break;
    DWORD written = 0;
    if (!SETUP_FILE_CALL(FALSE, WriteFile, out.Get(), buffer.get(), got, &written, nullptr)) return LastFailure();
    if (written != got) return Fail(kErrorDiskFull);
  }
  if (!SETUP_FILE_CALL(FALSE, SetFileTime, out.Get(), &info.ftCreationTime, &info.ftLastAccessTime,
                       &info.ftLastWriteTime)) {
    return LastFailure();
  }
  // The source goes away next, so the copy must be on disk first.
  if (!SETUP_FILE_CALL(FALSE, FlushFileBuffers, out.Get())) return LastFailure();
  if (!out.Close()) return LastFailure();
  in.Close();
  const DWORD kept = info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  if (kept != 0 && !SETUP_FILE_CALL(FALSE, SetFileAttributesW, sibling.Path().c_str(), kept)) return LastFailure();
  const std::wstring target = Win32Path(to);
  if (!SETUP_FILE_CALL(FALSE, MoveFileExW, sibling.Path().c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastFailure();
  }
  sibling.Keep();
  return win::DeletePlainFile(source);
}

// Removes the entry `path` with the attributes `attributes`; directories are
// emptied first, links are removed themselves and never followed. Returns
// the first failure and goes on past it, so that as much as possible goes.
ErrorCode RemoveEntry(const std::wstring& path, DWORD attributes) {
  const bool link = win::IsLink(attributes);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return win::DeletePlainFile(path);
  ErrorCode first = kErrorSuccess;
  if (!link) {
    struct Entry {
      std::wstring name;
      DWORD attributes;
    };
    // The names are taken first: removing while reading may skip entries.
    std::vector<Entry> entries;
    WIN32_FIND_DATAW data;
    const std::wstring pattern = path + L"\\*";
    HANDLE find = SETUP_FILE_CALL(INVALID_HANDLE_VALUE, FindFirstFileW, pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
      const ErrorCode code = LastFailure();
      if (code != ERROR_FILE_NOT_FOUND) first = code;
    } else {
      do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") entries.push_back({data.cFileName, data.dwFileAttributes});
      } while (SETUP_FILE_CALL(FALSE, FindNextFileW, find, &data));
      const ErrorCode code = GetLastError();
      if (code != ERROR_NO_MORE_FILES) first = code != 0 ? code : kErrorInvalidParameter;
      FindClose(find);
    }
    for (const Entry& entry : entries) {
      const ErrorCode code = RemoveEntry(path + L"\\" + entry.name, entry.attributes);
      if (first == kErrorSuccess) first = code;
    }
  }
  // A directory emptied a moment ago can still hold files that someone (a
  // virus scanner, the indexer) keeps open for a moment; those go when they
  // are closed, so give them a short while.
  for (int attempt = 0;; ++attempt) {
    if (SETUP_FILE_CALL(FALSE, RemoveDirectoryW, path.c_str())) return first;
    ErrorCode code = LastFailure();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return first;
    if (code == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY)) {
      // A read-only directory cannot be removed either.
      attributes &= ~FILE_ATTRIBUTE_READONLY;
      if (SETUP_FILE_CALL(FALSE, SetFileAttributesW, path.c_str(), attributes)) continue;
      code = LastFailure();
    }
    if (code != ERROR_DIR_NOT_EMPTY || first != kErrorSuccess || attempt >= 5) {
      return first != kErrorSuccess ? first : code;
    }
    Sleep(20u << attempt);
  }
}

}  // namespace

ErrorCode OpenFileHandle(const std::u16string& path, uint32_t access, uint32_t shareMode,
                         uint32_t creationDisposition, FileHandle& handle) {
  SetLastError(0);
  handle = kInvalidFileHandle;
  const std::wstring native = Win32Path(path);
  const HANDLE opened = SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), access, shareMode,
                                        nullptr, creationDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return LastFailure();
  handle = reinterpret_cast<FileHandle>(opened);
  return Succeed();
}

ErrorCode ReadFromFile(FileHandle handle, void* buffer, uint32_t count, uint32_t& bytesRead) {
  SetLastError(0);
  bytesRead = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  auto* out = static_cast<char*>(buffer);
  while (bytesRead < count) {
    DWORD got = 0;
    if (!SETUP_FILE_CALL(FALSE, ReadFile, Native(handle), out + bytesRead, count - bytesRead, &got, nullptr)) {
      // The far end of a pipe going away is its end of file.
      if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) break;
      return LastFailure();
    }
    if (got == 0) break;
    bytesRead += got;
  }
  return Succeed();
}

namespace {

// A synchronous handle's read or write at `at`, not at its file position
// (which Windows still moves past what was transferred).
OVERLAPPED PositionAt(uint64_t at) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(at);
  position.OffsetHigh = static_cast<DWORD>(at >> 32);
  return position;
}

}  // namespace

ErrorCode ReadFromFileAt(FileHandle handle, uint64_t offset, void* buffer, uint32_t count, uint32_t& bytesRead) {
  SetLastError(0);
  bytesRead = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  auto* out = static_cast<char*>(buffer);
  while (bytesRead < count) {
    OVERLAPPED position = PositionAt(offset + bytesRead);
    DWORD got = 0;
    if (!SETUP_FILE_CALL(FALSE, ReadFile, Native(handle), out + bytesRead, count - bytesRead, &got, &position)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastFailure();
    }
    if (got == 0) break;
    bytesRead += got;
  }
  return Succeed();
}

ErrorCode WriteToFileAt(FileHandle handle, uint64_t offset, const void* buffer, uint32_t count,
                        uint32_t& bytesWritten) {
  SetLastError(0);
  bytesWritten = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  const auto* in = static_cast<const char*>(buffer);
  while (bytesWritten < count) {
    OVERLAPPED position = PositionAt(offset + bytesWritten);
    DWORD written = 0;
    if (!SETUP_FILE_CALL(FALSE, WriteFile, Native(handle), in + bytesWritten, count - bytesWritten, &written,
                         &position)) {
      return LastFailure();
    }
    // A file takes no bytes only when there is no room.
    if (written == 0) return Fail(kErrorDiskFull);
    bytesWritten += written;
  }
  return Succeed();
}

ErrorCode WriteToFile(FileHandle handle, const void* buffer, uint32_t count, uint32_t& bytesWritten) {
  SetLastError(0);
  bytesWritten = 0;
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  DWORD written = 0;
  if (!SETUP_FILE_CALL(FALSE, WriteFile, Native(handle), buffer, count, &written, nullptr)) {
    bytesWritten = written;
    return LastFailure();
  }
  bytesWritten = written;
  // A file takes fewer bytes than asked only when there is no room.
  if (written < count) return Fail(kErrorDiskFull);
  return Succeed();
}

int64_t SeekFile(FileHandle handle, int64_t offset, int method) {
  SetLastError(0);
  if (!ValidHandle(handle)) {
    Fail(kErrorInvalidHandle);
    return -1;
  }
  const DWORD from = method == kSeekCurrent ? FILE_CURRENT : method == kSeekEnd ? FILE_END : FILE_BEGIN;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  if (!SETUP_FILE_CALL(FALSE, SetFilePointerEx, Native(handle), distance, &position, from)) {
    LastFailure();
    return -1;
  }
  Succeed();
  return position.QuadPart;
}

ErrorCode TruncateFileHere(FileHandle handle) {
  SetLastError(0);
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  if (!SETUP_FILE_CALL(FALSE, SetEndOfFile, Native(handle))) return LastFailure();
  return Succeed();
}

ErrorCode GetFileTimes(FileHandle handle, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) {
  SetLastError(0);
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  FILETIME c{}, a{}, w{};
  if (!SETUP_FILE_CALL(FALSE, GetFileTime, Native(handle), creation ? &c : nullptr, lastAccess ? &a : nullptr,
                       lastWrite ? &w : nullptr)) {
    return LastFailure();
  }
  if (creation) *creation = win::FromFileTime(c);
  if (lastAccess) *lastAccess = win::FromFileTime(a);
  if (lastWrite) *lastWrite = win::FromFileTime(w);
  return Succeed();
}

ErrorCode SetFileTimes(FileHandle handle, const FileTime* creation, const FileTime* lastAccess,
                       const FileTime* lastWrite) {
  SetLastError(0);
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  // An absent time stays as it is.
  FILETIME c{}, a{}, w{};
  if (creation) c = win::ToFileTime(*creation);
  if (lastAccess) a = win::ToFileTime(*lastAccess);
  if (lastWrite) w = win::ToFileTime(*lastWrite);
  if (!SETUP_FILE_CALL(FALSE, SetFileTime, Native(handle), creation ? &c : nullptr, lastAccess ? &a : nullptr,
                       lastWrite ? &w : nullptr)) {
    return LastFailure();
  }
  return Succeed();
}

ErrorCode FlushFileHandle(FileHandle handle) {
  SetLastError(0);
  if (!ValidHandle(handle)) return Fail(kErrorInvalidHandle);
  if (!SETUP_FILE_CALL(FALSE, FlushFileBuffers, Native(handle))) return LastFailure();
  return Succeed();
}

void CloseFileHandle(FileHandle handle) {
  if (!ValidHandle(handle)) {
    Fail(kErrorInvalidHandle);
    return;
  }
  // Callers read the close's own outcome from the last error.
  if (CloseOwn(Native(handle))) {
    Succeed();
  } else {
    LastFailure();
  }
}

ErrorCode GetLastErrorCode() { return GetLastError(); }

ErrorCode GetTempDirectory(std::u16string& path) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD n = SETUP_FILE_CALL(0, GetTempPathW, static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0) {
      const ErrorCode code = LastFailure();
      if (code != ERROR_FILENAME_EXCED_RANGE) return code;
      // GetTempPathW gives up on a directory longer than MAX_PATH. The rest of
      // the layer takes long paths, so look where it looks, in its order.
      for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE"}) {
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size <= 1) continue;
        std::wstring value(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
        if (length == 0 || length >= size) continue;
        value.resize(length);
        path = EnsureTrailingSeparator(win::Narrow(win::FullPath(value)), PathStyle::Windows);
        return Succeed();
      }
      return code;
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n + 1);  // n is the size needed, with the terminating null
  }
  path = EnsureTrailingSeparator(win::Narrow(buffer), PathStyle::Windows);
  return kErrorSuccess;
}

// Not GetTempFileNameW: it takes only three characters of the prefix, and
// it counts up through at most 65535 names, so a directory littered with old
// files from crashed runs makes it fail. A random name created with
// CREATE_NEW is just as exclusive and needs no such walk.
namespace {

// Creates a new file named prefix + a unique suffix + ".tmp" in `directory`,
// with `flags`, open for writing: the handle (the path in `path`), or
// INVALID_HANDLE_VALUE with the failure's code in `code`.
HANDLE CreateUniqueFile(const std::u16string& directory, const std::u16string& prefix, DWORD flags,
                        std::u16string& path, ErrorCode& code) {
  code = kErrorSuccess;
  if (directory.empty() || prefix.find_first_of(u"\\/:") != std::u16string::npos) {
    code = kErrorInvalidParameter;
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string base = EnsureTrailingSeparator(directory, PathStyle::Windows);
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = base + prefix + win::UniqueSuffix() + u".tmp";
    const std::wstring native = Win32Path(path);
    const HANDLE file =
        SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags,
                        nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    code = LastFailure();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
    // A directory of that name refuses with "access denied".
    if (code == ERROR_ACCESS_DENIED && GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    return INVALID_HANDLE_VALUE;
  }
  code = ERROR_FILE_EXISTS;
  return INVALID_HANDLE_VALUE;
}

}  // namespace

ErrorCode CreateTempFile(const std::u16string& directory, const std::u16string& prefix, std::u16string& path) {
  ErrorCode code = kErrorSuccess;
  std::u16string candidate;
  // The new file gets the directory's inherited permissions: in the
  // temporary directory, which Windows keeps per user, that makes it the
  // user's alone.
  const HANDLE file = CreateUniqueFile(directory, prefix, FILE_ATTRIBUTE_NORMAL, candidate, code);
  path.clear();
  if (file == INVALID_HANDLE_VALUE) return Fail(code);
  if (!CloseOwn(file)) {
    code = LastFailure();
    win::DeletePlainFile(Win32Path(candidate));
    return code;
  }
  path = candidate;
  return Succeed();
}

ErrorCode ProbeNewFile(const std::u16string& directory, const std::u16string& prefix) {
  ErrorCode code = kErrorSuccess;
  std::u16string path;
  // Deleted with its handle, which the system closes however the process ends.
  const HANDLE file =
      CreateUniqueFile(directory, prefix, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, path, code);
  if (file == INVALID_HANDLE_VALUE) return Fail(code);
  CloseHandle(file);
  return Succeed();
}

ErrorCode CreateDirectoryTree(const std::u16string& path, DirectoryAccess /*access*/) {
  std::u16string whole = ToNativeSeparators(path, PathStyle::Windows);
  if (whole.size() > 1 && EndsWithSeparator(whole) && !IsRootPath(whole, PathStyle::Windows)) whole.pop_back();
  if (whole.empty()) return Fail(kErrorInvalidParameter);

  WIN32_FILE_ATTRIBUTE_DATA info;
  if (LooksAt(Win32Path(whole), info)) {
    // Windows says 183 for a directory that is already there, and callers
    // take that as success; a file in its place is no such success.
    return Fail((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kErrorAlreadyExists : kErrorPathNotFound);
  }
  // The levels from the outermost down, roots and drives left out.
  std::vector<std::u16string> levels;
  for (std::u16string level = whole; !level.empty() && !IsRootPath(level, PathStyle::Windows);) {
    levels.push_back(level);
    std::u16string parent = ParentPath(level, PathStyle::Windows);
    if (parent.size() >= level.size()) break;
    level = std::move(parent);
  }
  std::reverse(levels.begin(), levels.end());
  ErrorCode earlier = kErrorSuccess;
  ErrorCode last = kErrorSuccess;
  for (const std::u16string& level : levels) {
    const std::wstring native = Win32Path(level);
    if (LooksAt(native, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (SETUP_FILE_CALL(FALSE, CreateDirectoryW, native.c_str(), nullptr)) {
      last = kErrorSuccess;
      continue;
    }
    last = LastFailure();
    if (last == ERROR_ALREADY_EXISTS) {
      // Made by someone else in between, or a level that exists but may not
      // be looked at: either way the next level decides. A file in the way
      // leaves no path to go on.
      const bool file = LooksAt(native, info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
      last = file ? kErrorPathNotFound : kErrorSuccess;
    }
    if (earlier == kErrorSuccess) earlier = last;
  }
  // The whole path decides. When it could not be made because a level above
  // it was missing, the reason that level failed says more.
  if (last == ERROR_PATH_NOT_FOUND && earlier != kErrorSuccess) last = earlier;
  return last == kErrorSuccess ? Succeed() : Fail(last);
}

ErrorCode CreateNewDirectory(const std::u16string& path, DirectoryAccess /*access*/) {
  const std::wstring native = Win32Path(path);
  if (!SETUP_FILE_CALL(FALSE, CreateDirectoryW, native.c_str(), nullptr)) return LastFailure();
  return Succeed();
}

// Flushing a whole volume needs a handle to the volume, which only an
// administrator may open for writing; the engine flushes each file instead.
bool FileSystemFlushAvailable() { return false; }

bool SameFileSystem(const std::u16string& a, const std::u16string& b) {
  const auto volumeOf = [](const std::u16string& path) {
    const std::wstring native = Win32Path(path);
    std::wstring root(native.size() + MAX_PATH, L'\0');
    if (!GetVolumePathNameW(native.c_str(), root.data(), static_cast<DWORD>(root.size()))) return std::wstring();
    root.resize(wcslen(root.c_str()));
    return root;
  };
  const std::wstring first = volumeOf(a), second = volumeOf(b);
  return first.empty() || second.empty() || _wcsicmp(first.c_str(), second.c_str()) == 0;
}

ErrorCode FlushFileSystem(const std::u16string& path) {
  const std::wstring native = Win32Path(path);
  std::wstring root(native.size() + MAX_PATH, L'\0');
  if (!GetVolumePathNameW(native.c_str(), root.data(), static_cast<DWORD>(root.size()))) return LastFailure();
  root.resize(wcslen(root.c_str()));
  std::wstring volume;
  if (root.size() == 3 && root[1] == L':') {
    volume = L"\\\\.\\" + root.substr(0, 2);
  } else {
    wchar_t name[MAX_PATH] = {};
    if (!GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH)) return LastFailure();
    volume = WithoutTrailingSeparators(name);
  }
  OwnHandle handle(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle.Valid()) return LastFailure();
  if (!SETUP_FILE_CALL(FALSE, FlushFileBuffers, handle.Get())) return LastFailure();
  return Succeed();
}

ErrorCode MoveFileTo(const std::u16string& from, const std::u16string& to) {
  const std::wstring source = Win32Path(from);
  const std::wstring target = Win32Path(to);
  // On one volume a rename, which replaces the target in one step.
  if (SETUP_FILE_CALL(FALSE, MoveFileExW, source.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Succeed();
  }
  const ErrorCode code = LastFailure();
  if (code != ERROR_NOT_SAME_DEVICE) return code;
  // Not MOVEFILE_COPY_ALLOWED: it writes straight over the target, so a copy
  // that fails half-way would leave neither the old target nor the new file.
  const ErrorCode copied = CopyAcrossVolumes(from, to);
  return copied == kErrorSuccess ? Succeed() : Fail(copied);
}

ErrorCode RemoveFile(const std::u16string& path) {
  const ErrorCode code = win::DeletePlainFile(Win32Path(path));
  return code == kErrorSuccess ? Succeed() : Fail(code);
}

ErrorCode RemoveDirectoryTree(const std::u16string& path) {
  const std::wstring native = WithoutTrailingSeparators(Win32Path(path));
  if (native.empty()) return Fail(kErrorInvalidParameter);
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!LooksAt(native, info)) {
    const ErrorCode code = LastFailure();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Succeed() : code;
  }
  const ErrorCode code = RemoveEntry(native, info.dwFileAttributes);
  return code == kErrorSuccess ? Succeed() : Fail(code);
}

ErrorCode QueryPathInfo(const std::u16string& path, PathInfo& info) {
  const std::wstring native = Win32Path(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  // Looked at without opening, so a file someone holds open is no obstacle.
  if (!LooksAt(native, data)) return LastFailure();
  DWORD attributes = data.dwFileAttributes;
  FILETIME written = data.ftLastWriteTime;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link: what it points to counts. Opening only for its attributes
    // follows the link and meets no sharing rules.
    OwnHandle target(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target.Valid()) {
      const ErrorCode code = LastFailure();
      // A link to nothing still stands there: something to move aside,
      // older than anything.
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return code;
      info.directory = false;
      info.lastWriteTime = 0;
      return kErrorSuccess;
    }
    BY_HANDLE_FILE_INFORMATION followed;
    if (!SETUP_FILE_CALL(FALSE, GetFileInformationByHandle, target.Get(), &followed)) return LastFailure();
    attributes = followed.dwFileAttributes;
    written = followed.ftLastWriteTime;
  }
  info.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.lastWriteTime = win::FromFileTime(written);
  return kErrorSuccess;
}

ErrorCode QueryFileSize(const std::u16string& path, uint32_t& size) {
  const std::wstring native = Win32Path(path);
  // Only the attributes are read, so a file held open elsewhere (without
  // sharing) can still be measured.
  OwnHandle file(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return LastFailure();
  LARGE_INTEGER bytes{};
  if (!SETUP_FILE_CALL(FALSE, GetFileSizeEx, file.Get(), &bytes)) return LastFailure();
  size = static_cast<uint64_t>(bytes.QuadPart) > kSizeLimit32 ? kSizeLimit32 : static_cast<uint32_t>(bytes.QuadPart);
  return kErrorSuccess;
}

ErrorCode QueryFreeSpace(uint64_t& bytes) {
  std::u16string directory;
  if (const ErrorCode code = GetTempDirectory(directory)) return code;
  return QueryFreeSpaceAt(directory, bytes);
}

ErrorCode QueryFreeSpaceAt(const std::u16string& directory, uint64_t& bytes) {
  const std::wstring native = Win32Path(directory);
  ULARGE_INTEGER available{};
  // What this user may fill: quotas count, the whole disk does not.
  if (!SETUP_FILE_CALL(FALSE, GetDiskFreeSpaceExW, native.c_str(), &available, nullptr, nullptr)) {
    return LastFailure();
  }
  bytes = available.QuadPart;
  return kErrorSuccess;
}

}  // namespace setup
