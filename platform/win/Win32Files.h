#pragma once
// What the Windows half of the file layer shares between its files: paths as
// the system takes them, and the test hook in front of every file call.
#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>

#include "platform/ErrorCodes.h"
#include "platform/win/FileCallHook.h"

namespace setup::win {

extern std::atomic<test::FileCallHook> gFileCallHook;

// True when the test hook wants `function` to fail; the last error is then
// the hook's code. Otherwise the last error is left as it was, so that a
// hook doing file work of its own cannot leak a code into the real call.
inline bool Injected(const char* function) {
  const test::FileCallHook hook = gFileCallHook.load(std::memory_order_acquire);
  if (!hook) return false;
  const DWORD saved = GetLastError();
  const DWORD code = hook(function);
  SetLastError(code != 0 ? code : saved);
  return code != 0;
}

// Runs a Win32 file call unless the test hook fails it, in which case the
// call's own failure value stands in for its result.
#define SETUP_FILE_CALL(failure, function, ...) \
  (::setup::win::Injected(#function) ? (failure) : ::function(__VA_ARGS__))

// The path as Win32 takes it: "/" becomes "\", and a path whose full form is
// too long for the classic limit gets the "\\?\" (or "\\?\UNC\") prefix, so
// deep template trees are no problem. Paths that already carry a prefix are
// taken as they are.
std::wstring Win32Path(std::u16string_view path);

// The absolute form of `path` ("." and ".." resolved, the working directory
// in front), or `path` itself when the system cannot form one.
std::wstring FullPath(const std::wstring& path);

inline std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
inline std::u16string Narrow(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// The last error, never 0: a call that failed without saying why still failed.
inline ErrorCode LastFailure() {
  const DWORD code = GetLastError();
  if (code != 0) return code;
  SetLastError(kErrorInvalidParameter);
  return kErrorInvalidParameter;
}

inline uint64_t FromFileTime(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline FILETIME ToFileTime(uint64_t time) {
  FILETIME result;
  result.dwLowDateTime = static_cast<DWORD>(time);
  result.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return result;
}

// Any reparse point counts as a link: symbolic links, junctions and mount
// points stand for another place, and Wine shows a Unix symbolic link to a
// directory as a reparse point without a tag. Treating a placeholder of a
// cloud folder as a link too only means it is not descended into, which is
// the safe side: a tree is never deleted through a link.
inline bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Deletes a file, clearing a read-only attribute that would stop it. 0 when
// the file is gone afterwards, missing included.
ErrorCode DeletePlainFile(const std::wstring& path);

// A file written beside its final place: removed on every path that does not
// hand it over with Keep. Declared before the handle or stream writing to it,
// so that they close first.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile() {
    if (!path_.empty()) DeletePlainFile(path_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  void Set(std::wstring path) { path_ = std::move(path); }
  const std::wstring& Path() const { return path_; }
  void Keep() { path_.clear(); }
  friend void swap(TemporaryFile& a, TemporaryFile& b) noexcept { a.path_.swap(b.path_); }

 private:
  std::wstring path_;
};

// A name nobody is likely to have taken: 8 hexadecimal digits.
std::u16string UniqueSuffix();

}  // namespace setup::win
