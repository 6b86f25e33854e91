// Directory enumeration with FindFirstFileW, and the existence test of one path.
#include "platform/FileFinder.h"

#include <windows.h>

#include "platform/win/Win32Files.h"

namespace setup {

struct FileFinder::State {
  HANDLE find = INVALID_HANDLE_VALUE;
  std::u16string name;
  DWORD attributes = 0;
  bool link = false;
  bool failed = false;

  void Take(const WIN32_FIND_DATAW& data) {
    name = win::Narrow(data.cFileName);
    attributes = data.dwFileAttributes;
    link = win::IsLink(data.dwFileAttributes);
  }
};

FileFinder::FileFinder() : state_(std::make_unique<State>()) {}

FileFinder::~FileFinder() { Close(); }

void FileFinder::Close() {
  if (state_->find != INVALID_HANDLE_VALUE) {
    FindClose(state_->find);
    state_->find = INVALID_HANDLE_VALUE;
  }
}

const std::u16string& FileFinder::FoundName() const { return state_->name; }

uint32_t FileFinder::FoundAttributes() const {
  return (state_->attributes & FILE_ATTRIBUTE_DIRECTORY) ? kFileAttributeDirectory : 0;
}

bool FileFinder::FoundIsSymbolicLink() const { return state_->link; }

bool FileFinder::Failed() const { return state_->failed; }

bool FileFinder::FindFirst(const std::u16string& pattern) {
  Close();
  State& s = *state_;
  s.name.clear();
  s.attributes = 0;
  s.link = false;
  s.failed = false;
  const std::u16string_view mask = FileName(pattern, PathStyle::Windows);
  const std::wstring native = win::Win32Path(pattern);

  if (mask.find(u'*') == std::u16string_view::npos) {
    // No enumeration: the path is looked at as it is written, so "?" is no
    // wildcard, and a drive's root, which FindFirstFileW cannot find, is found.
    s.name = std::u16string(mask);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!SETUP_FILE_CALL(FALSE, GetFileAttributesExW, native.c_str(), GetFileExInfoStandard, &data)) return false;
    s.attributes = data.dwFileAttributes;
    s.link = win::IsLink(data.dwFileAttributes);
    return true;
  }
  WIN32_FIND_DATAW data;
  s.find = SETUP_FILE_CALL(INVALID_HANDLE_VALUE, FindFirstFileW, native.c_str(), &data);
  if (s.find == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    s.failed = code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && code != ERROR_NO_MORE_FILES;
    return false;
  }
  s.Take(data);
  return true;
}

bool FileFinder::FindNext() {
  State& s = *state_;
  if (s.find == INVALID_HANDLE_VALUE) return false;
  WIN32_FIND_DATAW data;
  if (!SETUP_FILE_CALL(FALSE, FindNextFileW, s.find, &data)) {
    s.failed = GetLastError() != ERROR_NO_MORE_FILES;
    Close();
    return false;
  }
  s.Take(data);
  return true;
}

}  // namespace setup
