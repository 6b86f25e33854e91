// The Linux program: the start-up order of the GTK build, then the shared run.
#include <cstdio>

#include "core/Recovery.h"
#include "i18n/LanguageChoice.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "wizard/HeadlessFrontEnd.h"
#include "wizard/SetupProgram.h"
#include "wizard/gtk/GraphicalFrontEnd.h"

int main(int argc, char** argv) {
  using namespace setup;
  InstallTerminationSignals();
  // Selects the environment's locale for the process and the language that
  // every message is looked up in.
  const LanguageChoice choice = SelectLanguage(argc, argv);
  // What a run that died left behind is put right before anything else,
  // silently; the locale is set by now, so its paths convert as they did.
  RecoverInterruptedRuns();
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
  return static_cast<int>(RunSetup(context, window.get(), headless));
}
