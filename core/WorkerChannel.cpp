#include "core/WorkerChannel.h"

#include "platform/FileOps.h"

namespace setup {

WorkerChannel::WorkerChannel(std::u16string initialText) { status_.text = std::move(initialText); }

void WorkerChannel::Start(KitReader* kit, const std::u16string& destination) {
  std::u16string withSeparator = EnsureTrailingSeparator(destination);
  ChannelLockGuard guard(lock_);
  kit_ = kit;
  destination_.swap(withSeparator);
  cancel_ = false;
  status_.code = 0;
  status_.percentage = 0;
  status_.finished = false;
  status_.result = 0;
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
}

WorkerStatus WorkerChannel::ReadStatus() {
  ChannelLockGuard guard(lock_);
  return status_;
}

void WorkerChannel::Finish(ErrorCode result) {
  ChannelLockGuard guard(lock_);
  status_.finished = true;
  status_.result = result;
}

}  // namespace setup
