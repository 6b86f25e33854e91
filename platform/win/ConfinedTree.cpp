// The confined tree on Windows. Every folder on the way to a path is looked at
// before the path is used, and a reparse point (symbolic link, junction,
// mount point) among them stops the operation; a file this run wrote is
// opened only when it is no reparse point itself. Win32 has no call relative
// to an open folder, so a link put in place between the look and the use is
// not caught here as it is on Linux. The lock is a named mutex in the global
// namespace, named after the directory's final path: every user and every
// temporary directory sees the same one, and it ends with its last handle,
// so with the process however it ends.
#include "platform/ConfinedTree.h"

#include <windows.h>

#include <cwctype>

#include "platform/Path.h"
#include "platform/win/Win32Files.h"

namespace setup {
namespace {

using win::LastFailure;
using win::Win32Path;

constexpr PathStyle kStyle = PathStyle::Windows;

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                              reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

// The path as the system finally resolves it (links followed, the letter
// case as stored), or the full path when it cannot be opened.
std::wstring FinalPath(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return win::FullPath(path);
  std::wstring result(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, result.data(), static_cast<DWORD>(result.size()), FILE_NAME_NORMALIZED);
    if (length == 0) {
      result = win::FullPath(path);
      break;
    }
    if (length < result.size()) {
      result.resize(length);
      break;
    }
    result.resize(length + 1);
  }
  CloseHandle(handle);
  // "\\?\C:\x" and "\\?\UNC\server\share" back to their plain forms.
  if (result.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + result.substr(8);
  if (result.rfind(L"\\\\?\\", 0) == 0) return result.substr(4);
  return result;
}

std::u16string Trimmed(std::u16string path) {
  while (path.size() > 3 && IsSeparator(path.back(), kStyle)) path.pop_back();
  return path;
}

}  // namespace

struct ConfinedTree::Native {
  std::u16string root;  // with a trailing separator
  HANDLE mutex = nullptr;

  std::u16string Full(const std::u16string& relative) const { return root + relative; }
};

ConfinedTree::ConfinedTree() : native_(std::make_unique<Native>()) {}
ConfinedTree::~ConfinedTree() { Close(); }

ErrorCode ConfinedTree::Open(const std::u16string& root) {
  Close();
  if (!IsAbsolutePath(root, kStyle)) return kErrorInvalidParameter;
  PathInfo info;
  if (const ErrorCode code = QueryPathInfo(root, info)) return code;
  if (!info.directory) return kErrorPathNotFound;
  native_->root = EnsureTrailingSeparator(ToNativeSeparators(root, kStyle), kStyle);
  return 0;
}

ErrorCode ConfinedTree::OpenSame(const ConfinedTree& other) {
  Close();
  if (!other.IsOpen()) return kErrorInvalidHandle;
  native_->root = other.native_->root;
  return 0;
}

bool ConfinedTree::IsOpen() const { return !native_->root.empty(); }

ErrorCode ConfinedTree::Lock() {
  if (!IsOpen()) return kErrorInvalidHandle;
  if (native_->mutex) return 0;
  std::wstring key = FinalPath(Win32Path(Trimmed(native_->root)));
  CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : key) hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
  wchar_t name[64];
  swprintf(name, 64, L"Global\\orvikv8-setup-%016llx", static_cast<unsigned long long>(hash));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  const DWORD error = GetLastError();
  if (!mutex) return error == ERROR_ACCESS_DENIED ? kErrorBusy : LastFailure();
  // The mutex lives exactly as long as some run holds it open.
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return kErrorBusy;
  }
  native_->mutex = mutex;
  return 0;
}

void ConfinedTree::Close() {
  if (native_->mutex) CloseHandle(native_->mutex);
  native_->mutex = nullptr;
  native_->root.clear();
}

bool ConfinedTree::Locate(const std::u16string& absolute, std::u16string& relative) const {
  if (!IsOpen()) return false;
  std::u16string root = win::Narrow(FinalPath(Win32Path(Trimmed(native_->root))));
  const std::u16string path = win::Narrow(FinalPath(Win32Path(Trimmed(absolute))));
  if (SameName(path, root)) {
    relative.clear();
    return true;
  }
  root = EnsureTrailingSeparator(root, kStyle);
  if (path.size() <= root.size() || !SameName(std::u16string_view(path).substr(0, root.size()), root)) return false;
  relative = path.substr(root.size());
  return true;
}

bool ConfinedTree::IsSameOrBelow(const std::u16string& relative, const std::u16string& prefix) {
  if (prefix.empty()) return true;
  if (relative.size() < prefix.size() || !SameName(std::u16string_view(relative).substr(0, prefix.size()), prefix)) {
    return false;
  }
  return relative.size() == prefix.size() || IsSeparator(relative[prefix.size()], kStyle);
}

ErrorCode ConfinedTree::CheckFolders(const std::u16string& relative, std::u16string* link) {
  if (!IsOpen()) return kErrorInvalidHandle;
  for (size_t end = 0; (end = relative.find_first_of(u"\\/", end)) != std::u16string::npos; ++end) {
    const std::u16string folder = relative.substr(0, end);
    const std::u16string_view name = FileName(folder, kStyle);
    if (name.empty() || name == u".") continue;
    if (name == u"..") return kErrorInvalidParameter;
    const DWORD attributes = GetFileAttributesW(Win32Path(native_->Full(folder)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    if (win::IsLink(attributes)) {
      if (link) *link = folder;
      return kErrorLinkInPath;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return kErrorPathNotFound;
  }
  return 0;
}

ErrorCode ConfinedTree::Inspect(const std::u16string& relative, PathInfo& info) {
  if (const ErrorCode code = CheckFolders(relative)) return code;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!SETUP_FILE_CALL(FALSE, GetFileAttributesExW, Win32Path(native_->Full(relative)).c_str(),
                       GetFileExInfoStandard, &data)) {
    return LastFailure();
  }
  if (win::IsLink(data.dwFileAttributes)) {
    // Judged by the time of what it points to (a link to nothing is older
    // than anything), but never written through: only moved aside.
    PathInfo followed;
    info.directory = false;
    info.lastWriteTime =
        QueryPathInfo(native_->Full(relative), followed) == 0 && !followed.directory ? followed.lastWriteTime : 0;
    return 0;
  }
  info.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.lastWriteTime = win::FromFileTime(data.ftLastWriteTime);
  return 0;
}

ErrorCode ConfinedTree::MakeDirectory(const std::u16string& relative) {
  if (const ErrorCode code = CheckFolders(relative)) return code;
  return CreateNewDirectory(native_->Full(relative), DirectoryAccess::Shared);
}

ErrorCode ConfinedTree::OpenToWrite(const std::u16string& relative, bool mustBeNew, ScopedFileHandle& handle) {
  if (const ErrorCode code = CheckFolders(relative)) return code;
  const std::u16string path = native_->Full(relative);
  if (!mustBeNew) {
    // Only the run's own file is opened again; a link put in its place is not
    // written through.
    const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && win::IsLink(attributes)) return kErrorLinkInPath;
  }
  FileHandle opened = kInvalidFileHandle;
  if (const ErrorCode code = OpenFileHandle(path, kGenericWrite, 0, mustBeNew ? kCreateNew : kCreateAlways, opened)) {
    return code;
  }
  handle.Reset(opened);
  return 0;
}

ErrorCode ConfinedTree::MoveOut(const std::u16string& relative, const std::u16string& to) {
  if (const ErrorCode code = CheckFolders(relative)) return code;
  return MoveFileTo(native_->Full(relative), to);
}

ErrorCode ConfinedTree::MoveIn(const std::u16string& from, const std::u16string& relative) {
  if (const ErrorCode code = CheckFolders(relative)) return code;
  const std::u16string path = native_->Full(relative);
  const ErrorCode moved = MoveFileTo(from, path);
  if (moved != ERROR_DISK_FULL && moved != ERROR_HANDLE_DISK_FULL) return moved;
  // Between volumes the original is copied back; on a full disk the run's
  // version gives up its room first. The original stays safe outside until
  // its copy is whole.
  if (const ErrorCode code = setup::RemoveFile(path)) return code;
  return MoveFileTo(from, path);
}

ErrorCode ConfinedTree::RemoveFile(const std::u16string& relative) {
  if (const ErrorCode code = CheckFolders(relative)) {
    return code == kErrorFileNotFound || code == kErrorPathNotFound ? 0 : code;
  }
  return setup::RemoveFile(native_->Full(relative));
}

ErrorCode ConfinedTree::RemoveEmptyDirectory(const std::u16string& relative) {
  if (const ErrorCode code = CheckFolders(relative)) return code;
  const std::u16string path = native_->Full(relative);
  const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  if (win::IsLink(attributes)) return kErrorLinkInPath;
  return RemoveEmptyFolder(path);
}

ErrorCode ConfinedTree::RemoveEmptyFolder(const std::u16string& path) {
  if (SETUP_FILE_CALL(FALSE, RemoveDirectoryW, Win32Path(path).c_str())) return 0;
  const ErrorCode code = LastFailure();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? 0 : code;
}

ErrorCode ConfinedTree::Flush() {
  if (!IsOpen()) return kErrorInvalidHandle;
  return FlushFileSystem(native_->root);
}

}  // namespace setup
