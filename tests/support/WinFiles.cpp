#include "WinFiles.h"

#include <atomic>

#include "TestSupport.h"
#include "platform/Text.h"

namespace setup::test {

std::wstring WidePath(const std::string& utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  const std::wstring wide = WidePath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD wanted = readOnly ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(wide.c_str(), wanted) != FALSE;
}

bool IsReadOnly(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool ReadOnlyFilesRefuseWriting(const std::string& directory) {
  const std::string probe = directory + "\\read-only probe";
  WriteFile(probe, "");
  bool refused = false;
  if (SetReadOnly(probe)) {
    const HANDLE handle = CreateFileW(WidePath(probe).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    refused = handle == INVALID_HANDLE_VALUE;
    if (!refused) CloseHandle(handle);
  }
  SetReadOnly(probe, false);
  DeleteFileW(WidePath(probe).c_str());
  return refused;
}

HeldOpen::HeldOpen(const std::string& path, DWORD share)
    : handle_(CreateFileW(WidePath(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}

HeldOpen::~HeldOpen() { Close(); }

void HeldOpen::Close() {
  if (Valid()) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

DriveDScratch::DriveDScratch() {
  if (GetDriveTypeW(L"D:\\") != DRIVE_FIXED) return;
  static std::atomic<int> counter{0};
  const std::string candidate = "D:\\setup-tests-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(++counter);
  if (CreateDirectoryW(WidePath(candidate).c_str(), nullptr)) path_ = candidate;
}

DriveDScratch::~DriveDScratch() {
  if (!path_.empty()) RemoveTree(path_);
}

}  // namespace setup::test
