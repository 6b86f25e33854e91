#include "platform/Console.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/Text.h"

namespace setup {
namespace {

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// A program of the Windows subsystem starts without standard handles unless
// its starter passed some (a redirection does). Started from a console
// window, it may write to that console once it has attached to it.
HANDLE StandardHandle(StandardStream stream) {
  const DWORD which = stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
  HANDLE handle = GetStdHandle(which);
  if (Usable(handle)) return handle;
  static const HANDLE console = [] {
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED) return INVALID_HANDLE_VALUE;
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }();
  return console;
}

}  // namespace

bool WriteStandard(StandardStream stream, std::string_view utf8) {
  const HANDLE handle = StandardHandle(stream);
  if (!Usable(handle)) return false;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    // UTF-16 shows right whatever the console's code page.
    const std::u16string wide = Utf8ToUtf16(utf8);
    const auto* next = reinterpret_cast<const wchar_t*>(wide.data());
    for (size_t left = wide.size(); left > 0;) {
      DWORD written = 0;
      if (!WriteConsoleW(handle, next, DWORD(std::min<size_t>(left, 8192)), &written, nullptr) || written == 0) {
        return false;
      }
      next += written;
      left -= written;
    }
    return true;
  }
  while (!utf8.empty()) {
    DWORD written = 0;
    if (!WriteFile(handle, utf8.data(), DWORD(std::min<size_t>(utf8.size(), 1 << 20)), &written, nullptr) ||
        written == 0) {
      return false;
    }
    utf8.remove_prefix(written);
  }
  return true;
}

}  // namespace setup
