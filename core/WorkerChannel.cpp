#include "core/WorkerChannel.h"

#include <chrono>
#include <thread>

#include "platform/FileOps.h"

namespace setup {

WorkerChannel::WorkerChannel(std::u16string initialText) { status_.text = std::move(initialText); }

void WorkerChannel::Start(KitReader* kit, const std::u16string& destination, bool holdAfterError) {
  std::u16string withSeparator = EnsureTrailingSeparator(destination);
  {
    std::lock_guard<std::mutex> wake(finishMutex_);
    finishSignalled_ = false;
  }
  ChannelLockGuard guard(lock_);
  kit_ = kit;
  destination_.swap(withSeparator);
  cancel_ = false;
  holdAfterError_ = holdAfterError;
  held_ = false;
  waiting_ = false;
  status_.code = 0;
  status_.percentage = 0;
  status_.finished = false;
  status_.result = 0;
  status_.rollbackIncomplete = false;
}

void WorkerChannel::ReadInput(KitReader*& kit, std::u16string& destination) {
  ChannelLockGuard guard(lock_);
  kit = kit_;
  destination = destination_;
}

void WorkerChannel::RequestCancel() {
  ChannelLockGuard guard(lock_);
  cancel_ = true;
}

bool WorkerChannel::IsCancelRequested() {
  ChannelLockGuard guard(lock_);
  return cancel_;
}

void WorkerChannel::Publish(ErrorCode code, const std::u16string& text, uint32_t percentage) {
  ChannelLockGuard guard(lock_);
  status_.code = code;
  status_.text = text;
  status_.percentage = percentage;
  // Taken with the error itself, so no poll can show the message and
  // release the worker before it is held.
  if (code != 0 && holdAfterError_) held_ = true;
}

void WorkerChannel::PublishProgress(uint32_t percentage) {
  ChannelLockGuard guard(lock_);
  status_.percentage = percentage;
}

WorkerStatus WorkerChannel::ReadStatus() {
  ChannelLockGuard guard(lock_);
  return status_;
}

bool WorkerChannel::TryReadStatus(WorkerStatus& status) {
  if (!lock_.TryLock()) return false;
  status = status_;
  lock_.Unlock();
  return true;
}

void WorkerChannel::HoldWorker() {
  ChannelLockGuard guard(lock_);
  held_ = true;
}

void WorkerChannel::ReleaseWorker() {
  ChannelLockGuard guard(lock_);
  held_ = false;
}

bool WorkerChannel::IsWorkerHeld() {
  ChannelLockGuard guard(lock_);
  return held_ && waiting_;
}

void WorkerChannel::WaitWhileHeld() {
  for (;;) {
    {
      ChannelLockGuard guard(lock_);
      waiting_ = held_;
      if (!held_) return;
    }
    // A question is open; its answer comes at human speed.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void WorkerChannel::Finish(ErrorCode result) {
  {
    ChannelLockGuard guard(lock_);
    status_.finished = true;
    status_.result = result;
  }
  std::lock_guard<std::mutex> wake(finishMutex_);
  finishSignalled_ = true;
  finishWake_.notify_all();
}

void WorkerChannel::WaitForFinish(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> wake(finishMutex_);
  finishWake_.wait_for(wake, limit, [this] { return finishSignalled_; });
}

void WorkerChannel::MarkRollbackIncomplete() {
  ChannelLockGuard guard(lock_);
  status_.rollbackIncomplete = true;
}

}  // namespace setup
