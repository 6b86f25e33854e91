#include "platform/ChannelLock.h"

#include <semaphore.h>

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

void ChannelLock::Lock() {
  while (sem_wait(&native_->semaphore) != 0 && errno == EINTR) {
  }
}

void ChannelLock::Unlock() { sem_post(&native_->semaphore); }

}  // namespace setup
