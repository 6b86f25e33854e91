#pragma once
// What every front-end's program entry shares once it has read its command
// line and chosen the language: the preparation, then the wizard or a silent
// run without a window.
#include <memory>

#include "core/FrontEnd.h"
#include "core/InstallationEngine.h"
#include "core/SetupContext.h"
#include "wizard/WizardFlow.h"

namespace setup {

// A front-end that can show the whole wizard.
class WizardFrontEnd : public WizardView {
 public:
  // Shows the welcome page and runs until the wizard closes (a silent run
  // starts the installation by itself). Leaves the outcome in the context.
  virtual void Run() = 0;
};

// A silent run through the wizard flow, driven by a plain loop instead of a
// window's timer: installs into the proposed directory, turning a
// termination signal into a cancel.
Outcome RunSilentInstallation(SetupContext& context, WizardView& view, const EngineSettings& settings = {},
                              WizardStyle style = WizardStyle::Window);

// Prepares the run (messages go to `window`, or to `headless` without one),
// then shows the wizard, or runs silently when there is no window. Returns
// the outcome, which is also the exit status.
Outcome RunSetup(SetupContext& context, WizardFrontEnd* window, WizardView& headless);

}  // namespace setup
