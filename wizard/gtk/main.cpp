// The Linux program: the start-up order of the GTK build, then the shared run.
#include <cstdio>

#include "core/Recovery.h"
#include "core/Version.h"
#include "i18n/Catalogue.h"
#include "i18n/LanguageChoice.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "wizard/HeadlessFrontEnd.h"
#include "wizard/SetupProgram.h"
#include "wizard/Usage.h"
#include "wizard/gtk/GraphicalFrontEnd.h"

namespace {

// Said in the chosen language; "setup -Lde -S" is a common slip, so the
// options the scan never read are named.
std::u16string NoDisplayMessage(const std::vector<std::string>& unreadOptions) {
  using namespace setup;
  std::u16string text = LookUpMessage("IDS_ERROR_NODISPLAY");
  if (!unreadOptions.empty()) {
    text += u' ';
    text += LookUpMessage("IDS_ERROR_UNREADOPTIONS");
    for (const std::string& option : unreadOptions) {
      text += u' ';
      text += MultiByteToWide(option);
    }
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace setup;
  InstallTerminationSignals();
  // Selects the environment's locale for the process and the language that
  // every message is looked up in.
  const LanguageChoice choice = SelectLanguage(argc, argv);
  if (choice.help || choice.version) {
    const std::string text = choice.help ? UsageText(UsageForm::Posix) : VersionLine("setup") + "\n";
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : static_cast<int>(Outcome::NotPrepared);
  }
  // What a run that died left behind is put right before anything else,
  // silently; the locale is set by now, so its paths convert as they did.
  // A plan changes nothing, not even that.
  if (!choice.unattended.plan) RecoverInterruptedRuns();
  SetupContext context;
  context.silent = choice.silent;
  context.useCurrentDirectory = choice.useCurrentDirectory;
  context.descriptionLanguage = Utf8ToUtf16(choice.descriptionLanguage);

  // /S /Q: no window and no box even on a display; GTK is not even started.
  const UnattendedOptions& options = choice.unattended;
  std::unique_ptr<WizardFrontEnd> window = options.quiet ? nullptr : LoadGraphicalFrontEnd(context, argc, argv);
  HeadlessFrontEnd headless;
  // A plan needs no window; a wizard does.
  std::optional<StartRefusal> refusal;
  if (!window && !context.silent && !options.plan) {
    refusal = StartRefusal{kErrorNotSupported, NoDisplayMessage(choice.unreadOptions)};
  }
  return static_cast<int>(RunSetup(context, window.get(), headless, options, refusal));
}
