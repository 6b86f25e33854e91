// The user's roaming and the common application-data folders, asked of the
// shell, with the environment as the last resort.
#include "platform/ApplicationData.h"

#include <windows.h>
#include <shlobj.h>
#include <winnetwk.h>

#include <vector>

namespace setup {
namespace {

std::u16string Narrow(const wchar_t* text) {
  std::u16string result;
  for (; *text; ++text) result.push_back(static_cast<char16_t>(*text));
  return result;
}

std::u16string KnownFolder(bool allUsers) {
  PWSTR path = nullptr;
  // Created when missing, and the folder's real path rather than an alias.
  const HRESULT result = SHGetKnownFolderPath(allUsers ? FOLDERID_ProgramData : FOLDERID_RoamingAppData,
                                              KF_FLAG_CREATE | KF_FLAG_NO_ALIAS, nullptr, &path);
  std::u16string folder;
  if (SUCCEEDED(result) && path) folder = Narrow(path);
  CoTaskMemFree(path);  // the shell may hand out memory even when it fails
  return folder;
}

std::u16string OlderShellFolder(bool allUsers) {
  wchar_t path[MAX_PATH] = {};
  const int which = (allUsers ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA) | CSIDL_FLAG_CREATE;
  if (FAILED(SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
  return Narrow(path);
}

std::u16string Environment(const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};
    if (n < value.size()) {
      value.resize(n);
      return std::u16string(value.begin(), value.end());
    }
    value.resize(n);  // n is the size needed, with the terminating null
  }
}

bool EndsWithSeparator(const std::u16string& path) {
  return !path.empty() && (path.back() == u'\\' || path.back() == u'/');
}

// `folder` followed by `rest`; empty without a folder.
std::u16string Below(const std::u16string& folder, const std::u16string& rest) {
  return folder.empty() ? std::u16string() : folder + rest;
}

}  // namespace

std::u16string ApplicationDataFolder(bool allUsers) {
  std::u16string folder = KnownFolder(allUsers);
  if (folder.empty()) folder = OlderShellFolder(allUsers);
  if (folder.empty()) {
    folder = Environment(allUsers ? L"ALLUSERSPROFILE" : L"APPDATA");
    if (folder.empty()) return {};
    if (!EndsWithSeparator(folder)) folder.push_back(u'\\');
    // The all-users profile of the older systems keeps its data one level down.
    if (allUsers) folder += u"Application Data\\";
  }
  if (!EndsWithSeparator(folder)) folder.push_back(u'\\');
  return folder;
}

StarterLocations StarterFileLocations() {
  const std::u16string user = ApplicationDataFolder(false);
  const std::u16string allUsers = ApplicationDataFolder(true);
  return {
      Below(user, u"Orvik\\OrvikStart\\orvikstart.cfg"),
      Below(allUsers, u"Orvik\\OrvikStart\\orvikstart.cfg"),
      Below(user, u"Orvik\\OrvikStartt\\orvikstart.cfg"),
      // Windows keeps the default templates with the user, not with all users.
      Below(user, u"Orvik\\orvikv8\\tmplts\\"),
  };
}

bool IsNetworkPath(const std::u16string& path) {
  if (path.size() >= 2 && (path[0] == u'\\' || path[0] == u'/') && (path[1] == u'\\' || path[1] == u'/')) {
    return true;
  }
  if (path.empty()) return false;
  const std::wstring native(path.begin(), path.end());
  // A mapped network drive resolves to a universal name; a local path does not.
  std::vector<unsigned char> buffer(sizeof(UNIVERSAL_NAME_INFOW) + (native.size() + MAX_PATH) * sizeof(wchar_t));
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD result = WNetGetUniversalNameW(native.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
    if (result == NO_ERROR) return true;
    if (result != ERROR_MORE_DATA || size <= buffer.size()) return false;
    buffer.resize(size);
  }
  return false;
}

}  // namespace setup
