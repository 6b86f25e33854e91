// The POSIX half of okdpack's files: opendir and fstatat for the walk,
// read(2) for the files, and a kit written under mkostemp's name and
// renamed into place. Messages carry strerror's text.
#include "TreeFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/PosixFiles.h"

namespace okdpack {

namespace {

using setup::posix::Descriptor;
using setup::posix::RetryOnInterrupt;

std::string ErrnoText(int error) { return std::strerror(error); }

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

class Walker {
 public:
  Walker(const std::string& directory, const TreeFileSink& sink, dev_t skipDevice, ino_t skipInode, bool skip)
      : directory_(directory), sink_(sink), skipDevice_(skipDevice), skipInode_(skipInode), skip_(skip) {}

  bool Walk(const std::string& relative, std::string& message) {
    std::string path = relative.empty() ? directory_ : JoinedPath(directory_, relative);
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    if (!dir) {
      message = path + ": cannot read the directory: " + ErrnoText(errno);
      return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = readdir(dir.get())) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
      errno = 0;
    }
    if (errno) {
      message = path + ": cannot read the directory: " + ErrnoText(errno);
      return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string childRelative = relative.empty() ? name : relative + "/" + name;
      std::string childPath = JoinedPath(directory_, childRelative);
      struct stat st;
      if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        message = childPath + ": " + ErrnoText(errno);
        return false;
      }
      if (skip_ && st.st_dev == skipDevice_ && st.st_ino == skipInode_) continue;  // the kit itself
      if (S_ISDIR(st.st_mode)) {
        if (!Walk(childRelative, message)) return false;
      } else if (S_ISREG(st.st_mode)) {
        TreeFile file;
        file.relative = std::move(childRelative);
        file.size = uint64_t(st.st_size);
        file.time = setup::FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        if (!sink_(std::move(file), message)) return false;
      } else if (S_ISLNK(st.st_mode)) {
        message = childPath + ": is a symbolic link; a kit holds only regular files";
        return false;
      } else {
        message = childPath + ": is not a regular file or directory";
        return false;
      }
    }
    return true;
  }

 private:
  const std::string& directory_;
  const TreeFileSink& sink_;
  dev_t skipDevice_;
  ino_t skipInode_;
  bool skip_;
};

}  // namespace

bool WalkTree(const std::string& directory, const std::string& kit, const TreeFileSink& sink, std::string& message) {
  struct stat kitStat;
  bool kitExists = ::stat(kit.c_str(), &kitStat) == 0;
  struct stat dirStat;
  if (::stat(directory.c_str(), &dirStat) != 0) {
    message = directory + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISDIR(dirStat.st_mode)) {
    message = directory + ": is not a directory";
    return false;
  }
  Walker walker(directory, sink, kitExists ? kitStat.st_dev : 0, kitExists ? kitStat.st_ino : 0, kitExists);
  return walker.Walk("", message);
}

struct SourceFile::State {
  Descriptor fd;
  std::string path;
};

SourceFile::SourceFile() : state_(std::make_unique<State>()) {}
SourceFile::~SourceFile() = default;

bool SourceFile::Open(const std::string& path, std::string& message) {
  state_->path = path;
  state_->fd.Reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!state_->fd.Valid()) {
    message = path + ": cannot open: " + ErrnoText(errno);
    return false;
  }
  posix_fadvise(state_->fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

bool SourceFile::Read(void* buffer, size_t size, size_t& got, std::string& message) {
  got = 0;
  const ssize_t n = RetryOnInterrupt([&] { return ::read(state_->fd.Get(), buffer, size); });
  if (n < 0) {
    message = state_->path + ": cannot read: " + ErrnoText(errno);
    return false;
  }
  got = size_t(n);
  return true;
}

struct KitFile::State {
  std::string path;
  std::string temporary;  // removed unless committed
  Descriptor fd;

  ~State() {
    if (!temporary.empty()) ::unlink(temporary.c_str());
  }
};

KitFile::KitFile() : state_(std::make_unique<State>()) {}
KitFile::~KitFile() = default;

bool KitFile::Create(const std::string& path, std::string& message) {
  State& s = *state_;
  s.path = path;
  std::string temporary = path + ".XXXXXX";
  s.fd.Reset(mkostemp(temporary.data(), O_CLOEXEC));
  if (!s.fd.Valid()) {
    message = path + ": cannot create: " + ErrnoText(errno);
    return false;
  }
  s.temporary = std::move(temporary);
  // mkostemp makes the file private; a kit is for everyone the umask allows.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(s.fd.Get(), 0666 & ~mask);
  return true;
}

bool KitFile::Write(const void* data, size_t size, std::string& message) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::write(state_->fd.Get(), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      message = state_->path + ": cannot write: " + ErrnoText(n < 0 ? errno : ENOSPC);
      return false;
    }
    bytes += n;
    size -= size_t(n);
  }
  return true;
}

bool KitFile::Commit(std::string& message) {
  State& s = *state_;
  if (int error = s.fd.Close()) {
    message = s.path + ": cannot write: " + ErrnoText(error);
    return false;
  }
  if (::rename(s.temporary.c_str(), s.path.c_str()) != 0) {
    message = s.path + ": cannot create: " + ErrnoText(errno);
    return false;
  }
  s.temporary.clear();
  return true;
}

}  // namespace okdpack
