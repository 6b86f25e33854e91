#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>

namespace setup {

bool WriteStandard(StandardStream stream, std::string_view utf8) {
  const int fd = stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO;
  while (!utf8.empty()) {
    const ssize_t written = write(fd, utf8.data(), utf8.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    utf8.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace setup
