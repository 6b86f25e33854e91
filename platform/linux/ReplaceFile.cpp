// Writing text files on Linux; a whole file is replaced through a sibling
// temporary and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>

#include "platform/Text.h"
#include "platform/TextFile.h"

namespace setup {
namespace {

constexpr ErrorCode kErrorTooManyOpenFiles = 4;

// Removes the temporary file on every path that does not hand it over.
class TemporaryName {
 public:
  TemporaryName() = default;
  ~TemporaryName() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;

  void Set(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// Mixes a 64-bit value (splitmix64 finaliser); the names only have to differ,
// O_EXCL is what makes them safe.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Creates "<dir>/.<name>.XXXXXX" exclusively with `mode` (the umask applies,
// as it would to the file itself). Returns the descriptor or -1.
int CreateSibling(const std::string& target, mode_t mode, TemporaryName& temporary) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  struct timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  static std::atomic<uint64_t> counter{0};
  uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                  (static_cast<uint64_t>(getpid()) << 40) ^ ++counter;
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = Mix(seed);
    std::string candidate = directory + "." + name + ".";
    for (int i = 0; i < 6; ++i) candidate += kLetters[(seed >> (i * 6)) % (sizeof kLetters - 1)];
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      temporary.Set(std::move(candidate));
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// The name the file is kept under: a symbolic link is written through, so that
// a starter configuration kept elsewhere and linked in stays where it is. Each
// link's text counts from the link's own directory, as the kernel reads it;
// a link to nothing yet names the file to create. False for a loop or a link
// that cannot be read.
bool ResolveTarget(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1, '\0');
    const ssize_t length = readlink(path.c_str(), text.data(), text.size());
    if (length <= 0 || static_cast<size_t>(length) >= text.size()) return false;  // changed under us
    text.resize(static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    if (text[0] == '/' || slash == std::string::npos) {
      path = std::move(text);
    } else {
      path = path.substr(0, slash + 1) + text;
    }
  }
  return false;
}

// Makes a finished rename durable. Best effort: by now the new file has
// replaced the old one either way, and a failure here changes nothing the
// caller could act on.
void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

ErrorCode OpenRegularFileForReading(const std::u16string& path, uint64_t maxBytes, FileHandle& handle) {
  handle = kInvalidFileHandle;
  // O_NONBLOCK lets a FIFO open at once rather than wait for a writer; what
  // was opened, not what a look before found, then decides.
  const int fd = open(WideToMultiByte(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case ENOENT: return kErrorFileNotFound;
      case ENOTDIR: return kErrorPathNotFound;
      case ENXIO: return kErrorBadFileType;  // a socket, a device without its driver
      case EACCES:
      case EPERM: return kErrorAccessDenied;
      case EMFILE:
      case ENFILE: return kErrorTooManyOpenFiles;
      default: return kErrorReadFault;
    }
  }
  struct stat st{};
  ErrorCode code = kErrorSuccess;
  if (fstat(fd, &st) != 0) {
    code = kErrorReadFault;
  } else if (!S_ISREG(st.st_mode)) {
    code = kErrorBadFileType;
  } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    code = kErrorFileTooLarge;
  } else if (fcntl(fd, F_SETFL, O_RDONLY) != 0) {
    // Reads of a regular file never wait anyway; the flag goes all the same,
    // so that nothing later trips over EAGAIN.
    code = kErrorReadFault;
  }
  if (code != kErrorSuccess) {
    close(fd);
    return code;
  }
  handle = fd;
  return kErrorSuccess;
}

// Linux text files are written in the locale's encoding, whatever is asked,
// with LF line ends and no mark.
TextStreamPtr OpenTextForWriting(const std::u16string& path, TextEncoding /*encoding*/, LineEnds /*lineEnds*/) {
  const int fd = open(WideToMultiByte(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return std::make_unique<TextStream>(fd, TextEncoding::MultiByte, false, LineEnds::Lf);
}

ReplaceResult ReplaceTextFile(const std::u16string& path, const std::function<bool(TextStream&)>& write) {
  std::string target = WideToMultiByte(path);
  if (!ResolveTarget(target)) return ReplaceResult::CannotOpen;

  // Renaming needs only the directory, so first make sure the file itself may
  // be written: a file the user may not write (or another user's) is not
  // theirs to replace. Nothing is truncated here, and a FIFO cannot block us.
  struct stat old{};
  bool existed = false;
  const int probe = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (probe >= 0) {
    const bool regular = fstat(probe, &old) == 0 && S_ISREG(old.st_mode);
    close(probe);
    // A device or a FIFO must never be renamed over; a directory does not
    // even open.
    if (!regular) return ReplaceResult::CannotOpen;
    existed = true;
  } else if (errno != ENOENT) {
    return ReplaceResult::CannotOpen;
  }
  // The replacement keeps the permission bits and, where allowed, the owner of
  // the file it replaces; a new file gets what the umask gives any new file.
  const mode_t createMode = existed ? (old.st_mode & 0777) : 0666;

  TemporaryName temporary;
  const int fd = CreateSibling(target, createMode, temporary);
  if (fd < 0) return ReplaceResult::CannotOpen;
  auto stream = std::make_unique<TextStream>(fd, TextEncoding::MultiByte, false, LineEnds::Lf);

  if (existed) {
    // The umask may have narrowed the bits at creation; never widened them, so
    // the text is never readable by more users than the old file was.
    if (fchmod(fd, old.st_mode & 07777) != 0) return ReplaceResult::CannotWrite;
    struct stat now{};
    if (fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
      // Only root may give a file away; for anyone else the file simply stays theirs.
      if (fchown(fd, old.st_uid, old.st_gid) == 0) fchmod(fd, old.st_mode & 07777);
    }
  }

  if (!write(*stream)) return ReplaceResult::CannotWrite;
  // A file that holds these very bytes already stays as it is: nothing is
  // renamed and nothing waits for the disk.
  if (existed && stream->Flush(false) && SameFileBytes(MultiByteToWide(temporary.Path()), MultiByteToWide(target))) {
    return CloseText(std::move(stream)) ? ReplaceResult::Replaced : ReplaceResult::CannotWrite;
  }
  if (!stream->Flush(true)) return ReplaceResult::CannotWrite;
  if (!CloseText(std::move(stream))) return ReplaceResult::CannotWrite;
  if (rename(temporary.Path().c_str(), target.c_str()) != 0) return ReplaceResult::CannotWrite;
  temporary.Keep();
  SyncDirectoryOf(target);
  return ReplaceResult::Replaced;
}

}  // namespace setup
