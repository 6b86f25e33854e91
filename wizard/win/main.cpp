// The Windows program: the command line and the language from the system,
// then the shared run in the property-sheet wizard (/S: the same wizard,
// showing only Cancel while it installs by itself).
#include <windows.h>
#include <commctrl.h>
// The A/W switch macro would rename WizardStyle::PropertySheet; we call
// PropertySheetW by its name.
#undef PropertySheet
#include <shellapi.h>

#include <string>
#include <vector>

#include "core/Recovery.h"
#include "core/Version.h"
#include "i18n/Catalogue.h"
#include "i18n/LanguageChoice.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "wizard/HeadlessFrontEnd.h"
#include "wizard/SetupProgram.h"
#include "wizard/Usage.h"
#include "wizard/win/CInstallerDlg.h"
#include "wizard/win/MessageBoxView.h"
#include "wizard/win/Win32LanguageSystem.h"
#include "wizard/win/WinText.h"
#include "wizard/win/WindowTrace.h"

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

// The system's own words for a code, for the one failure no catalogue text
// covers: a program built without the pages of its language.
std::u16string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string result = text ? setup::FromWide(text) : u"Error " + setup::FromWide(std::to_wstring(code).c_str());
  if (text) LocalFree(text);
  return result;
}

// The messages of a /S /Q run: to the parent's console, or wherever standard
// error leads, and into the trace.
class ConsoleView : public setup::HeadlessFrontEnd {
 public:
  explicit ConsoleView(setup::WindowTrace& trace) : trace_(trace) {}
  bool ShowMessage(setup::MessageKind kind, const std::u16string& text) override {
    trace_.Event("console", text);
    return HeadlessFrontEnd::ShowMessage(kind, text);
  }

 private:
  setup::WindowTrace& trace_;
};

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
  WindowTrace trace;
  trace.Start();
  if (choice.help || choice.version) {
    // A GUI program has no console to print to; the text goes in a box.
    const std::u16string text = Utf8ToUtf16(choice.help ? UsageText(UsageForm::Windows) : VersionLine("setup"));
    trace.Event("message.plain", text);
    MessageBoxView(LookUpMessage("IDR_MAINFRAME")).ShowMessage(MessageKind::Plain, text);
    return 0;
  }
  // What a run that died left behind is put right before anything else, silently.
  // A plan changes nothing, not even that.
  if (!choice.unattended.plan) RecoverInterruptedRuns();

  SetupContext context;
  context.silent = choice.silent;
  context.descriptionLanguage = std::u16string(choice.descriptionLanguage.begin(), choice.descriptionLanguage.end());

  const UnattendedOptions& options = choice.unattended;
  if (options.quiet) {
    // /S /Q: no window and no box at all, display or not.
    ConsoleView console(trace);
    const Outcome outcome = RunSetup(context, nullptr, console, options);
    trace.Snapshot();
    return static_cast<int>(outcome);
  }
  MessageBoxView boxes(context.applicationTitle);
  // The wizard object shows nothing until it runs; a plan never runs it and
  // only borrows its message boxes.
  CInstallerDlg wizard(context, choice.lcid, trace);
  if (!wizard.Constructed()) {
    boxes.ShowMessage(MessageKind::Error, SystemText(wizard.ConstructionError()));
    return static_cast<int>(Outcome::NotPrepared);
  }
  return static_cast<int>(RunSetup(context, &wizard, boxes, options));
}
