#include "wizard/WizardFlow.h"

#include <algorithm>

#include "core/Startup.h"
#include "core/TemplateDirectory.h"
#include "i18n/Catalogue.h"
#include "platform/FileFinder.h"
#include "platform/Path.h"
#include "platform/Process.h"

namespace setup {

const char* PageName(WizardPage page) {
  switch (page) {
    case WizardPage::Welcome: return "welcome";
    case WizardPage::Destination: return "destination";
    case WizardPage::Progress: return "progress";
    case WizardPage::Success: return "success";
    case WizardPage::Error: return "error";
    case WizardPage::Cancel: return "cancel";
  }
  return "?";
}

std::vector<WizardPage> PageSetFor(WizardStyle style, bool silent) {
  using P = WizardPage;
  if (style == WizardStyle::PropertySheet) {
    // Nobody confirms a directory or reads a success page in a silent run.
    if (silent) return {P::Welcome, P::Progress, P::Cancel, P::Error};
    return {P::Welcome, P::Destination, P::Progress, P::Cancel, P::Error, P::Success};
  }
  if (silent) return {P::Welcome, P::Progress, P::Success, P::Error};
  return {P::Welcome, P::Destination, P::Progress, P::Success, P::Error};
}

FlowRules RulesFor(WizardStyle style, bool silent) {
  FlowRules rules;
  rules.pages = PageSetFor(style, silent);
  if (style == WizardStyle::PropertySheet) {
    rules.cancelPage = true;
    rules.silentWelcome = std::chrono::milliseconds(2000);
    rules.holdAfterError = true;
  }
  return rules;
}

ButtonStates ButtonsFor(WizardPage page, bool silent) {
  ButtonStates buttons;
  switch (page) {
    case WizardPage::Welcome:
      buttons.backSensitive = false;
      break;
    case WizardPage::Destination:
      buttons.backSensitive = true;
      break;
    case WizardPage::Progress:
      buttons.backSensitive = false;
      buttons.nextSensitive = false;
      break;
    case WizardPage::Success:
    case WizardPage::Error:
    case WizardPage::Cancel:
      buttons.backVisible = false;
      buttons.nextIsFinish = true;
      buttons.cancelSensitive = false;
      break;
  }
  // A silent run asks nothing, so only Cancel is offered while it goes on.
  if (silent && (page == WizardPage::Welcome || page == WizardPage::Progress)) {
    buttons.backVisible = false;
    buttons.nextVisible = false;
  }
  return buttons;
}

std::u16string WelcomeText(const ProductAndVendor& names) {
  const std::u16string product = names.product.empty() ? LookUpMessage("IDS_DEFPRODUCT") : names.product;
  const std::u16string vendor = names.vendor.empty() ? LookUpMessage("IDS_DEFPROVIDER") : names.vendor;
  return LookUpMessage("IDS_WELCOME_TITLE") + u" " + product + u" (" + vendor + u").";
}

std::optional<std::u16string> AcceptDestination(std::u16string field) {
  if (field.empty()) return std::nullopt;
  return ToNativeSeparators(std::move(field), PathStyle::Posix);
}

std::u16string DescriptionPath(const std::u16string& templateDirectory, const std::u16string& reference) {
  return ToNativeSeparators(JoinPath(templateDirectory, reference, PathStyle::Posix), PathStyle::Posix);
}

std::u16string SheetDescriptionPath(const std::u16string& templateDirectory, const std::u16string& reference) {
  if (!templateDirectory.empty()) return JoinPath(templateDirectory, reference, PathStyle::Windows);
  const bool leading = !reference.empty() && IsSeparator(reference[0], PathStyle::Windows);
  std::u16string path(1, u'\\');
  path.append(reference, leading ? 1 : 0);
  return path;
}

bool SheetDescriptionExists(const std::u16string& templateDirectory, const std::u16string& reference) {
  if (reference.empty()) return false;
  FileFinder finder;
  if (finder.FindFirst(templateDirectory + reference)) return true;
  finder.Close();
  return finder.FindFirst(templateDirectory + u"\\" + reference);
}

CancelRule CancelRuleFor(WizardPage page, CancelSource source, WizardStyle style) {
  if (style == WizardStyle::PropertySheet) {
    // The sheet turns Escape and the close box into its Cancel button, which
    // the final pages disable.
    switch (page) {
      case WizardPage::Welcome:
      case WizardPage::Destination: return CancelRule::AskThenCancelPage;
      case WizardPage::Progress: return CancelRule::AskThenStopRun;
      default: return CancelRule::Nothing;
    }
  }
  switch (page) {
    case WizardPage::Welcome:
    case WizardPage::Destination:
      return source == CancelSource::CloseRequest ? CancelRule::Close : CancelRule::AskThenClose;
    case WizardPage::Progress:
      // Closing the window under a running installation would leave the
      // worker writing into a half-done tree; the close box asks like Cancel.
      return CancelRule::AskThenStopRun;
    case WizardPage::Success:
    case WizardPage::Error:
    case WizardPage::Cancel:
      switch (source) {
        case CancelSource::CancelButton: return CancelRule::Nothing;  // the button is disabled
        case CancelSource::EscapeKey: return CancelRule::AskThenClose;
        case CancelSource::CloseRequest: return CancelRule::Close;
      }
  }
  return CancelRule::Nothing;
}

bool WizardFlow::ControlFrontEnd::ShowMessage(MessageKind kind, const std::u16string& text) {
  return flow_.Ask(kind, text);
}

void WizardFlow::ControlFrontEnd::ShowPage(WizardPage page) {
  if (page == WizardPage::Progress) {
    flow_.Show(page);
  } else {
    flow_.ShowRunEnd(page);
  }
}

void WizardFlow::ControlFrontEnd::ShowProgress(uint32_t percentage, const std::u16string& label) {
  // The sheet shows what the worker is doing (the file it writes); the
  // window shows one of two fixed texts.
  flow_.view_.ShowProgress(percentage,
                           flow_.style_ == WizardStyle::PropertySheet ? flow_.context_.progressText : label);
}

void WizardFlow::ControlFrontEnd::OpenFile(const std::u16string& path) { flow_.view_.OpenFile(path); }

void WizardFlow::ControlFrontEnd::Close() { flow_.Close(); }

WizardFlow::WizardFlow(SetupContext& context, WizardView& view, EngineSettings settings, WizardStyle style)
    : context_(context),
      view_(view),
      style_(style),
      rules_(RulesFor(style, context.silent)),
      controlFrontEnd_(*this),
      control_(context, controlFrontEnd_, std::move(settings), rules_.holdAfterError) {}

WizardFlow::~WizardFlow() = default;

bool WizardFlow::Ask(MessageKind kind, const std::u16string& text) {
  // The box runs its own loop, in which Tick keeps firing; polls wait until
  // the box is answered, so a page never changes under an open box.
  messageOpen_ = true;
  const bool yes = ShowMessage(context_, view_, kind, text);
  messageOpen_ = false;
  return yes;
}

void WizardFlow::Show(WizardPage page) {
  page_ = page;
  view_.ShowPage(page);
}

bool WizardFlow::InSet(WizardPage page) const {
  return std::find(rules_.pages.begin(), rules_.pages.end(), page) != rules_.pages.end();
}

WizardPage WizardFlow::NextInSet() const {
  auto at = std::find(rules_.pages.begin(), rules_.pages.end(), page_);
  return at == rules_.pages.end() || at + 1 == rules_.pages.end() ? page_ : *(at + 1);
}

void WizardFlow::Start() {
  if (started_) return;
  started_ = true;
  view_.SetWelcomeText(WelcomeText(context_.kit.FindProductAndVendor(context_.descriptionLanguage)));
  Show(WizardPage::Welcome);
  if (!context_.silent) return;
  // Nobody confirms the proposal in a silent run, nor would anyone hear why
  // a run into a directory that cannot be made or written failed: say so
  // now, before anything is touched.
  ErrorCode code = 0;
  if (const std::u16string refusal = DirectoryRefusal(context_.templateDirectory, code); code != 0) {
    context_.result = ResultOf(code);
    Ask(MessageKind::Error, refusal);
    context_.outcome = Outcome::NotPrepared;
    Close();
    return;
  }
  if (rules_.silentWelcome.count() == 0) {
    BeginRun();
  } else {
    silentStart_ = std::chrono::steady_clock::now() + rules_.silentWelcome;
  }
}

void WizardFlow::BeginRun() {
  context_.progressText = LookUpMessage("IDS_PROGRESS_START");
  AfterPoll(control_.BeginInstallation());
}

void WizardFlow::AfterPoll(InstallationControl::State state) {
  if (state == InstallationControl::State::Running || state == InstallationControl::State::Idle) return;
  // A silent run ends with its run; the final page is only set up.
  if (context_.silent) Close();
}

void WizardFlow::ShowRunEnd(WizardPage page) {
  // A page set without this page (the silent sheet has no success page)
  // simply ends with the run; so does a silent sheet, which closes itself
  // without showing how the run ended.
  if (!InSet(page) || (context_.silent && style_ == WizardStyle::PropertySheet)) return;
  if (style_ == WizardStyle::PropertySheet) {
    descriptionOffered_ =
        page == WizardPage::Success &&
        SheetDescriptionExists(context_.templateDirectory, context_.kit.FindDescription(context_.descriptionLanguage));
  }
  Show(page);
}

void WizardFlow::Back() {
  if (closed_ || messageOpen_) return;
  if (page_ == WizardPage::Destination) Show(WizardPage::Welcome);
}

void WizardFlow::Next() {
  if (closed_ || messageOpen_) return;
  switch (page_) {
    case WizardPage::Welcome:
      if (context_.silent || NextInSet() != WizardPage::Destination) return;
      // The field shows the directory last confirmed, not an abandoned edit.
      view_.SetDestinationText(context_.templateDirectory);
      Show(WizardPage::Destination);
      break;
    case WizardPage::Destination: {
      // The sheet takes the field as typed; the window turns it into a
      // path of its own system.
      const std::optional<std::u16string> directory =
          style_ == WizardStyle::PropertySheet
              ? (view_.DestinationText().empty() ? std::nullopt : std::optional(view_.DestinationText()))
              : AcceptDestination(view_.DestinationText());
      // A relative path is taken against the working directory of this
      // moment, and kept so: the run and the starter file get the same place.
      const std::u16string absolute = directory ? MakeAbsolutePath(*directory, CurrentDirectory()) : u"";
      if (absolute.empty()) {
        Ask(MessageKind::Plain, LookUpMessage("IDS_SETUP_EMPTYTARGET"));
        return;
      }
      context_.templateDirectory = absolute;
      BeginRun();
      break;
    }
    case WizardPage::Progress:
      break;
    case WizardPage::Success:
    case WizardPage::Error:
    case WizardPage::Cancel:
      Finish();
      break;
  }
}

void WizardFlow::Finish() {
  if (style_ == WizardStyle::PropertySheet) {
    // Whether the file is there was settled on the way to the page.
    if (page_ == WizardPage::Success && descriptionOffered_ && view_.OpenDescriptionChecked()) {
      view_.OpenFile(SheetDescriptionPath(context_.templateDirectory,
                                          context_.kit.FindDescription(context_.descriptionLanguage)));
    }
    Close();
    return;
  }
  if (page_ == WizardPage::Success && view_.OpenDescriptionChecked()) {
    // A kit that names no description opens nothing; its path would be the
    // template directory itself.
    const std::u16string reference = context_.kit.FindDescription(context_.descriptionLanguage);
    if (!reference.empty()) {
      const std::u16string path = DescriptionPath(context_.templateDirectory, reference);
      FileFinder finder;
      if (finder.FindFirst(path)) view_.OpenFile(path);
    }
  }
  Close();
}

void WizardFlow::Cancel(CancelSource source) {
  if (closed_ || messageOpen_) return;
  switch (CancelRuleFor(page_, source, style_)) {
    case CancelRule::Nothing:
      break;
    case CancelRule::AskThenClose:
      if (Ask(MessageKind::Question, LookUpMessage("IDS_ACCEPT_CANCEL"))) Close();
      break;
    case CancelRule::AskThenCancelPage:
      // The silent welcome page's own advance waits while the box is open.
      if (Ask(MessageKind::Question, LookUpMessage("IDS_ACCEPT_CANCEL"))) {
        silentStart_ = {};
        Show(WizardPage::Cancel);
      }
      break;
    case CancelRule::AskThenStopRun:
      // The worker finishes the file in hand and then waits for the answer,
      // so a Yes always finds the run still to be cancelled.
      if (RunInProgress()) {
        control_.ConfirmCancelDuringRun(
            [this] { return Ask(MessageKind::Question, LookUpMessage("IDS_ACCEPT_CANCEL")); });
      }
      break;
    case CancelRule::Close:
      Close();
      break;
  }
}

void WizardFlow::DestinationEdited(const std::u16string& text) {
  if (style_ == WizardStyle::PropertySheet && page_ == WizardPage::Destination) context_.templateDirectory = text;
}

void WizardFlow::Tick() {
  if (closed_ || !started_) return;
  if (TerminationRequested()) {
    // A signal cannot answer a box; close it (as No) and act on the next tick.
    if (messageOpen_) {
      view_.DismissMessage();
      return;
    }
    if (RunInProgress()) {
      if (!cancelRequested_) control_.RequestCancel();
      cancelRequested_ = true;
    } else {
      Close();
      return;
    }
  }
  if (messageOpen_) return;
  if (context_.silent && page_ == WizardPage::Welcome && silentStart_ != std::chrono::steady_clock::time_point{} &&
      std::chrono::steady_clock::now() >= silentStart_) {
    silentStart_ = {};
    BeginRun();
    return;
  }
  if (!RunInProgress()) return;
  AfterPoll(control_.PollInstallation());
}

void WizardFlow::Close() {
  if (closed_) return;
  closed_ = true;
  view_.Close();
}

}  // namespace setup
