// The parts of the file layer that are the same on every platform.
#include "platform/FileOps.h"

namespace setup {

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  const int64_t ticks = seconds * 10000000 + nanoseconds / 100;
  if (ticks < -static_cast<int64_t>(kFileTimeUnixEpoch)) return 0;  // before 1601
  return kFileTimeUnixEpoch + static_cast<uint64_t>(ticks);
}

void FileTimeToUnix(FileTime time, int64_t& seconds, int64_t& nanoseconds) {
  const int64_t ticks = static_cast<int64_t>(time - kFileTimeUnixEpoch);
  seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  nanoseconds = rest * 100;
}

}  // namespace setup
