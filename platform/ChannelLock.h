#pragma once
// The one lock of the program: it guards the worker channel's fields while they
// are copied, and nothing else. Each wait for it lasts at most
// kChannelLockWaitMs, so a thread that must stay responsive (the window's) can
// give up and try again at its next turn.
#include <memory>

namespace setup {

inline constexpr int kChannelLockWaitMs = 100;

class ChannelLock {
 public:
  ChannelLock();
  ~ChannelLock();
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;
  // One wait of at most kChannelLockWaitMs; false when the lock was not had.
  bool TryLock();
  // Waits as long as it takes, in waits of at most kChannelLockWaitMs.
  void Lock();
  void Unlock();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
};

class ChannelLockGuard {
 public:
  explicit ChannelLockGuard(ChannelLock& lock) : lock_(lock) { lock_.Lock(); }
  ~ChannelLockGuard() { lock_.Unlock(); }
  ChannelLockGuard(const ChannelLockGuard&) = delete;
  ChannelLockGuard& operator=(const ChannelLockGuard&) = delete;

 private:
  ChannelLock& lock_;
};

}  // namespace setup
