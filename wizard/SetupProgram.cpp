#include "wizard/SetupProgram.h"

#include <chrono>
#include <thread>

#include "core/Startup.h"
#include "platform/Process.h"

namespace setup {

Outcome RunSilentInstallation(SetupContext& context, WizardView& view, const EngineSettings& settings,
                              WizardStyle style) {
  WizardFlow flow(context, view, settings, style);
  flow.Start();
  while (!flow.Closed()) {
    // Nothing to draw, so a short interval only shortens the wait for the end.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    flow.Tick();
  }
  return context.outcome;
}

Outcome RunSetup(SetupContext& context, WizardFrontEnd* window, WizardView& headless) {
  FrontEnd& messages = window ? static_cast<FrontEnd&>(*window) : headless;
  if (!PrepareSetup(context, messages)) {
    return TerminationRequested() ? Outcome::Cancelled : Outcome::NotPrepared;
  }
  // From here on, leaving without a run means the user (or a signal) cancelled.
  context.outcome = Outcome::Cancelled;
  if (TerminationRequested()) return context.outcome;
  if (window) {
    window->Run();
    return context.outcome;
  }
  // "Copying complete..." is held up for a second so a window can show it;
  // without one there is nobody to read it.
  EngineSettings settings;
  settings.completionPause = std::chrono::milliseconds(0);
  return RunSilentInstallation(context, headless, settings);
}

}  // namespace setup
