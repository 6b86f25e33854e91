#include "wizard/win/Win32LanguageSystem.h"

#include <windows.h>

namespace setup {

uint16_t Win32LanguageSystem::UserDefaultLangId() { return GetUserDefaultLangID(); }

uint16_t Win32LanguageSystem::SystemDefaultLangId() { return GetSystemDefaultLangID(); }

WindowsLanguageSystem::VersionQuery Win32LanguageSystem::QueryVersion(uint32_t recordSize, uint32_t& majorVersion) {
  // Looked up at run time: newer headers deprecate it, and a system without
  // it is answered by the caller's fallback.
  using GetVersionExFunction = BOOL(WINAPI*)(OSVERSIONINFOW*);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto getVersion = kernel ? reinterpret_cast<GetVersionExFunction>(
                                 reinterpret_cast<void*>(GetProcAddress(kernel, "GetVersionExW")))
                           : nullptr;
  if (!getVersion) return VersionQuery::kFunctionMissing;
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = recordSize <= sizeof info ? recordSize : sizeof info;
  if (!getVersion(reinterpret_cast<OSVERSIONINFOW*>(&info))) return VersionQuery::kCallFailed;
  majorVersion = info.dwMajorVersion;
  return VersionQuery::kSucceeded;
}

bool Win32LanguageSystem::QueryLocaleNumber(uint32_t locale, uint32_t infoType, int characters, uint32_t& number) {
  // With LOCALE_RETURN_NUMBER in the type the answer is a DWORD written into
  // the buffer, which is two characters long.
  WCHAR buffer[2] = {};
  const int room = characters < 2 ? 2 : characters;
  if (GetLocaleInfoW(locale, infoType, buffer, room) == 0) return false;
  DWORD value = 0;
  static_assert(sizeof value == sizeof buffer);
  memcpy(&value, buffer, sizeof value);
  number = value;
  return true;
}

}  // namespace setup
