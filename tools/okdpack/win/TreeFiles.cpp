// The Win32 half of okdpack's files: FindFirstFileExW for the walk, CreateFileW
// for the files, and a kit written beside its place and moved over it with
// MoveFileExW. Paths are UTF-8 here and become wide text at each call;
// messages carry the system's text and its code.
#include "TreeFiles.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/Text.h"
#include "platform/win/Win32Files.h"

namespace okdpack {

namespace {

using setup::win::FromFileTime;

std::wstring NativePath(const std::string& path) { return setup::win::Win32Path(setup::Utf8ToUtf16(path)); }

// "The system cannot find the file specified (error 2)".
std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string wide;
  if (length != 0 && text != nullptr) wide.assign(text, text + length);
  if (text != nullptr) LocalFree(text);
  // One line, without the closing full stop the system puts there.
  while (!wide.empty() && (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u' ' || wide.back() == u'.')) {
    wide.pop_back();
  }
  for (char16_t& c : wide) {
    if (c == u'\r' || c == u'\n') c = u' ';
  }
  std::string out = setup::Utf16ToUtf8(wide);
  if (!out.empty()) out += ' ';
  out += "(error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

std::string Failed(const std::string& path, const char* what, DWORD code) {
  std::string message = path;
  message += what;
  message += SystemText(code);
  return message;
}

// Volume and file index say which file a path leads to, as device and inode
// do on Linux.
struct FileIdentity {
  DWORD volume = 0;
  uint64_t index = 0;
  uint64_t size = 0;
  setup::FileTime time = 0;
};

bool IdentityOf(const std::string& path, FileIdentity& identity) {
  const HANDLE handle = CreateFileW(NativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != FALSE;
  CloseHandle(handle);
  if (!known) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity.time = FromFileTime(info.ftLastWriteTime);
  return true;
}

struct Entry {
  std::string name;  // UTF-8, which is also the order of the walk
  std::u16string wide;
  DWORD attributes = 0;
  uint64_t size = 0;
  setup::FileTime time = 0;
};

class Walker {
 public:
  Walker(const std::string& directory, const TreeFileSink& sink, const FileIdentity* kit)
      : directory_(directory), sink_(sink), kit_(kit) {}

  bool Walk(const std::string& relative, std::string& message) {
    std::string path = relative.empty() ? directory_ : JoinedPath(directory_, relative);
    std::vector<Entry> entries;
    if (!Read(path, entries, message)) return false;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (Entry& entry : entries) {
      std::string childRelative = relative;
      if (!childRelative.empty()) childRelative += '/';
      childRelative += entry.name;
      std::string childPath = JoinedPath(directory_, childRelative);
      // A lone surrogate has no UTF-8 form, so the name could not be
      // stored, printed or even opened again.
      if (setup::Utf8ToUtf16(entry.name) != entry.wide) {
        message = childPath + ": the name is not valid Unicode text";
        return false;
      }
      if (setup::win::IsLink(entry.attributes)) {
        message = childPath + ": is a link (a reparse point); a kit holds only regular files";
        return false;
      }
      if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!Walk(childRelative, message)) return false;
      } else if (entry.attributes & FILE_ATTRIBUTE_DEVICE) {
        message = childPath + ": is not a regular file or directory";
        return false;
      } else {
        if (IsKit(childPath, entry)) continue;
        TreeFile file;
        file.relative = std::move(childRelative);
        file.size = entry.size;
        file.time = entry.time;
        if (!sink_(std::move(file), message)) return false;
      }
    }
    return true;
  }

 private:
  static bool Read(const std::string& path, std::vector<Entry>& entries, std::string& message) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(NativePath(JoinedPath(path, "*")).c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      // A drive's root has no "." and "..", so an empty one has no entry at all.
      if (code == ERROR_FILE_NOT_FOUND) return true;
      message = Failed(path, ": cannot read the directory: ", code);
      return false;
    }
    do {
      const std::wstring_view name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      Entry entry;
      entry.wide = setup::win::Narrow(name);
      entry.name = setup::Utf16ToUtf8(entry.wide);
      entry.attributes = data.dwFileAttributes;
      entry.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      entry.time = FromFileTime(data.ftLastWriteTime);
      entries.push_back(std::move(entry));
    } while (FindNextFileW(find, &data));
    const DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES) {
      message = Failed(path, ": cannot read the directory: ", code);
      return false;
    }
    return true;
  }

  // Only a file of the kit's size and time can be the kit, so only those
  // are opened to compare identities.
  bool IsKit(const std::string& path, const Entry& entry) const {
    if (kit_ == nullptr || entry.size != kit_->size || entry.time != kit_->time) return false;
    FileIdentity identity;
    return IdentityOf(path, identity) && identity.volume == kit_->volume && identity.index == kit_->index;
  }

  const std::string& directory_;
  const TreeFileSink& sink_;
  const FileIdentity* kit_;
};

}  // namespace

bool WalkTree(const std::string& directory, const std::string& kit, const TreeFileSink& sink, std::string& message) {
  FileIdentity kitIdentity;
  const bool kitExists = IdentityOf(kit, kitIdentity);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(NativePath(directory).c_str(), GetFileExInfoStandard, &data)) {
    message = Failed(directory, ": ", GetLastError());
    return false;
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    message = directory + ": is not a directory";
    return false;
  }
  Walker walker(directory, sink, kitExists ? &kitIdentity : nullptr);
  return walker.Walk("", message);
}

struct SourceFile::State {
  setup::ScopedFileHandle handle;
  std::string path;
};

SourceFile::SourceFile() : state_(std::make_unique<State>()) {}
SourceFile::~SourceFile() = default;

bool SourceFile::Open(const std::string& path, std::string& message) {
  State& s = *state_;
  s.path = path;
  // The link itself, should one have taken the file's place since the walk.
  const HANDLE handle = CreateFileW(NativePath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    message = Failed(path, ": cannot open: ", GetLastError());
    return false;
  }
  s.handle.Reset(reinterpret_cast<setup::FileHandle>(handle));
  // Wine lists a FIFO or a device of the Unix side as a plain file; only
  // the open handle tells.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    message = path + ": is not a regular file or directory";
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    message = Failed(path, ": cannot open: ", GetLastError());
    return false;
  }
  if (setup::win::IsLink(info.dwFileAttributes)) {
    message = path + ": is a link (a reparse point); a kit holds only regular files";
    return false;
  }
  return true;
}

bool SourceFile::Read(void* buffer, size_t size, size_t& got, std::string& message) {
  uint32_t read = 0;
  const setup::ErrorCode code =
      setup::ReadFromFile(state_->handle.Get(), buffer, uint32_t(std::min<size_t>(size, 1u << 30)), read);
  got = read;
  if (code != 0) {
    message = Failed(state_->path, ": cannot read: ", code);
    return false;
  }
  return true;
}

struct KitFile::State {
  std::string path;
  setup::win::TemporaryFile temporary;  // before the handle, which must close first
  setup::ScopedFileHandle handle;
};

KitFile::KitFile() : state_(std::make_unique<State>()) {}
KitFile::~KitFile() = default;

bool KitFile::Create(const std::string& path, std::string& message) {
  State& s = *state_;
  s.path = path;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = path;
    name += '.';
    name += setup::Utf16ToUtf8(setup::win::UniqueSuffix());
    const std::wstring native = NativePath(name);
    const HANDLE handle =
        CreateFileW(native.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      s.temporary.Set(native);
      s.handle.Reset(reinterpret_cast<setup::FileHandle>(handle));
      return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      message = Failed(path, ": cannot create: ", code);
      return false;
    }
  }
  message = Failed(path, ": cannot create: ", ERROR_FILE_EXISTS);
  return false;
}

bool KitFile::Write(const void* data, size_t size, std::string& message) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const uint32_t piece = uint32_t(std::min<size_t>(size, 1u << 30));
    uint32_t written = 0;
    const setup::ErrorCode code = setup::WriteToFile(state_->handle.Get(), bytes, piece, written);
    if (code != 0) {
      message = Failed(state_->path, ": cannot write: ", code);
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

bool KitFile::Commit(std::string& message) {
  State& s = *state_;
  if (!CloseHandle(reinterpret_cast<HANDLE>(s.handle.Release()))) {
    message = Failed(s.path, ": cannot write: ", GetLastError());
    return false;
  }
  if (!MoveFileExW(s.temporary.Path().c_str(), NativePath(s.path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    message = Failed(s.path, ": cannot create: ", GetLastError());
    return false;
  }
  s.temporary.Keep();
  return true;
}

}  // namespace okdpack
