// The POSIX half of the test helpers: scratch directories made with mkdtemp,
// times through stat and utimensat, the environment through setenv.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "TestSupport.h"
#include "platform/FileOps.h"

namespace setup::test {

ScratchDir::ScratchDir() {
  std::string pattern = TemporaryDirectory() + "/scratchXXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + TemporaryDirectory());
  path_ = pattern;
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  // Tests may leave read-only directories behind; make them removable.
  std::vector<std::string> dirs{path};
  for (size_t i = 0; i < dirs.size(); ++i) {
    chmod(dirs[i].c_str(), 0700);
    for (const std::string& name : ListDir(dirs[i])) {
      struct stat st;
      const std::string child = dirs[i] + "/" + name;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) dirs.push_back(child);
    }
  }
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

uint64_t WriteTimeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

bool SetWriteTime(const std::string& path, uint64_t fileTime) {
  int64_t seconds = 0, nanoseconds = 0;
  FileTimeToUnix(fileTime, seconds, nanoseconds);
  const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string TemporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

ScopedTemporaryDirectory::ScopedTemporaryDirectory(const std::string& directory) {
  if (const char* old = std::getenv("TMPDIR")) saved_["TMPDIR"] = old;
  else unset_.push_back("TMPDIR");
  setenv("TMPDIR", directory.c_str(), 1);
}

void SetEnvironment(const std::string& name, const char* value) {
  if (value) setenv(name.c_str(), value, 1);
  else unsetenv(name.c_str());
}

const char* GetEnvironment(const std::string& name) { return std::getenv(name.c_str()); }

void MakePrivate(const std::string& path) { chmod(path.c_str(), 0700); }

}  // namespace setup::test
