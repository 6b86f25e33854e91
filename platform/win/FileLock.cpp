// A file opened without sharing is its own lock on Windows: nobody else can
// open or delete it while the handle is open, and the system closes the
// handle when the process ends however it ends. CREATE_NEW without sharing
// makes a file that is locked from the moment it exists.
#include "platform/FileLock.h"

#include <windows.h>

#include "platform/Text.h"
#include "platform/win/Win32Files.h"

namespace setup {
namespace {

using win::LastFailure;
using win::Win32Path;

constexpr DWORD kLockedAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

ErrorCode OpenWithoutSharing(const std::u16string& path, DWORD disposition, ScopedFileHandle& handle) {
  const std::wstring native = Win32Path(path);
  const HANDLE file = SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), kLockedAccess, 0, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const ErrorCode code = LastFailure();
    return code == ERROR_FILE_EXISTS ? kErrorAlreadyExists : code;
  }
  handle.Reset(reinterpret_cast<FileHandle>(file));
  return kErrorSuccess;
}

bool IsHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); }

}  // namespace

ErrorCode CreateLockedFile(const std::u16string& path, ScopedFileHandle& handle) {
  return OpenWithoutSharing(path, CREATE_NEW, handle);
}

ErrorCode CreateLockedTempFile(const std::u16string& directory, const std::u16string& prefix,
                               std::u16string& path, ScopedFileHandle& handle) {
  path.clear();
  if (directory.empty() || prefix.find_first_of(u"\\/:") != std::u16string::npos) return kErrorInvalidParameter;
  const std::u16string base = EnsureTrailingSeparator(directory, PathStyle::Windows) + prefix;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::u16string candidate = base + win::UniqueSuffix() + u".tmp";
    const ErrorCode code = OpenWithoutSharing(candidate, CREATE_NEW, handle);
    if (code == 0) {
      path = candidate;
      return kErrorSuccess;
    }
    if (code == kErrorAlreadyExists) continue;
    // A directory of that name refuses with "access denied".
    if (code == ERROR_ACCESS_DENIED && GetFileAttributesW(Win32Path(candidate).c_str()) != INVALID_FILE_ATTRIBUTES) {
      continue;
    }
    return code;
  }
  return kErrorAlreadyExists;
}

bool IsLockedTempFileName(std::u16string_view name, std::u16string_view prefix) {
  constexpr std::u16string_view kExtension = u".tmp";
  if (name.size() != prefix.size() + 8 + kExtension.size()) return false;
  if (CompareNoCase(name.substr(0, prefix.size()), prefix) != 0) return false;
  if (CompareNoCase(name.substr(name.size() - kExtension.size()), kExtension) != 0) return false;
  for (char16_t c : name.substr(prefix.size(), 8)) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

ErrorCode OpenLockedFile(const std::u16string& path, ScopedFileHandle& handle) {
  const ErrorCode code = OpenWithoutSharing(path, OPEN_EXISTING, handle);
  return code == ERROR_PATH_NOT_FOUND ? kErrorFileNotFound : code;
}

ErrorCode DeleteLockedFile(const std::u16string& path, ScopedFileHandle& handle) {
  if (handle.Valid()) {
    // Marked through the handle itself: a delete by name would collide with
    // our own handle, which shares nothing.
    FILE_DISPOSITION_INFO disposition{TRUE};
    const BOOL marked = SETUP_FILE_CALL(FALSE, SetFileInformationByHandle, reinterpret_cast<HANDLE>(handle.Get()),
                                        FileDispositionInfo, &disposition, sizeof disposition);
    const ErrorCode code = marked ? kErrorSuccess : LastFailure();
    handle.Reset();
    if (marked) return kErrorSuccess;
    // Read-only, for instance: by name, with the attribute cleared first.
    return win::DeletePlainFile(Win32Path(path)) == 0 ? kErrorSuccess : code;
  }
  return win::DeletePlainFile(Win32Path(path));
}

bool IsOwnEntry(const std::u16string& path, EntryKind kind) {
  // The temporary directory is the user's own on Windows; what matters is
  // that the entry is what it looks like and no link to somewhere else.
  const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || win::IsLink(attributes)) return false;
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return kind == EntryKind::Directory ? directory : !directory;
}

}  // namespace setup
