#pragma once
// What every front-end's program entry shares once it has read its command
// line and chosen the language: the preparation, then the wizard, a silent
// run without a window, or a plan; and the report of whichever it was.
#include <memory>
#include <optional>

#include "core/FrontEnd.h"
#include "core/InstallationEngine.h"
#include "core/SetupContext.h"
#include "i18n/LanguageChoice.h"
#include "wizard/WizardFlow.h"

namespace setup {

// A front-end that can show the whole wizard.
class WizardFrontEnd : public WizardView {
 public:
  // Shows the welcome page and runs until the wizard closes (a silent run
  // starts the installation by itself). Leaves the outcome in the context.
  virtual void Run(const EngineSettings& settings) = 0;
};

// A silent run through the wizard flow, driven by a plain loop instead of a
// window's timer: installs into the proposed directory, turning a
// termination signal into a cancel.
Outcome RunSilentInstallation(SetupContext& context, WizardView& view, const EngineSettings& settings = {},
                              WizardStyle style = WizardStyle::Window);

// Why a program entry will not start at all (no display for a wizard).
struct StartRefusal {
  ErrorCode code = 0;
  std::u16string text;
};

// Opens the report when one is asked for, then prepares the run (messages
// go to `window`, or to `headless` without one) and shows the wizard, runs
// silently when there is no window, or tells what a run would do (/P).
// Returns the outcome, which is also the exit status; the report's closing
// line says the same. With a `refusal` the program only says why it does
// not start.
Outcome RunSetup(SetupContext& context, WizardFrontEnd* window, WizardView& headless,
                 const UnattendedOptions& options, const std::optional<StartRefusal>& refusal = std::nullopt);

}  // namespace setup
