#pragma once
// The one lock of the program: it guards the worker channel's fields while they
// are copied, and nothing else. A POSIX semaphore of value 1 on Linux.
#include <memory>

namespace setup {

class ChannelLock {
 public:
  ChannelLock();
  ~ChannelLock();
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;
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
