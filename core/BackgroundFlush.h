#pragma once
// Writing back a run's files while the run goes on. A file system flush at
// the end of a run of many small files waits for all their metadata at once,
// with the second core idle; flushed now and then in the background, most of
// it is on the disk by the time the final flush, which still decides, comes.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ErrorCodes.h"

namespace setup {

class BackgroundFlush {
 public:
  // `flush` is called on a thread of its own; it must report every write-back
  // error it sees, since one it reports here is not reported again.
  explicit BackgroundFlush(std::function<ErrorCode()> flush);
  ~BackgroundFlush();
  BackgroundFlush(const BackgroundFlush&) = delete;
  BackgroundFlush& operator=(const BackgroundFlush&) = delete;

  // Asks for a flush as soon as the one under way, if any, is over; returns
  // at once. Requests made meanwhile count as one.
  void Request();
  // Waits for the flush under way and ends the thread: the first error any
  // flush reported, or 0. Further requests are ignored.
  ErrorCode Stop();

 private:
  void Loop();

  std::function<ErrorCode()> flush_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
  bool stopping_ = false;
  ErrorCode firstError_ = 0;
  std::thread thread_;
};

}  // namespace setup
