#pragma once
// Windows-only helpers for the tests: file attributes, another program's
// open handle, and what this system does about read-only files. Set up
// through plain Win32 calls, never through the file layer under test.
#include <windows.h>

#include <string>

namespace setup::test {

std::wstring WidePath(const std::string& utf8);

bool SetReadOnly(const std::string& path, bool readOnly = true);
bool IsReadOnly(const std::string& path);

// Whether this system refuses to open a read-only file for writing. Windows
// does; Wine leaves the check to the Unix permission bits, which do not stop
// root. `directory` is where a probe file is made and removed again.
bool ReadOnlyFilesRefuseWriting(const std::string& directory);

// Holds a file open as another program would: by default with no sharing at
// all, so that opening, moving or deleting it elsewhere fails with 32.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path, DWORD share = 0);
  ~HeldOpen();
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Close();

 private:
  HANDLE handle_;
};

// A fresh directory on drive D: (which scripts/wine-env maps to a scratch
// directory) for one test, removed with its contents afterwards; Path() is
// empty when there is no usable drive D:.
class DriveDScratch {
 public:
  DriveDScratch();
  ~DriveDScratch();
  DriveDScratch(const DriveDScratch&) = delete;
  DriveDScratch& operator=(const DriveDScratch&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace setup::test
