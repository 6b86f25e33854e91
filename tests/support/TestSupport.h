#pragma once
// Helpers shared by the tests on both builds: scratch directories, whole-file
// I/O, last-write times, the temporary directory and running a program. Paths
// are UTF-8; on Windows they are converted to wide text for the system, so
// Cyrillic and CJK names work there too. Fault injection and the other ways
// of starting processes are a Linux matter (TestProcess.h).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace setup::test {

// A fresh directory in the temporary directory (which TestMain points into the
// build tree), removed with everything in it when the object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  // `name` below the directory, which may hold "/"; on Windows every "/"
  // becomes "\", so the result is a native path.
  std::string operator/(const std::string& name) const;
  std::u16string Wide(const std::string& name = "") const;

 private:
  std::string path_;
};

// The platform's own form of a UTF-8 path: "/" becomes "\" on Windows.
std::string NativePath(std::string path);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// Something stands at the path; a symbolic link counts, even to nothing.
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// The size of a file, even one another handle holds open; -1 when there is none.
int64_t FileSizeOf(const std::string& path);
void MakeDirs(const std::string& path);
// Takes all access away from other users, as the program does for its own
// workspaces; nothing to do on Windows.
void MakePrivate(const std::string& path);
// Removes a tree (read-only entries included), never following links.
void RemoveTree(const std::string& path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> ListDir(const std::string& path);

// Last-write times in 100-nanosecond ticks since 1601, read and set straight
// through the system (not through the file layer under test). Setting one
// also sets the access time. 0 when the time cannot be read.
uint64_t WriteTimeOf(const std::string& path);
bool SetWriteTime(const std::string& path, uint64_t fileTime);

// The temporary directory the tests are run with (TMPDIR on Linux, TMP on
// Windows), without a trailing separator.
std::string TemporaryDirectory();

// Points the temporary directory (TMPDIR; on Windows TMP and TEMP, which
// GetTempPathW reads) at `directory` for the object's lifetime.
class ScopedTemporaryDirectory {
 public:
  explicit ScopedTemporaryDirectory(const std::string& directory);
  ~ScopedTemporaryDirectory();
  ScopedTemporaryDirectory(const ScopedTemporaryDirectory&) = delete;
  ScopedTemporaryDirectory& operator=(const ScopedTemporaryDirectory&) = delete;

 private:
  std::map<std::string, std::string> saved_;  // name -> value; absent names were unset
  std::vector<std::string> unset_;
};

struct ProcessResult {
  int status = -1;     // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] with the given extra environment (name -> value; an empty
// value removes the variable), capturing its output; `cwd` (when not empty)
// is its working directory. On Windows the arguments (UTF-8) are quoted so
// that the C runtime splits the command line back into them.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& input = "", const std::string& cwd = "");

// Sets (or, with nullptr, removes) an environment variable in this process,
// for the C library and, on Windows, for the system calls that read it.
void SetEnvironment(const std::string& name, const char* value);
// The variable's value, or nullptr when it is not set.
const char* GetEnvironment(const std::string& name);

}  // namespace setup::test

#ifndef _WIN32
#include "TestProcess.h"
#endif
