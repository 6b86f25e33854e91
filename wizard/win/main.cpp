// The Windows program: the command line and the language from the system,
// then the shared run. Until the property sheet arrives this build installs
// silently (/S) only; the run's messages are message boxes.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "core/Recovery.h"
#include "i18n/Catalogue.h"
#include "i18n/LanguageChoice.h"
#include "platform/Process.h"
#include "wizard/SetupProgram.h"
#include "wizard/win/MessageBoxView.h"
#include "wizard/win/Win32LanguageSystem.h"

namespace {

// The arguments after the program name, as the system splits them.
std::vector<std::u16string> Arguments() {
  std::vector<std::u16string> arguments;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!words) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(words[i]));
  LocalFree(words);
  return arguments;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace setup;
  INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
  InitCommonControlsEx(&controls);
  InstallTerminationSignals();

  const std::vector<std::u16string> arguments = Arguments();
  const std::vector<std::u16string_view> views(arguments.begin(), arguments.end());
  Win32LanguageSystem system;
  const LanguageChoice choice = SelectLanguageWindows(views, system);
  SetChosenLanguage(choice.languageNumber);
  // What a run that died left behind is put right before anything else, silently.
  RecoverInterruptedRuns();

  SetupContext context;
  context.silent = choice.silent;
  context.descriptionLanguage = std::u16string(choice.descriptionLanguage.begin(), choice.descriptionLanguage.end());
  MessageBoxView view(context.applicationTitle);
  if (!context.silent) {
    // The wizard window is the next step of the Windows build; say so rather
    // than pretend.
    view.ShowMessage(MessageKind::Error, u"This build of setup installs silently only: run it with /S.");
    return static_cast<int>(Outcome::NotPrepared);
  }
  return static_cast<int>(RunSetup(context, nullptr, view));
}
