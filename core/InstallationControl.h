#pragma once
// The main thread's side of a run: starting the worker, polling the worker
// channel, showing the error, passing on a cancel, and recording the directory
// after success. Poll from a timer (or a loop) at most 100 ms apart; nothing
// here blocks while the run goes on.
#include <chrono>
#include <functional>

#include "core/FrontEnd.h"
#include "core/InstallationEngine.h"
#include "core/SetupContext.h"
#include "platform/Process.h"

namespace setup {

inline constexpr std::chrono::milliseconds kPollInterval{50};

class InstallationControl {
 public:
  enum class State { Idle, Running, Succeeded, Failed, Cancelled };

  // With `holdAfterError` the worker waits, after publishing an error, until
  // the error message has been shown, and rolls back only then.
  InstallationControl(SetupContext& context, FrontEnd& frontEnd, EngineSettings settings = {},
                      bool holdAfterError = false);
  ~InstallationControl();

  // Starts the run with the context's kit and template directory. When the
  // worker cannot be started, the error is shown and the run has failed.
  State BeginInstallation();
  // Reads the channel, shows progress and, once, the run's error message; at
  // the end of the run sets the context's result and outcome and, after a
  // success, records the template directory.
  State PollInstallation();
  // The engine finishes the file in hand, rolls back and ends cancelled.
  void RequestCancel();
  // Asks `question` while the worker is held (it finishes the file in hand and
  // begins no other); a Yes cancels the run. True when the answer was Yes.
  bool ConfirmCancelDuringRun(const std::function<bool()>& question);
  State CurrentState() const { return state_; }
  // Waits at most `limit`, less when a run under way finishes meanwhile.
  void WaitForProgress(std::chrono::milliseconds limit);

 private:
  void End(ErrorCode code);
  void CompleteInstallation();

  SetupContext& context_;
  FrontEnd& frontEnd_;
  EngineSettings settings_;
  WorkerThread worker_;
  State state_ = State::Idle;
  bool holdAfterError_ = false;
  bool errorShown_ = false;
  std::u16string shownText_;
};

// Turns an engine code into the context's result: 0, or the HRESULT form.
int32_t ResultOf(ErrorCode code);
// And back: the code that a result was made from.
ErrorCode CodeOf(int32_t result);

}  // namespace setup
