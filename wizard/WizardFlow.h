#pragma once
// The wizard's page flow, free of any toolkit: which page follows which, the
// buttons of each page, the check made on Next, what Cancel, Escape and the
// close box do, and what Finish opens. A front-end draws what the flow asks
// for through WizardView and forwards its events to WizardFlow.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/FrontEnd.h"
#include "core/InstallationControl.h"
#include "core/KitReader.h"
#include "core/SetupContext.h"

namespace setup {

// The two ways the wizard is shown. They differ in data, not in code paths:
// which pages exist and in which order, where a confirmed cancel before the
// run leads, what Escape and the close box do, and how long a silent run
// shows its welcome page.
enum class WizardStyle {
  Window,         // the Linux GTK window
  PropertySheet,  // the Windows property sheet
};

// The pages of a run, in their order. Next walks this order; the final
// pages are reached only by jumps.
std::vector<WizardPage> PageSetFor(WizardStyle style, bool silent);

// The page's name in the front-ends' traces.
const char* PageName(WizardPage page);

// What a style does where the two differ.
struct FlowRules {
  std::vector<WizardPage> pages;
  // Where a Yes to the cancel question on the welcome or destination page
  // leads: the cancel page, or nowhere (the wizard closes).
  bool cancelPage = false;
  // How long a silent run shows its welcome page before the run starts.
  std::chrono::milliseconds silentWelcome{0};
  // Whether the worker waits, after an error, until its message is read.
  bool holdAfterError = false;
};
FlowRules RulesFor(WizardStyle style, bool silent);

// The row of buttons under a page.
struct ButtonStates {
  bool backVisible = true;
  bool backSensitive = false;
  bool nextVisible = true;
  bool nextSensitive = true;
  bool nextIsFinish = false;  // the Next button reads "Finish"
  bool cancelSensitive = true;
};
ButtonStates ButtonsFor(WizardPage page, bool silent);

// "Welcome to ... <Product> (<Vendor>)." in the chosen language; empty names
// become the catalogue's placeholders.
std::u16string WelcomeText(const ProductAndVendor& names);

// The Next check of the destination page: every "\" becomes "/"; an empty
// field is refused (nullopt). Nothing else is checked.
std::optional<std::u16string> AcceptDestination(std::u16string field);

// Where the package description lies: the template directory, one "/" and
// the reference without a leading separator, every "\" turned into "/".
std::u16string DescriptionPath(const std::u16string& templateDirectory, const std::u16string& reference);

// The same on Windows: one "\" unless the directory ends in a separator, and
// the reference as written, less one leading separator.
std::u16string SheetDescriptionPath(const std::u16string& templateDirectory, const std::u16string& reference);
// Whether the sheet offers to open the description: the reference names
// something in the template directory, written right after the directory or
// after one more "\".
bool SheetDescriptionExists(const std::u16string& templateDirectory, const std::u16string& reference);

// The ways a user can ask to stop.
enum class CancelSource { CancelButton, EscapeKey, CloseRequest };
enum class CancelRule {
  Nothing,              // the request has no effect on this page
  AskThenClose,         // the cancel question; Yes closes the wizard
  AskThenCancelPage,    // the cancel question; Yes shows the cancel page
  AskThenStopRun,       // the cancel question; Yes cancels the running installation
  Close,                // closes the wizard without a question
};
CancelRule CancelRuleFor(WizardPage page, CancelSource source, WizardStyle style = WizardStyle::Window);

// What the flow needs from a toolkit, besides showing pages and messages.
class WizardView : public FrontEnd {
 public:
  // The welcome page's text, set before that page is first shown.
  virtual void SetWelcomeText(const std::u16string& text) = 0;
  // The destination page's path field.
  virtual std::u16string DestinationText() = 0;
  virtual void SetDestinationText(const std::u16string& text) = 0;
  // The success page's "open description" check box.
  virtual bool OpenDescriptionChecked() = 0;
  // Ends the open message box as if it had been closed (which counts as No).
  virtual void DismissMessage() = 0;
};

// One wizard run. Every event handler runs on the main thread; Tick is
// called from a timer at most kPollInterval apart for as long as the wizard
// is up, also while a message box is open.
class WizardFlow {
 public:
  WizardFlow(SetupContext& context, WizardView& view, EngineSettings settings = {},
             WizardStyle style = WizardStyle::Window);
  ~WizardFlow();

  // Shows the welcome page; a silent run starts its installation at once.
  void Start();
  void Back();
  // Next, or Finish on the final pages.
  void Next();
  void Cancel(CancelSource source);
  // The path field was edited. The sheet keeps every edit at once, so that
  // it survives Back and a return to the page; the window takes the field
  // only on Next.
  void DestinationEdited(const std::u16string& text);
  // Follows the run and turns a termination signal into a cancel (during a
  // run) or into closing the wizard (otherwise).
  void Tick();

  WizardPage CurrentPage() const { return page_; }
  bool Started() const { return started_; }
  bool Closed() const { return closed_; }
  // For a flow without a window to draw: waits at most `limit` for its next
  // Tick, less when the run under way finishes first.
  void WaitForTick(std::chrono::milliseconds limit) { control_.WaitForProgress(limit); }
  bool RunInProgress() const { return control_.CurrentState() == InstallationControl::State::Running; }
  // The sheet's success page offers to open the package description only
  // when it is there; set on the way to that page.
  bool DescriptionOffered() const { return descriptionOffered_; }

 private:
  // What the installation control shows goes through here, so the flow knows
  // which page is up and never polls from inside a message box.
  class ControlFrontEnd : public FrontEnd {
   public:
    explicit ControlFrontEnd(WizardFlow& flow) : flow_(flow) {}
    bool ShowMessage(MessageKind kind, const std::u16string& text) override;
    void ShowPage(WizardPage page) override;
    void ShowProgress(uint32_t percentage, const std::u16string& label) override;
    void OpenFile(const std::u16string& path) override;
    void Close() override;

   private:
    WizardFlow& flow_;
  };

  bool Ask(MessageKind kind, const std::u16string& text);
  void Show(WizardPage page);
  // The page after the current one in the page set, or the current one.
  WizardPage NextInSet() const;
  bool InSet(WizardPage page) const;
  void BeginRun();
  void AfterPoll(InstallationControl::State state);
  void ShowRunEnd(WizardPage page);
  void Finish();
  void Close();

  SetupContext& context_;
  WizardView& view_;
  WizardStyle style_;
  FlowRules rules_;
  std::chrono::steady_clock::time_point silentStart_{};
  ControlFrontEnd controlFrontEnd_;
  InstallationControl control_;
  WizardPage page_ = WizardPage::Welcome;
  bool started_ = false;
  bool closed_ = false;
  bool messageOpen_ = false;
  bool cancelRequested_ = false;
  bool descriptionOffered_ = false;
};

}  // namespace setup
