#pragma once
// For tests only: lets a test fail any Win32 file call of the file layer, one
// at a time, to check that every failure is reported and rolled back. The
// program never sets a hook; each call then costs one null check.
#include <windows.h>

namespace setup::test {

// Called before each Win32 file call with the call's name ("CreateFileW",
// "MoveFileExW", ...). 0 lets the call run; any other value makes it fail
// with that code, as the real call would: its failure result, and the code
// from GetLastError. May be called on the worker thread.
using FileCallHook = DWORD (*)(const char* function);

// nullptr removes the hook.
void SetFileCallHook(FileCallHook hook);

}  // namespace setup::test
