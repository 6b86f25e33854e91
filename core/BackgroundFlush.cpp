#include "core/BackgroundFlush.h"

namespace setup {

BackgroundFlush::BackgroundFlush(std::function<ErrorCode()> flush) : flush_(std::move(flush)) {}

BackgroundFlush::~BackgroundFlush() { Stop(); }

void BackgroundFlush::Request() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  // The thread is started by the first request: a run too small to ask for
  // one never starts it.
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
  requested_ = true;
  wake_.notify_one();
}

ErrorCode BackgroundFlush::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return firstError_;
}

void BackgroundFlush::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return requested_ || stopping_; });
    // What is left at the end is the final flush's to write.
    if (stopping_) return;
    requested_ = false;
    lock.unlock();
    const ErrorCode code = flush_();
    lock.lock();
    if (code != 0 && firstError_ == 0) firstError_ = code;
  }
}

}  // namespace setup
