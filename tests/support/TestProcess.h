#pragma once
// Child processes started without waiting, and runs under the
// fault-injection library: Linux only (TestSupport.h includes this there).
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace setup::test {

// Starts a child without waiting for it; its output goes to the given files.
// Returns its process id, or -1.
int StartProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& outFile, const std::string& errFile, const std::string& cwd = "");
// Waits at most `seconds` for a child of StartProcess, killing it after that;
// the status as RunProcess gives it.
int WaitProcess(int pid, int seconds);

// The path of the fault-injection library (FAULTINJECT_LIB); throws when unset.
std::string FaultInjectionLibrary();

// The environment that preloads `library` into a child: LD_PRELOAD, and
// ASAN_OPTIONS (the caller's, kept) told that a sanitizer build need not come
// first in the library list.
std::map<std::string, std::string> PreloadEnvironment(const std::string& library);

// What the fault-injection library saw in one run.
struct FaultRun {
  ProcessResult process;
  long calls = 0;          // watched calls made by the child
  std::string failed;      // the function that was made to fail, or "-"
};

// Runs argv under the fault-injection library, failing the nth watched call
// (0: none) of `functions` (comma-separated; empty: all) with `error`.
FaultRun RunWithFault(const std::vector<std::string>& argv, long nth, int error,
                      const std::string& functions = "",
                      std::map<std::string, std::string> env = {});

}  // namespace setup::test
