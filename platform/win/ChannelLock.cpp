// A Win32 mutex serves as the lock.
#include "platform/ChannelLock.h"

#include <windows.h>

#include <cstdlib>

namespace setup {

struct ChannelLock::Native {
  HANDLE mutex = nullptr;
};

ChannelLock::ChannelLock() : native_(std::make_unique<Native>()) {
  native_->mutex = CreateMutexW(nullptr, FALSE, nullptr);
  if (!native_->mutex) std::abort();  // only when the system is out of handles
}

ChannelLock::~ChannelLock() { CloseHandle(native_->mutex); }

bool ChannelLock::TryLock() {
  const DWORD result = WaitForSingleObject(native_->mutex, kChannelLockWaitMs);
  // An owner that ended without giving the lock back only copied fields
  // under it; the lock is ours now all the same.
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void ChannelLock::Lock() {
  while (!TryLock()) {
  }
}

void ChannelLock::Unlock() { ReleaseMutex(native_->mutex); }

}  // namespace setup
