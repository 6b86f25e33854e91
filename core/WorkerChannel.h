#pragma once
// The record between the main thread and the installation worker: the run's
// input, the cancel request, and the status the worker publishes. Every field
// is read and written under the channel's lock, which is held only while the
// fields are copied.
#include <cstdint>
#include <string>

#include "platform/ChannelLock.h"
#include "platform/ErrorCodes.h"

namespace setup {

class KitReader;

struct WorkerStatus {
  ErrorCode code = 0;
  std::u16string text;
  uint32_t percentage = 0;
  // Set when the run has returned; `result` is then its return code.
  bool finished = false;
  ErrorCode result = 0;
};

class WorkerChannel {
 public:
  // `initialText` is what the status says until the first entry.
  explicit WorkerChannel(std::u16string initialText = u"");
  WorkerChannel(const WorkerChannel&) = delete;
  WorkerChannel& operator=(const WorkerChannel&) = delete;

  // Before a run: clears the cancel flag, the code, the percentage and the
  // finished state, and stores the input. The status text stays as it was.
  void Start(KitReader* kit, const std::u16string& destination);
  void ReadInput(KitReader*& kit, std::u16string& destination);
  void RequestCancel();
  bool IsCancelRequested();
  void Publish(ErrorCode code, const std::u16string& text, uint32_t percentage);
  WorkerStatus ReadStatus();
  // Called by the worker when the run has returned.
  void Finish(ErrorCode result);

 private:
  ChannelLock lock_;
  KitReader* kit_ = nullptr;
  std::u16string destination_;
  bool cancel_ = false;
  WorkerStatus status_;
};

}  // namespace setup
