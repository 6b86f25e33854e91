#pragma once
// What the Linux half of the file layer shares between its files: errno as
// the Windows-numbered codes the core expects, calls retried when a signal
// interrupts them, and the copy that stands in for a rename between file
// systems.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/ErrorCodes.h"

namespace setup::posix {

ErrorCode CodeFromErrno(int error);

// Owns a descriptor and closes it when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; the errno of a failed close, else 0.
  int Close() {
    const int fd = Release();
    return fd < 0 || close(fd) == 0 ? 0 : errno;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};


template <typename Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Copies the file or symbolic link `fromName` of the folder `fromDir` to
// `toName` of `toDir` (either folder may be AT_FDCWD with a whole path as the
// name), with its data, permission bits and times, never following a link.
// The copy is written beside the target under another name, flushed, and
// only then takes the target's name, so a failure leaves the source and an
// existing target as they were. 0, or the errno of the failure; EXDEV for a
// folder or a special file, which are not carried between file systems.
int CopyEntry(int fromDir, const char* fromName, int toDir, const std::string& toName);

}  // namespace setup::posix
