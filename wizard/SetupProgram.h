#pragma once
// The program from its first instruction to its exit status.
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
  // starts the installation at once). Leaves the outcome in the context.
  virtual void Run() = 0;
};

// The graphical front-end for this context, or null when no display can be
// opened. Called once, after the language choice and before the preparation.
std::unique_ptr<WizardFrontEnd> CreateGraphicalFrontEnd(SetupContext& context, int& argc, char**& argv);

// A silent run without a window: installs into the proposed directory and
// polls until the run has ended, turning a termination signal into a cancel.
Outcome RunSilentInstallation(SetupContext& context, FrontEnd& frontEnd, const EngineSettings& settings = {});

// main(): returns the exit status (the Outcome).
int RunSetupProgram(int argc, char** argv);

}  // namespace setup
