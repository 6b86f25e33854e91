// The Windows half of the test helpers: wide-character Win32 calls, so that
// the tests set up their files without going through the file layer they test.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "TestSupport.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

std::wstring W(const std::string& utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::string U8(const std::wstring& wide) { return Utf16ToUtf8(std::u16string(wide.begin(), wide.end())); }

std::wstring EnvironmentValue(const wchar_t* name, bool& present) {
  present = false;
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length);
  present = true;
  return value;
}

// Read-only files and folders cannot be deleted; the tests make some.
void ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") ClearReadOnly(path + L"\\" + name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

}  // namespace

ScratchDir::ScratchDir() {
  const std::string base = TemporaryDirectory();
  static LONG counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = base + "\\scratch" + std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(InterlockedIncrement(&counter));
    if (CreateDirectoryW(W(candidate).c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot make a scratch directory in " + base);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  ClearReadOnly(W(path));
  std::error_code error;
  std::filesystem::remove_all(std::filesystem::path(W(path)), error);
}

uint64_t WriteTimeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool SetWriteTime(const std::string& path, uint64_t fileTime) {
  // Backup semantics let a directory be opened too.
  const HANDLE handle = CreateFileW(W(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(fileTime);
  time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  const bool set = SetFileTime(handle, nullptr, &time, &time);
  CloseHandle(handle);
  return set;
}

std::string TemporaryDirectory() {
  bool present = false;
  std::wstring tmp = EnvironmentValue(L"TMP", present);
  if (!present || tmp.empty()) tmp = EnvironmentValue(L"TEMP", present);
  if (!present || tmp.empty()) throw std::runtime_error("neither TMP nor TEMP is set");
  while (tmp.size() > 3 && (tmp.back() == L'\\' || tmp.back() == L'/')) tmp.pop_back();
  return U8(tmp);
}

ScopedTemporaryDirectory::ScopedTemporaryDirectory(const std::string& directory) {
  // GetTempPathW takes TMP first and TEMP after it; both are set, so neither
  // can lead out of the test's directory.
  for (const char* name : {"TMP", "TEMP"}) {
    if (const char* old = GetEnvironment(name)) saved_[name] = old;
    else unset_.push_back(name);
    SetEnvironment(name, directory.c_str());
  }
}

void SetEnvironment(const std::string& name, const char* value) {
  // The C library keeps its own copy of the environment; _wputenv_s updates
  // both it and the process's, and SetEnvironmentVariableW makes sure of the
  // latter, which is what GetTempPathW and the system read.
  const std::wstring wideName = W(name);
  if (value) {
    const std::wstring wideValue = W(value);
    _wputenv_s(wideName.c_str(), wideValue.c_str());
    SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str());
  } else {
    _wputenv_s(wideName.c_str(), L"");
    SetEnvironmentVariableW(wideName.c_str(), nullptr);
  }
}

const char* GetEnvironment(const std::string& name) {
  // Values are handed out as UTF-8 and kept, so the pointer stays valid as
  // std::getenv's would.
  static thread_local std::map<std::string, std::string> values;
  bool present = false;
  const std::wstring value = EnvironmentValue(W(name).c_str(), present);
  if (!present) return nullptr;
  return (values[name] = U8(value)).c_str();
}

void MakePrivate(const std::string&) {}

}  // namespace setup::test
