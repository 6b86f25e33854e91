// Writing text files on Windows; a whole file is replaced through a sibling
// temporary that takes the old file's name once it is complete and on disk.
#include <windows.h>

#include <string>

#include "platform/Text.h"
#include "platform/TextFile.h"
#include "platform/win/Win32Files.h"

namespace setup {
namespace {

class OwnHandle {
 public:
  explicit OwnHandle(HANDLE handle) : handle_(handle) {}
  ~OwnHandle() {
    if (Valid()) CloseHandle(handle_);
  }
  OwnHandle(const OwnHandle&) = delete;
  OwnHandle& operator=(const OwnHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  void Release() { handle_ = INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The name the file is kept under, as the system resolves it: a link is
// written through, so that a starter configuration kept elsewhere and linked
// in stays where it is (Wine shows a Unix link to a file as the file itself,
// so only the resolved name tells). False when that name cannot be had.
bool ResolveTarget(std::u16string& path) {
  const std::wstring native = win::Win32Path(path);
  OwnHandle target(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!target.Valid()) return false;
  std::wstring resolved(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(target.Get(), resolved.data(), static_cast<DWORD>(resolved.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return false;
    if (n < resolved.size()) {
      resolved.resize(n);
      break;
    }
    resolved.resize(n);
  }
  // The system answers with a "\\?\" path; take it back to the usual form.
  if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    resolved = L"\\\\" + resolved.substr(8);
  } else if (resolved.rfind(L"\\\\?\\", 0) == 0) {
    resolved = resolved.substr(4);
  }
  path = win::Narrow(resolved);
  return true;
}

// Whether the file at `native` starts with a byte-order mark. The file is
// opened for writing as well: one that may not be written is not ours to
// replace. False in `opened` when it cannot be opened so.
bool HasByteOrderMark(const std::wstring& native, bool& opened) {
  OwnHandle file(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  opened = file.Valid();
  if (!opened) return false;
  unsigned char head[3] = {};
  DWORD got = 0;
  if (!SETUP_FILE_CALL(FALSE, ReadFile, file.Get(), head, sizeof head, &got, nullptr)) {
    opened = false;
    return false;
  }
  return (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) ||
         (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF);
}

// Writes the file at `native` through to the disk.
bool FlushFileAt(const std::wstring& native) {
  OwnHandle file(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.Valid() && SETUP_FILE_CALL(FALSE, FlushFileBuffers, file.Get());
}

}  // namespace

ErrorCode OpenRegularFileForReading(const std::u16string& path, uint64_t maxBytes, FileHandle& handle) {
  handle = kInvalidFileHandle;
  const std::wstring native = win::Win32Path(path);
  OwnHandle file(SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, native.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD code = win::LastFailure();
    // A folder does not open as a file at all; say what stands there.
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return kErrorBadFileType;
    }
    return code;
  }
  // A pipe or a device behind the name is no settings file; the handle, not
  // the name, says what it is.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return kErrorBadFileType;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!SETUP_FILE_CALL(FALSE, GetFileInformationByHandle, file.Get(), &information)) return win::LastFailure();
  if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kErrorBadFileType;
  const uint64_t size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
  if (size > maxBytes) return kErrorFileTooLarge;
  handle = reinterpret_cast<FileHandle>(file.Get());
  file.Release();
  return kErrorSuccess;
}

// Windows text files end their lines in CR LF; a Unicode encoding starts with
// its mark.
TextStreamPtr OpenTextForWriting(const std::u16string& path, TextEncoding encoding, LineEnds lineEnds) {
  FileHandle handle = kInvalidFileHandle;
  if (OpenFileHandle(path, kGenericWrite, kFileShareRead, kCreateAlways, handle) != kErrorSuccess) return nullptr;
  // CREATE_ALWAYS has already emptied an existing file.
  return std::make_unique<TextStream>(handle, encoding, encoding != TextEncoding::MultiByte, lineEnds);
}

namespace {

// Writes the text into a new file beside the target, complete and on disk.
// `lossy` tells whether the encoding could not carry all of the text.
ReplaceResult WriteSibling(const std::u16string& directory, TextEncoding encoding,
                           const std::function<bool(TextStream&)>& write, win::TemporaryFile& temporary,
                           bool& lossy) {
  HANDLE created = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
    const std::wstring candidate =
        win::Win32Path(JoinPath(directory, u"~st" + win::UniqueSuffix() + u".tmp", PathStyle::Windows));
    created = SETUP_FILE_CALL(INVALID_HANDLE_VALUE, CreateFileW, candidate.c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
      temporary.Set(candidate);
    } else if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
      return ReplaceResult::CannotOpen;
    }
  }
  if (created == INVALID_HANDLE_VALUE) return ReplaceResult::CannotOpen;
  auto stream = std::make_unique<TextStream>(reinterpret_cast<FileHandle>(created), encoding,
                                             encoding != TextEncoding::MultiByte, LineEnds::CrLf);
  if (!write(*stream)) return ReplaceResult::CannotWrite;
  // Made durable by the caller, unless the old file holds these very bytes.
  if (!stream->Flush(false)) return ReplaceResult::CannotWrite;
  lossy = stream->Lossy();
  if (!CloseText(std::move(stream))) return ReplaceResult::CannotWrite;
  return ReplaceResult::Replaced;
}

}  // namespace

ReplaceResult ReplaceTextFile(const std::u16string& path, const std::function<bool(TextStream&)>& write) {
  std::u16string target = ToNativeSeparators(path, PathStyle::Windows);
  WIN32_FILE_ATTRIBUTE_DATA old{};
  bool existed = SETUP_FILE_CALL(FALSE, GetFileAttributesExW, win::Win32Path(target).c_str(),
                                 GetFileExInfoStandard, &old);
  if (!existed) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return ReplaceResult::CannotOpen;
  } else if (ResolveTarget(target)) {
    if (!SETUP_FILE_CALL(FALSE, GetFileAttributesExW, win::Win32Path(target).c_str(), GetFileExInfoStandard, &old)) {
      return ReplaceResult::CannotOpen;
    }
  } else if (old.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link to nothing: where it would lead is not followed here.
    return ReplaceResult::CannotOpen;
  }
  // Only a file is replaced; a directory of that name stays. A read-only
  // file is not ours to replace either; the attribute is asked for itself,
  // since an administrator's open for writing may not be refused for it.
  if (existed && (old.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
    return ReplaceResult::CannotOpen;
  }
  const std::wstring native = win::Win32Path(target);

  // The old file's form carries over: a file without a mark is kept in the
  // ANSI code page, which is what the starter program wrote it in; one with
  // a mark, and a new file, are written in UTF-16, which loses nothing.
  TextEncoding encoding = TextEncoding::Utf16LE;
  if (existed) {
    bool opened = false;
    const bool marked = HasByteOrderMark(native, opened);
    if (!opened) return ReplaceResult::CannotOpen;
    if (!marked) encoding = TextEncoding::MultiByte;
  }

  win::TemporaryFile temporary;
  bool lossy = false;
  ReplaceResult written = WriteSibling(ParentPath(target, PathStyle::Windows), encoding, write, temporary, lossy);
  if (written == ReplaceResult::Replaced && encoding == TextEncoding::MultiByte && lossy) {
    // The code page cannot carry what is to be written (a directory named in
    // another script, say): rather than store stand-ins for its letters, the
    // file changes to UTF-16, which every reader of these files takes.
    win::TemporaryFile unicode;
    written = WriteSibling(ParentPath(target, PathStyle::Windows), TextEncoding::Utf16LE, write, unicode, lossy);
    if (written == ReplaceResult::Replaced) swap(temporary, unicode);
  }
  if (written != ReplaceResult::Replaced) return written;
  // A file that holds these very bytes already stays as it is: nothing is
  // moved and nothing waits for the disk.
  const std::wstring& made = temporary.Path();
  if (existed && SameFileBytes(std::u16string(made.begin(), made.end()), target)) return ReplaceResult::Replaced;
  if (!FlushFileAt(temporary.Path())) return ReplaceResult::CannotWrite;
  if (existed) {
    // A hidden or system file stays one.
    const DWORD kept = old.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (kept != 0 && !SETUP_FILE_CALL(FALSE, SetFileAttributesW, temporary.Path().c_str(), kept)) {
      return ReplaceResult::CannotWrite;
    }
  }
  if (!SETUP_FILE_CALL(FALSE, MoveFileExW, temporary.Path().c_str(), native.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return ReplaceResult::CannotWrite;
  }
  temporary.Keep();
  return ReplaceResult::Replaced;
}

}  // namespace setup
