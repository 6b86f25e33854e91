#include "wizard/SetupProgram.h"

#include <cstdio>
#include <thread>

#include "core/InstallationControl.h"
#include "core/Startup.h"
#include "i18n/Catalogue.h"
#include "i18n/LanguageChoice.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "wizard/HeadlessFrontEnd.h"

namespace setup {

Outcome RunSilentInstallation(SetupContext& context, FrontEnd& frontEnd, const EngineSettings& settings) {
  frontEnd.ShowPage(WizardPage::Welcome);
  // An empty proposal would install relative to the working directory.
  if (context.templateDirectory.empty()) {
    frontEnd.ShowMessage(MessageKind::Error, LookUpMessage("IDS_ERROR_NOTARGET"));
    context.outcome = Outcome::NotPrepared;
    return context.outcome;
  }
  InstallationControl control(context, frontEnd, settings);
  for (auto state = control.BeginInstallation(); state == InstallationControl::State::Running;
       state = control.PollInstallation()) {
    if (TerminationRequested()) control.RequestCancel();
    // Nothing to draw here, so a short interval only shortens the wait for
    // the end of the run.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return context.outcome;
}

int RunSetupProgram(int argc, char** argv) {
  InstallTerminationSignals();
  const LanguageChoice choice = SelectLanguage(argc, argv);
  SetupContext context;
  context.silent = choice.silent;
  context.useCurrentDirectory = choice.useCurrentDirectory;
  context.descriptionLanguage = Utf8ToUtf16(choice.descriptionLanguage);

  std::unique_ptr<WizardFrontEnd> window = CreateGraphicalFrontEnd(context, argc, argv);
  if (!window && !context.silent) {
    std::fputs("setup: the installation wizard needs a display; use \"setup -S\" to install without one.\n",
               stderr);
    return static_cast<int>(Outcome::NotPrepared);
  }
  HeadlessFrontEnd headless;
  FrontEnd& frontEnd = window ? static_cast<FrontEnd&>(*window) : headless;

  if (!PrepareSetup(context, frontEnd)) {
    return static_cast<int>(TerminationRequested() ? Outcome::Cancelled : Outcome::NotPrepared);
  }
  // From here on, leaving without a run means the user (or a signal) cancelled.
  context.outcome = Outcome::Cancelled;
  if (TerminationRequested()) return static_cast<int>(context.outcome);
  if (window) {
    window->Run();
  } else {
    // "Copying complete..." is held up for a second so a window can show it;
    // without one there is nobody to read it.
    EngineSettings settings;
    settings.completionPause = std::chrono::milliseconds(0);
    RunSilentInstallation(context, headless, settings);
  }
  return static_cast<int>(context.outcome);
}

}  // namespace setup
