// The confined tree on Linux: every path below the root is reached folder by
// folder from an open descriptor of the root with O_NOFOLLOW, and the last
// folder is acted on with the *at calls, so a link put in place at any moment
// is never followed. The lock is flock(2) on the root's own descriptor: it
// belongs to the directory, not to a name in a temporary directory, so every
// user and every TMPDIR sees the same lock.
#include "platform/ConfinedTree.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Path.h"
#include "platform/Text.h"
#include "platform/linux/PosixFiles.h"

namespace setup {
namespace {

using posix::CodeFromErrno;
using posix::CopyEntry;
using posix::Descriptor;
using posix::RetryOnInterrupt;


// The folder part and the leaf of an absolute path, the folder opened.
struct Outside {
  Descriptor folder;
  std::string leaf;
};

int OpenOutside(const std::string& path, Outside& outside) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return EINVAL;
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  outside.leaf = path.substr(slash + 1);
  outside.folder.Reset(RetryOnInterrupt([&] { return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  return outside.folder.Valid() ? 0 : errno;
}

}  // namespace

struct ConfinedTree::Native {
  Descriptor root;
  std::string rootPath;  // as opened, without a trailing "/"
  // The folder of the last path, kept open: a kit's files come folder by
  // folder, so most paths need no walk at all.
  std::string cachedFolder;
  Descriptor cached;

  // Opens the folder part of `relative` (native, "/"-separated) without
  // following any link; `leaf` gets the last name. The descriptor stays owned
  // here (root or cache).
  int Parent(const std::u16string& relative, std::string& leaf, int& fd) {
    const std::string path = WideToMultiByte(relative);
    const size_t slash = path.rfind('/');
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return EINVAL;
    if (slash == std::string::npos) {
      fd = root.Get();
      return 0;
    }
    const std::string folder = path.substr(0, slash);
    if (cached.Valid() && folder == cachedFolder) {
      fd = cached.Get();
      return 0;
    }
    Descriptor current;
    int at = root.Get();
    for (size_t begin = 0; begin <= folder.size();) {
      size_t end = folder.find('/', begin);
      if (end == std::string::npos) end = folder.size();
      const std::string name = folder.substr(begin, end - begin);
      begin = end + 1;
      if (name.empty() || name == ".") continue;
      if (name == "..") return EINVAL;
      Descriptor next(RetryOnInterrupt(
          [&] { return openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
      if (!next.Valid()) {
        const int error = errno;
        // O_NOFOLLOW with O_DIRECTORY reports a link as "not a directory";
        // tell a link from a file in the way.
        struct stat st;
        if (error == ENOTDIR && fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
          return ELOOP;
        }
        return error;
      }
      current = std::move(next);
      at = current.Get();
    }
    cached = std::move(current);
    cachedFolder = folder;
    fd = cached.Valid() ? cached.Get() : root.Get();
    return 0;
  }

  void Forget() {
    cached.Reset();
    cachedFolder.clear();
  }
};

ConfinedTree::ConfinedTree() : native_(std::make_unique<Native>()) {}
ConfinedTree::~ConfinedTree() = default;

ErrorCode ConfinedTree::Open(const std::u16string& root) {
  Close();
  std::string path = WideToMultiByte(root);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path[0] != '/') return kErrorInvalidParameter;
  // The root is followed if it is a link: the user chose it.
  native_->root.Reset(RetryOnInterrupt([&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!native_->root.Valid()) return CodeFromErrno(errno);
  native_->rootPath = path;
  return 0;
}

ErrorCode ConfinedTree::OpenSame(const ConfinedTree& other) {
  Close();
  if (!other.IsOpen()) return kErrorInvalidHandle;
  // A duplicate shares the original's lock, and closing it leaves the lock
  // to the original.
  native_->root.Reset(fcntl(other.native_->root.Get(), F_DUPFD_CLOEXEC, 0));
  if (!native_->root.Valid()) return CodeFromErrno(errno);
  native_->rootPath = other.native_->rootPath;
  return 0;
}

bool ConfinedTree::IsOpen() const { return native_->root.Valid(); }

ErrorCode ConfinedTree::Lock() {
  if (!IsOpen()) return kErrorInvalidHandle;
  if (RetryOnInterrupt([&] { return flock(native_->root.Get(), LOCK_EX | LOCK_NB); }) == 0) return 0;
  if (errno == EWOULDBLOCK) return kErrorBusy;
  // A file system without locks for directories (some network ones) cannot
  // keep two runs apart; refusing every run there would help nobody.
  if (errno == ENOLCK || errno == EBADF || errno == EINVAL || errno == EOPNOTSUPP) return 0;
  return CodeFromErrno(errno);
}

void ConfinedTree::Close() {
  native_->Forget();
  native_->root.Reset();
  native_->rootPath.clear();
}

bool ConfinedTree::Locate(const std::u16string& absolute, std::u16string& relative) const {
  if (!IsOpen()) return false;
  char rootReal[PATH_MAX], pathReal[PATH_MAX];
  if (!realpath(native_->rootPath.c_str(), rootReal)) return false;
  if (!realpath(WideToMultiByte(absolute).c_str(), pathReal)) return false;
  std::string rootText = rootReal;
  const std::string pathText = pathReal;
  if (pathText == rootText) {
    relative.clear();
    return true;
  }
  if (rootText.back() != '/') rootText.push_back('/');
  if (pathText.compare(0, rootText.size(), rootText) != 0) return false;
  relative = MultiByteToWide(pathText.substr(rootText.size()));
  return true;
}

bool ConfinedTree::IsSameOrBelow(const std::u16string& relative, const std::u16string& prefix) {
  if (prefix.empty()) return true;
  if (relative.compare(0, prefix.size(), prefix) != 0) return false;
  return relative.size() == prefix.size() || relative[prefix.size()] == u'/';
}

ErrorCode ConfinedTree::CheckFolders(const std::u16string& relative, std::u16string* link) {
  if (!IsOpen()) return kErrorInvalidHandle;
  const std::string path = WideToMultiByte(relative);
  int at = native_->root.Get();
  Descriptor current;
  // Every name but the last is a folder on the way.
  for (size_t begin = 0, end; (end = path.find('/', begin)) != std::string::npos; begin = end + 1) {
    const std::string name = path.substr(begin, end - begin);
    if (name.empty() || name == ".") continue;
    if (name == "..") return kErrorInvalidParameter;
    struct stat st;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 0 : CodeFromErrno(errno);  // the rest is made by the run
    }
    if (S_ISLNK(st.st_mode)) {
      if (link) *link = MultiByteToWide(path.substr(0, end));
      return kErrorLinkInPath;
    }
    if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
    Descriptor next(RetryOnInterrupt(
        [&] { return openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!next.Valid()) return CodeFromErrno(errno == ENOTDIR ? ELOOP : errno);
    current = std::move(next);
    at = current.Get();
  }
  return 0;
}

ErrorCode ConfinedTree::Inspect(const std::u16string& relative, PathInfo& info) {
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) return CodeFromErrno(error);
  struct stat st;
  if (fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return CodeFromErrno(errno);
  if (S_ISLNK(st.st_mode)) {
    // A link in the kit's place is judged by the time of what it points to
    // (a link to nothing is older than anything); it is never written
    // through, only moved aside as a link.
    struct stat followed;
    info.directory = false;
    info.lastWriteTime = fstatat(parent, leaf.c_str(), &followed, 0) == 0 && !S_ISDIR(followed.st_mode)
                             ? FileTimeFromUnix(followed.st_mtim.tv_sec, followed.st_mtim.tv_nsec)
                             : 0;
    return 0;
  }
  info.directory = S_ISDIR(st.st_mode);
  info.lastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return 0;
}

ErrorCode ConfinedTree::MakeDirectory(const std::u16string& relative) {
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) return CodeFromErrno(error);
  if (mkdirat(parent, leaf.c_str(), 0777) != 0) return CodeFromErrno(errno);
  return 0;
}

ErrorCode ConfinedTree::OpenToWrite(const std::u16string& relative, bool mustBeNew, ScopedFileHandle& handle) {
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) return CodeFromErrno(error);
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (mustBeNew ? O_EXCL : 0);
  const int fd = RetryOnInterrupt([&] { return openat(parent, leaf.c_str(), flags, 0660); });
  if (fd < 0) return errno == EEXIST ? kErrorFileExists : CodeFromErrno(errno);
  handle.Reset(fd);
  return 0;
}

ErrorCode ConfinedTree::MoveOut(const std::u16string& relative, const std::u16string& to) {
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) return CodeFromErrno(error);
  Outside outside;
  if (const int error = OpenOutside(WideToMultiByte(to), outside)) return CodeFromErrno(error);
  if (renameat(parent, leaf.c_str(), outside.folder.Get(), outside.leaf.c_str()) == 0) return 0;
  if (errno != EXDEV) return CodeFromErrno(errno);
  if (const int error = CopyEntry(parent, leaf.c_str(), outside.folder.Get(), outside.leaf)) return CodeFromErrno(error);
  if (unlinkat(parent, leaf.c_str(), 0) != 0 && errno != ENOENT) return CodeFromErrno(errno);
  return 0;
}

ErrorCode ConfinedTree::MoveIn(const std::u16string& from, const std::u16string& relative) {
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) return CodeFromErrno(error);
  Outside outside;
  if (const int error = OpenOutside(WideToMultiByte(from), outside)) return CodeFromErrno(error);
  if (renameat(outside.folder.Get(), outside.leaf.c_str(), parent, leaf.c_str()) == 0) return 0;
  if (errno != EXDEV) return CodeFromErrno(errno);
  // The run's version goes first: on a full disk the original's copy needs
  // its room, and the original stays safe outside until the copy is whole.
  struct stat st;
  if (fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
      unlinkat(parent, leaf.c_str(), 0) != 0 && errno != ENOENT) {
    return CodeFromErrno(errno);
  }
  if (const int error = CopyEntry(outside.folder.Get(), outside.leaf.c_str(), parent, leaf)) return CodeFromErrno(error);
  if (unlinkat(outside.folder.Get(), outside.leaf.c_str(), 0) != 0 && errno != ENOENT) return CodeFromErrno(errno);
  return 0;
}

ErrorCode ConfinedTree::RemoveFile(const std::u16string& relative) {
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) {
    return error == ENOENT ? 0 : CodeFromErrno(error);
  }
  if (unlinkat(parent, leaf.c_str(), 0) == 0 || errno == ENOENT) return 0;
  return CodeFromErrno(errno);
}

ErrorCode ConfinedTree::RemoveEmptyDirectory(const std::u16string& relative) {
  // The cached folder may be the one to go, or inside it.
  native_->Forget();
  std::string leaf;
  int parent = -1;
  if (const int error = native_->Parent(relative, leaf, parent)) {
    return error == ENOENT ? 0 : CodeFromErrno(error);
  }
  const int result = unlinkat(parent, leaf.c_str(), AT_REMOVEDIR);
  const int error = errno;
  native_->Forget();
  if (result == 0 || error == ENOENT) return 0;
  return CodeFromErrno(error == EEXIST ? ENOTEMPTY : error);
}

ErrorCode ConfinedTree::RemoveEmptyFolder(const std::u16string& path) {
  // rmdir never follows a link and never removes a folder that holds anything.
  if (rmdir(WideToMultiByte(path).c_str()) == 0 || errno == ENOENT) return 0;
  return CodeFromErrno(errno == EEXIST ? ENOTEMPTY : errno);
}

ErrorCode ConfinedTree::Flush() {
  if (!IsOpen()) return kErrorInvalidHandle;
  if (syncfs(native_->root.Get()) != 0) return CodeFromErrno(errno);
  return 0;
}

}  // namespace setup
