#pragma once
// What the program needs from its own process: where it runs from, a worker
// thread, and the termination signals turned into a polite request.
#include <functional>
#include <memory>
#include <string>

#include "platform/ErrorCodes.h"

namespace setup {

// Full path of the running executable; empty when it cannot be read.
std::u16string ExecutablePath();
// The working directory; empty when it cannot be determined.
std::u16string CurrentDirectory();

// One thread running one function. Join waits for it; the destructor joins
// a thread that is still running, so the function never outlives its data.
class WorkerThread {
 public:
  WorkerThread();
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // 0 when the thread runs, else the reason it could not be created.
  ErrorCode Start(std::function<void()> body);
  bool Running() const;
  void Join();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
};

// Gives the pages of freed memory that the allocator keeps for reuse back to
// the system, so that the scratch memory of a finished step does not count
// toward the process's resident size for the rest of the run.
void ReleaseFreedMemory();

// From now on SIGINT, SIGTERM and SIGHUP only set a flag that the program
// polls: a run is then cancelled and rolled back, and the program ends the
// normal way, deleting its temporary files. SIGPIPE is ignored, so a closed
// reader of standard error cannot end the program half-way.
void InstallTerminationSignals();
bool TerminationRequested();

}  // namespace setup
