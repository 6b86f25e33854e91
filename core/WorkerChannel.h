#pragma once
// The record between the main thread and the installation worker: the run's
// input, the cancel request, and the status the worker publishes. Every field
// is read and written under the channel's lock, which is held only while the
// fields are copied.
#include <chrono>
#include <condition_variable>
#include <mutex>
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
  // The rollback could not put everything back; the workspace stays for the
  // next start.
  bool rollbackIncomplete = false;
};

class WorkerChannel {
 public:
  // `initialText` is what the status says until the first entry.
  explicit WorkerChannel(std::u16string initialText = u"");
  WorkerChannel(const WorkerChannel&) = delete;
  WorkerChannel& operator=(const WorkerChannel&) = delete;

  // Before a run: clears the cancel flag, the hold, the code, the percentage
  // and the finished state, and stores the input. The status text stays as it
  // was. With `holdAfterError` the worker holds itself when it publishes an
  // error, until the main thread has shown the message and releases it.
  void Start(KitReader* kit, const std::u16string& destination, bool holdAfterError = false);
  void ReadInput(KitReader*& kit, std::u16string& destination);
  void RequestCancel();
  bool IsCancelRequested();
  void Publish(ErrorCode code, const std::u16string& text, uint32_t percentage);
  // The percentage alone; the text stays.
  void PublishProgress(uint32_t percentage);
  WorkerStatus ReadStatus();
  // One wait of at most 100 ms for the lock; false (and `status` untouched)
  // when it was not had, so a window's timer never stalls on it.
  bool TryReadStatus(WorkerStatus& status);

  // The main thread holds the worker while it asks the user something: the
  // worker finishes the file in hand and then makes no progress until
  // released. Unlike suspending the thread, this never stops the worker while
  // it holds a lock the main thread is about to need.
  void HoldWorker();
  void ReleaseWorker();
  // True once the worker has stopped for the hold.
  bool IsWorkerHeld();
  // Worker side: returns once nobody holds the worker.
  void WaitWhileHeld();
  // Called by the worker when the run has returned.
  void Finish(ErrorCode result);
  // Returns once the run has finished, or after `limit`: a caller with
  // nothing to draw wakes at the end instead of at its next poll.
  void WaitForFinish(std::chrono::milliseconds limit);
  void MarkRollbackIncomplete();

 private:
  ChannelLock lock_;
  KitReader* kit_ = nullptr;
  std::u16string destination_;
  bool cancel_ = false;
  bool holdAfterError_ = false;
  bool held_ = false;
  bool waiting_ = false;
  WorkerStatus status_;
  std::mutex finishMutex_;
  std::condition_variable finishWake_;
  bool finishSignalled_ = false;
};

}  // namespace setup
