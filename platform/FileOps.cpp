// The parts of the file layer that are the same on every platform.
#include "platform/FileOps.h"

namespace setup {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;

}  // namespace

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  // Worked out apart from the seconds so that no product can overflow: the
  // times a file system may hold reach far past what a FileTime can say.
  const int64_t fractionTicks = nanoseconds / 100;
  constexpr int64_t kEpochSeconds = int64_t(kFileTimeUnixEpoch / kTicksPerSecond);
  if (seconds < -kEpochSeconds) return 0;  // before 1601
  const uint64_t sinceOrigin = uint64_t(seconds) + uint64_t(kEpochSeconds);  // no wrap: seconds >= -kEpochSeconds
  constexpr uint64_t kLastSecond = UINT64_MAX / kTicksPerSecond;
  if (sinceOrigin > kLastSecond) return UINT64_MAX;
  const uint64_t ticks = sinceOrigin * kTicksPerSecond;
  if (fractionTicks < 0) return ticks < uint64_t(-fractionTicks) ? 0 : ticks - uint64_t(-fractionTicks);
  return UINT64_MAX - ticks < uint64_t(fractionTicks) ? UINT64_MAX : ticks + uint64_t(fractionTicks);
}

void FileTimeToUnix(FileTime time, int64_t& seconds, int64_t& nanoseconds) {
  // Unsigned on both sides of 1970: from 2^63 ticks up a signed difference
  // would wrap around into the distant past.
  if (time >= kFileTimeUnixEpoch) {
    const uint64_t ticks = time - kFileTimeUnixEpoch;
    seconds = int64_t(ticks / kTicksPerSecond);
    nanoseconds = int64_t(ticks % kTicksPerSecond) * 100;
    return;
  }
  const uint64_t before = kFileTimeUnixEpoch - time;
  seconds = -int64_t(before / kTicksPerSecond);
  const uint64_t rest = before % kTicksPerSecond;
  nanoseconds = 0;
  if (rest != 0) {
    --seconds;
    nanoseconds = int64_t(kTicksPerSecond - rest) * 100;
  }
}

}  // namespace setup
