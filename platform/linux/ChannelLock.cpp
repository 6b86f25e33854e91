// A POSIX semaphore of value 1 serves as the lock.
#include "platform/ChannelLock.h"

#include <semaphore.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

namespace setup {

struct ChannelLock::Native {
  sem_t semaphore;
};

ChannelLock::ChannelLock() : native_(std::make_unique<Native>()) {
  if (sem_init(&native_->semaphore, 0, 1) != 0) std::abort();  // cannot happen for a private semaphore
}

ChannelLock::~ChannelLock() { sem_destroy(&native_->semaphore); }

bool ChannelLock::TryLock() {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += kChannelLockWaitMs * 1000000L;
  deadline.tv_sec += deadline.tv_nsec / 1000000000L;
  deadline.tv_nsec %= 1000000000L;
  for (;;) {
    if (sem_timedwait(&native_->semaphore, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void ChannelLock::Lock() {
  while (!TryLock()) {
  }
}

void ChannelLock::Unlock() { sem_post(&native_->semaphore); }

}  // namespace setup
