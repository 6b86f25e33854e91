// The wizard's page flow against a recording view: the texts and checks of
// the pages, the buttons, the cancel rules, and whole runs with real kits
// made by okdpack, installed by the real engine.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "TestSupport.h"
#include "core/TemplateDirectory.h"
#include "i18n/Catalogue.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "wizard/WizardFlow.h"

namespace setup {
namespace {

// ---- the decisions on their own ----------------------------------------------

TEST(WizardTexts, WelcomeTextNamesProductAndVendorOrTheirPlaceholders) {
  EXPECT_EQ(WelcomeText({u"Demo", u"Shop"}), u"Welcome to the product installation program Demo (Shop).");
  EXPECT_EQ(WelcomeText({u"Demo", u""}), u"Welcome to the product installation program Demo (<Vendor>).");
  EXPECT_EQ(WelcomeText({u"", u""}), u"Welcome to the product installation program <Product> (<Vendor>).");

  const int english = ChosenLanguage();
  SetChosenLanguage(FindLanguageByCode("ru")->number);
  const std::u16string russian = WelcomeText({u"", u"Магазин"});
  SetChosenLanguage(english);
  EXPECT_EQ(russian, LookUpMessage(FindLanguageByCode("ru")->number, "IDS_WELCOME_TITLE") + u" " +
                         LookUpMessage(FindLanguageByCode("ru")->number, "IDS_DEFPRODUCT") + u" (Магазин).");
}

TEST(WizardTexts, DestinationTurnsBackslashesAndRefusesOnlyAnEmptyField) {
  EXPECT_EQ(AcceptDestination(u"C:\\x"), std::optional<std::u16string>(u"C:/x"));
  EXPECT_EQ(AcceptDestination(u"\\srv\\share\\"), std::optional<std::u16string>(u"/srv/share/"));
  EXPECT_EQ(AcceptDestination(u""), std::nullopt);
  // Not trimmed and not checked any further.
  EXPECT_EQ(AcceptDestination(u"   "), std::optional<std::u16string>(u"   "));
  EXPECT_EQ(AcceptDestination(u"/no/such/dir"), std::optional<std::u16string>(u"/no/such/dir"));
}

TEST(WizardTexts, DescriptionPathJoinsWithOneSlash) {
  EXPECT_EQ(DescriptionPath(u"/home/u/tmplts", u"docs\\readme.htm"), u"/home/u/tmplts/docs/readme.htm");
  EXPECT_EQ(DescriptionPath(u"/home/u/tmplts/", u"docs/readme.htm"), u"/home/u/tmplts/docs/readme.htm");
  EXPECT_EQ(DescriptionPath(u"/t", u"\\docs\\readme.htm"), u"/t/docs/readme.htm");
  EXPECT_EQ(DescriptionPath(u"C:\\t\\", u"/r.htm"), u"C:/t/r.htm");
  // Only one leading separator of the reference goes.
  EXPECT_EQ(DescriptionPath(u"/t", u"//r"), u"/t//r");
}

TEST(WizardTexts, SheetDescriptionPathKeepsTheReferenceAsWritten) {
  EXPECT_EQ(SheetDescriptionPath(u"D:\\t", u"\\docs\\readme.htm"), u"D:\\t\\docs\\readme.htm");
  EXPECT_EQ(SheetDescriptionPath(u"D:\\t\\", u"docs/readme.htm"), u"D:\\t\\docs/readme.htm");
  EXPECT_EQ(SheetDescriptionPath(u"D:/t/", u"/r.htm"), u"D:/t/r.htm");
  EXPECT_EQ(SheetDescriptionPath(u"", u"\\r.htm"), u"\\r.htm");
}

TEST(WizardRules, ButtonsOfEachPage) {
  struct Row {
    WizardPage page;
    bool silent;
    ButtonStates expected;
  };
  const Row rows[] = {
      {WizardPage::Welcome, false, {true, false, true, true, false, true}},
      {WizardPage::Destination, false, {true, true, true, true, false, true}},
      {WizardPage::Progress, false, {true, false, true, false, false, true}},
      {WizardPage::Success, false, {false, false, true, true, true, false}},
      {WizardPage::Error, false, {false, false, true, true, true, false}},
      // A silent run offers only Cancel until it ends.
      {WizardPage::Welcome, true, {false, false, false, true, false, true}},
      {WizardPage::Progress, true, {false, false, false, false, false, true}},
      {WizardPage::Error, true, {false, false, true, true, true, false}},
  };
  for (const Row& row : rows) {
    const ButtonStates b = ButtonsFor(row.page, row.silent);
    const ButtonStates& e = row.expected;
    SCOPED_TRACE(testing::Message() << "page " << int(row.page) << " silent " << row.silent);
    EXPECT_EQ(b.backVisible, e.backVisible);
    EXPECT_EQ(b.backSensitive, e.backSensitive);
    EXPECT_EQ(b.nextVisible, e.nextVisible);
    EXPECT_EQ(b.nextSensitive, e.nextSensitive);
    EXPECT_EQ(b.nextIsFinish, e.nextIsFinish);
    EXPECT_EQ(b.cancelSensitive, e.cancelSensitive);
  }
}

TEST(WizardRules, CancelOfEachPageAndWay) {
  using S = CancelSource;
  using R = CancelRule;
  struct Row {
    WizardPage page;
    R button, escape, close;
  };
  const Row rows[] = {
      {WizardPage::Welcome, R::AskThenClose, R::AskThenClose, R::Close},
      {WizardPage::Destination, R::AskThenClose, R::AskThenClose, R::Close},
      // Never close under a running installation.
      {WizardPage::Progress, R::AskThenStopRun, R::AskThenStopRun, R::AskThenStopRun},
      {WizardPage::Success, R::Nothing, R::AskThenClose, R::Close},
      {WizardPage::Error, R::Nothing, R::AskThenClose, R::Close},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.page));
    EXPECT_EQ(CancelRuleFor(row.page, S::CancelButton), row.button);
    EXPECT_EQ(CancelRuleFor(row.page, S::EscapeKey), row.escape);
    EXPECT_EQ(CancelRuleFor(row.page, S::CloseRequest), row.close);
  }
}

// ---- whole flows ------------------------------------------------------------------

// Records what the flow shows; answers questions from a script.
class RecordingView : public WizardView {
 public:
  struct Shown {
    MessageKind kind;
    std::u16string text;
  };

  bool ShowMessage(MessageKind kind, const std::u16string& text) override {
    messages.push_back({kind, text});
    events.push_back("message");
    if (whileMessageOpen) whileMessageOpen();
    if (dismissed) {
      dismissed = false;
      return false;
    }
    bool yes = false;
    if (!answers.empty()) {
      yes = answers.front();
      answers.pop_front();
    }
    return yes;
  }
  void ShowPage(WizardPage page) override {
    pages.push_back(page);
    events.push_back("page");
  }
  void ShowProgress(uint32_t percentage, const std::u16string& label) override {
    lastPercentage = percentage;
    if (labels.empty() || labels.back() != label) labels.push_back(label);
  }
  void OpenFile(const std::u16string& path) override { opened.push_back(path); }
  void Close() override { ++closes; }
  void SetWelcomeText(const std::u16string& text) override { welcomeText = text; }
  std::u16string DestinationText() override { return field; }
  void SetDestinationText(const std::u16string& text) override { field = text; }
  bool OpenDescriptionChecked() override { return checked; }
  void DismissMessage() override {
    ++dismissals;
    dismissed = true;
  }

  std::vector<WizardPage> pages;
  std::vector<Shown> messages;
  std::vector<std::string> events;
  std::vector<std::u16string> opened;
  std::vector<std::u16string> labels;
  std::deque<bool> answers;
  std::function<void()> whileMessageOpen;
  std::u16string welcomeText;
  std::u16string field;
  bool checked = true;
  bool dismissed = false;
  int closes = 0;
  int dismissals = 0;
  uint32_t lastPercentage = 0;
};

// Holds the worker after a chosen file until the test lets it go.
class Gate {
 public:
  void Hold(size_t index) {
    std::unique_lock lock(mutex_);
    reached_ = std::max(reached_, index + 1);
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void WaitUntilReached(size_t count) {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(20), [&] { return reached_ >= count; }));
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t reached_ = 0;
  bool open_ = false;
};

class WizardFlowTest : public testing::Test {
 protected:
  void SetUp() override {
    context.outcome = Outcome::Cancelled;  // what leaving without a run means
    test::MakeDirs(scratch / "src/docs");
    test::WriteFile(scratch / "src/a.txt", "alpha");
    test::WriteFile(scratch / "src/docs/readme.txt", "read me");
    test::WriteFile(scratch / "src/b.txt", "beta");
  }
  void TearDown() override {
    gate.Open();  // never leave a worker waiting
  }

  void ReadKit(const std::string& reference = "docs\\readme.txt") {
    const test::ProcessResult packed = test::RunProcess(
        {OKDPACK, "--describe", "en", "Demo", "Shop", reference, scratch / "src", scratch / "orvikv8.okd"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    ASSERT_EQ(context.kit.Read(Utf8ToUtf16(scratch / "orvikv8.okd")), 0u);
  }

  WizardFlow& Flow(EngineSettings settings = {}, WizardStyle style = WizardStyle::Window) {
    settings.completionPause = std::chrono::milliseconds(0);
    flow = std::make_unique<WizardFlow>(context, view, std::move(settings), style);
    return *flow;
  }
  EngineSettings Gated() {
    EngineSettings settings;
    settings.onEntryDone = [this](size_t index, FileAction) { gate.Hold(index); };
    return settings;
  }

  // Ticks as the window's timer would until the run has ended.
  void TickUntilRunEnds() {
    for (int i = 0; i < 2000 && flow->RunInProgress(); ++i) {
      flow->Tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(flow->RunInProgress());
  }

  std::u16string Target(const std::string& name = "target") { return Utf8ToUtf16(scratch / name); }

  test::ScratchDir scratch;
  SetupContext context;
  RecordingView view;
  Gate gate;
  std::unique_ptr<WizardFlow> flow;
};

TEST_F(WizardFlowTest, HappyPathInstallsRecordsAndOpensTheDescription) {
  ReadKit();
  context.templateDirectory = u"/proposed";
  WizardFlow& f = Flow();
  f.Start();
  EXPECT_EQ(view.welcomeText, u"Welcome to the product installation program Demo (Shop).");
  ASSERT_EQ(view.pages, std::vector<WizardPage>{WizardPage::Welcome});

  f.Next();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Destination);
  EXPECT_EQ(view.field, u"/proposed");

  // Typed with Windows separators: they are turned into slashes.
  view.field = Utf8ToUtf16(scratch.Path()) + u"\\target";
  f.Next();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Progress);
  EXPECT_EQ(context.templateDirectory, Target());
  f.Next();  // Next does nothing while the run goes on
  f.Back();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Progress);
  TickUntilRunEnds();

  EXPECT_EQ(f.CurrentPage(), WizardPage::Success);
  EXPECT_EQ(view.pages.back(), WizardPage::Success);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.lastPercentage, 100u);
  EXPECT_EQ(context.outcome, Outcome::Installed);
  EXPECT_EQ(test::ReadFile(scratch / "target/a.txt"), "alpha");
  EXPECT_EQ(test::ReadFile(scratch / "target/docs/readme.txt"), "read me");
  const std::string starter = test::ReadFile(Utf16ToUtf8(UserStarterFile()));
  EXPECT_NE(starter.find("ConfigurationTemplatesLocation=" + scratch / "target"), std::string::npos) << starter;

  f.Next();  // Finish
  EXPECT_EQ(view.opened, std::vector<std::u16string>{Target() + u"/docs/readme.txt"});
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(view.closes, 1);
}

// Finish opens the description path only when the box is checked and the
// kit names a description that exists.
TEST_F(WizardFlowTest, FinishOpensTheDescriptionPathOnlyWhenCheckedAndPresent) {
  struct Variant {
    const char* reference;
    bool checked;
    const char16_t* opened;  // after the template directory; null for nothing
  };
  const Variant variants[] = {
      {"docs\\readme.txt", false, nullptr},
      {"docs\\missing.txt", true, nullptr},
      {"", true, nullptr},
      {"docs\\readme.txt", true, u"/docs/readme.txt"},
  };
  int n = 0;
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.reference);
    context.kit.Close();
    ReadKit(v.reference);
    view = RecordingView();
    view.checked = v.checked;
    context.templateDirectory = Target("t" + std::to_string(n++));
    WizardFlow& f = Flow();
    f.Start();
    f.Next();
    f.Next();
    TickUntilRunEnds();
    ASSERT_EQ(f.CurrentPage(), WizardPage::Success);
    f.Next();
    if (v.opened) {
      EXPECT_EQ(view.opened, std::vector<std::u16string>{context.templateDirectory + v.opened});
    } else {
      EXPECT_TRUE(view.opened.empty());
    }
    EXPECT_TRUE(f.Closed());
  }
}

TEST_F(WizardFlowTest, EmptyPathIsRefusedWithAPlainMessage) {
  ReadKit();
  context.templateDirectory = Target();
  WizardFlow& f = Flow();
  f.Start();
  f.Next();
  view.field.clear();
  f.Next();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].kind, MessageKind::Plain);
  EXPECT_EQ(view.messages[0].text, u"Specify correct path to template directory.");
  EXPECT_EQ(f.CurrentPage(), WizardPage::Destination);
  EXPECT_FALSE(f.RunInProgress());
  EXPECT_EQ(context.templateDirectory, Target());
  EXPECT_FALSE(test::Exists(scratch / "target"));
}

TEST_F(WizardFlowTest, BackAndNextRefillTheFieldWithTheConfirmedDirectory) {
  ReadKit();
  context.templateDirectory = u"/confirmed";
  WizardFlow& f = Flow();
  f.Start();
  f.Back();  // nothing on the welcome page
  EXPECT_EQ(f.CurrentPage(), WizardPage::Welcome);
  f.Next();
  view.field = u"/abandoned edit";
  f.Back();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Welcome);
  f.Next();
  EXPECT_EQ(view.field, u"/confirmed");
  EXPECT_EQ(view.pages, (std::vector<WizardPage>{WizardPage::Welcome, WizardPage::Destination, WizardPage::Welcome,
                                                 WizardPage::Destination}));
}

TEST_F(WizardFlowTest, CancelBeforeTheRunAsksAndOnlyYesCloses) {
  ReadKit();
  context.templateDirectory = Target();
  WizardFlow& f = Flow();
  f.Start();
  view.answers = {false};
  f.Cancel(CancelSource::EscapeKey);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].kind, MessageKind::Question);
  EXPECT_EQ(view.messages[0].text, u"Do you really want to cancel installation?");
  EXPECT_FALSE(f.Closed());

  f.Next();
  view.field = u"/kept";
  view.answers = {false};
  f.Cancel(CancelSource::CancelButton);
  EXPECT_EQ(view.field, u"/kept");
  EXPECT_EQ(f.CurrentPage(), WizardPage::Destination);

  view.answers = {true};
  f.Cancel(CancelSource::CancelButton);
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(context.outcome, Outcome::Cancelled);
  EXPECT_FALSE(test::Exists(scratch / "target"));
}

TEST_F(WizardFlowTest, CloseRequestOffTheRunClosesWithoutAQuestion) {
  ReadKit();
  WizardFlow& f = Flow();
  f.Start();
  f.Next();
  f.Cancel(CancelSource::CloseRequest);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_TRUE(f.Closed());
  // Nothing reacts once closed.
  f.Next();
  f.Tick();
  EXPECT_EQ(view.closes, 1);
}

TEST_F(WizardFlowTest, CancelDuringTheRunRollsBackAndShowsTheErrorPageWithoutABox) {
  ReadKit();
  test::MakeDirs(scratch / "target");
  test::WriteFile(scratch / "target/mine.txt", "user's own");
  context.templateDirectory = Target();
  const std::string starterFile = Utf16ToUtf8(UserStarterFile());
  const std::string starterBefore = test::Exists(starterFile) ? test::ReadFile(starterFile) : "none";
  WizardFlow& f = Flow(Gated());
  f.Start();
  f.Next();
  f.Next();
  gate.WaitUntilReached(1);  // one file is in, the worker waits

  // The close box asks the same question; No lets the run go on.
  view.answers = {false};
  f.Cancel(CancelSource::CloseRequest);
  EXPECT_FALSE(f.Closed());
  EXPECT_TRUE(f.RunInProgress());
  view.answers = {true};
  f.Cancel(CancelSource::EscapeKey);
  ASSERT_EQ(view.messages.size(), 2u);
  EXPECT_EQ(view.messages[1].kind, MessageKind::Question);
  gate.Open();
  TickUntilRunEnds();

  EXPECT_EQ(f.CurrentPage(), WizardPage::Error);
  EXPECT_EQ(view.messages.size(), 2u) << "no error box after a cancel";
  EXPECT_EQ(context.outcome, Outcome::Cancelled);
  EXPECT_EQ(test::ListDir(scratch / "target"), std::vector<std::string>{"mine.txt"});
  EXPECT_EQ(test::Exists(starterFile) ? test::ReadFile(starterFile) : "none", starterBefore);
  f.Cancel(CancelSource::CancelButton);  // disabled on the error page
  EXPECT_FALSE(f.Closed());
  f.Next();
  EXPECT_TRUE(f.Closed());
}

TEST_F(WizardFlowTest, FailedRunShowsTheErrorBoxThenTheErrorPageNeverInsideTheBox) {
  ReadKit();
  // A file where the directory should be: the run cannot create its tree.
  test::WriteFile(scratch / "blocker", "x");
  context.templateDirectory = Target("blocker/sub");
  WizardFlow& f = Flow();
  f.Start();
  size_t pagesWhileOpen = 0;
  view.whileMessageOpen = [&] {
    // The box's own loop keeps the timer going.
    const size_t before = view.pages.size();
    for (int i = 0; i < 40; ++i) {
      f.Tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pagesWhileOpen += view.pages.size() - before;
  };
  f.Next();
  f.Next();
  TickUntilRunEnds();

  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].kind, MessageKind::Error);
  EXPECT_EQ(view.messages[0].text, u"Installation error");
  EXPECT_EQ(pagesWhileOpen, 0u);
  EXPECT_EQ(view.events.back(), "page");
  EXPECT_EQ(view.pages.back(), WizardPage::Error);
  EXPECT_EQ(context.outcome, Outcome::Failed);
  EXPECT_EQ(test::ReadFile(scratch / "blocker"), "x");
}

TEST_F(WizardFlowTest, EscapeOnTheSuccessPageAnsweredYesClosesWithoutOpening) {
  ReadKit();
  context.templateDirectory = Target();
  WizardFlow& f = Flow();
  f.Start();
  f.Next();
  f.Next();
  TickUntilRunEnds();
  f.Cancel(CancelSource::CancelButton);
  EXPECT_TRUE(view.messages.empty());
  view.answers = {true};
  f.Cancel(CancelSource::EscapeKey);
  EXPECT_TRUE(f.Closed());
  EXPECT_TRUE(view.opened.empty());
  EXPECT_EQ(context.outcome, Outcome::Installed);
}

TEST_F(WizardFlowTest, SilentRunStartsAtOnceAndClosesByItself) {
  ReadKit();
  context.silent = true;
  context.templateDirectory = Target();
  WizardFlow& f = Flow();
  f.Start();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Progress);
  f.Next();  // nothing to confirm
  TickUntilRunEnds();
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(view.pages, (std::vector<WizardPage>{WizardPage::Welcome, WizardPage::Progress, WizardPage::Success}));
  EXPECT_TRUE(view.opened.empty());
  EXPECT_EQ(context.outcome, Outcome::Installed);
  EXPECT_EQ(test::ReadFile(scratch / "target/b.txt"), "beta");
}

// Nobody confirms a silent run's proposal, and nobody would hear why a run
// into a place it cannot use failed: the run does not start, and the exit
// says preparation failed.
TEST_F(WizardFlowTest, SilentRunRefusesAProposalItCannotUse) {
  ReadKit();
  test::WriteFile(scratch / "file", "x");
  struct Row {
    std::u16string proposal;
    std::u16string message;
  };
  const Row rows[] = {
      {u"", LookUpMessage("IDS_ERROR_NOTARGET")},
      {Target("file/templates"), LookUpMessage("IDS_ERROR_BADTARGET") + u"\n" + Target("file/templates")},
      {Target("file"), LookUpMessage("IDS_ERROR_BADTARGET") + u"\n" + Target("file")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf16ToUtf8(row.proposal));
    view = RecordingView();
    context.silent = true;
    context.outcome = Outcome::Cancelled;
    context.templateDirectory = row.proposal;
    WizardFlow& f = Flow();
    f.Start();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(view.messages[0].text, row.message);
    EXPECT_TRUE(f.Closed());
    EXPECT_FALSE(f.RunInProgress());
    EXPECT_EQ(context.outcome, Outcome::NotPrepared);
    EXPECT_EQ(test::ReadFile(scratch / "file"), "x");
  }
}

// A relative path is taken against the working directory at the moment Next
// is pressed, and the run and the starter file get that absolute path.
TEST_F(WizardFlowTest, RelativeDestinationIsTakenAgainstTheWorkingDirectoryOnNext) {
  ReadKit();
  int n = 0;
  for (const WizardStyle style : {WizardStyle::Window, WizardStyle::PropertySheet}) {
    SCOPED_TRACE(int(style));
    view = RecordingView();
    context.templateDirectory = u"/proposed";
    WizardFlow& f = Flow({}, style);
    f.Start();
    f.Next();
    const std::string relative = "rel" + std::to_string(n++) + "/t";
    view.field = Utf8ToUtf16(relative);
    f.DestinationEdited(view.field);
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(scratch.Path().c_str()), 0);
    f.Next();
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(context.templateDirectory, Target(relative));
    TickUntilRunEnds();
    EXPECT_EQ(f.CurrentPage(), WizardPage::Success);
    EXPECT_EQ(test::ReadFile(scratch / relative + "/a.txt"), "alpha");
    const std::string starter = test::ReadFile(Utf16ToUtf8(UserStarterFile()));
    EXPECT_EQ(starter.find("ConfigurationTemplatesLocation=" + scratch / relative + "\n"), 0u) << starter;
  }
}

// The templates are installed, so the run succeeds; but a directory the
// starter file does not list is one the starter program will not offer, so
// the user hears of it once, after the success page.
TEST_F(WizardFlowTest, StarterFileThatCannotBeUpdatedGivesOnePlainWarningAfterSuccess) {
  const std::string home = scratch / "home";
  const std::string savedHome = test::GetEnvironment("HOME") ? test::GetEnvironment("HOME") : "";
  test::SetEnvironment("HOME", home.c_str());
  // Something other than a file where the starter file would be.
  test::MakeDirs(Utf16ToUtf8(UserStarterFile()));
  ReadKit();
  context.templateDirectory = Target();
  WizardFlow& f = Flow();
  f.Start();
  f.Next();
  f.Next();
  TickUntilRunEnds();
  test::SetEnvironment("HOME", savedHome.empty() ? nullptr : savedHome.c_str());
  EXPECT_EQ(context.outcome, Outcome::Installed);
  EXPECT_EQ(view.pages.back(), WizardPage::Success);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].kind, MessageKind::Plain);
  EXPECT_EQ(view.messages[0].text, LookUpMessage("IDS_WARNING_STARTER"));
  EXPECT_EQ(view.events.back(), "message");
  EXPECT_EQ(test::ReadFile(scratch / "target/a.txt"), "alpha");
}

// A termination signal sets a process-wide flag, so each case runs in a
// child process of its own.
TEST_F(WizardFlowTest, TerminationSignalCancelsTheRunThenCloses) {
  ReadKit();
  test::MakeDirs(scratch / "target");
  context.templateDirectory = Target();
  EXPECT_EXIT(
      {
        WizardFlow& f = Flow(Gated());
        InstallTerminationSignals();
        f.Start();
        f.Next();
        f.Next();
        gate.WaitUntilReached(1);
        raise(SIGTERM);
        f.Tick();  // asks for the cancel; the run is still in hand
        const bool stillOpen = !f.Closed();
        gate.Open();
        for (int i = 0; i < 2000 && !f.Closed(); ++i) {
          f.Tick();
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const bool ok = stillOpen && f.Closed() && view.pages.back() == WizardPage::Error && view.messages.empty() &&
                        context.outcome == Outcome::Cancelled && test::ListDir(scratch / "target").empty();
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(WizardFlowTest, TerminationSignalDismissesAnOpenBoxFirst) {
  ReadKit();
  EXPECT_EXIT(
      {
        WizardFlow& f = Flow();
        InstallTerminationSignals();
        f.Start();
        view.answers = {true};  // would close, but the box is dismissed first
        view.whileMessageOpen = [&] {
          raise(SIGTERM);
          f.Tick();
        };
        f.Cancel(CancelSource::CancelButton);
        const bool dismissedAsNo = view.dismissals == 1 && !f.Closed();
        f.Tick();
        std::exit(dismissedAsNo && f.Closed() && context.outcome == Outcome::Cancelled ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace setup

namespace setup {
namespace {

TEST(PageSets, EachStyleHasItsPagesInOrder) {
  using P = WizardPage;
  EXPECT_EQ(PageSetFor(WizardStyle::PropertySheet, false),
            (std::vector<P>{P::Welcome, P::Destination, P::Progress, P::Cancel, P::Error, P::Success}));
  EXPECT_EQ(PageSetFor(WizardStyle::PropertySheet, true), (std::vector<P>{P::Welcome, P::Progress, P::Cancel, P::Error}));
  EXPECT_EQ(PageSetFor(WizardStyle::Window, false),
            (std::vector<P>{P::Welcome, P::Destination, P::Progress, P::Success, P::Error}));
  for (const bool silent : {false, true}) {
    for (const P page : PageSetFor(WizardStyle::Window, silent)) EXPECT_NE(page, P::Cancel);
  }
  // The sheet's Escape and close box are its Cancel button, disabled on the final pages.
  for (const CancelSource source : {CancelSource::CancelButton, CancelSource::EscapeKey, CancelSource::CloseRequest}) {
    EXPECT_EQ(CancelRuleFor(P::Destination, source, WizardStyle::PropertySheet), CancelRule::AskThenCancelPage);
    EXPECT_EQ(CancelRuleFor(P::Progress, source, WizardStyle::PropertySheet), CancelRule::AskThenStopRun);
    for (const P final : {P::Success, P::Error, P::Cancel}) {
      EXPECT_EQ(CancelRuleFor(final, source, WizardStyle::PropertySheet), CancelRule::Nothing);
    }
  }
}

TEST_F(WizardFlowTest, SheetCancelBeforeTheRunShowsTheCancelPageAndFinishCloses) {
  ReadKit();
  context.templateDirectory = Target();
  WizardFlow& f = Flow({}, WizardStyle::PropertySheet);
  f.Start();
  f.Next();
  view.answers = {false};
  f.Cancel(CancelSource::EscapeKey);
  EXPECT_EQ(f.CurrentPage(), WizardPage::Destination);
  view.answers = {true};
  f.Cancel(CancelSource::CloseRequest);
  EXPECT_EQ(f.CurrentPage(), WizardPage::Cancel);
  EXPECT_FALSE(f.Closed());
  f.Cancel(CancelSource::EscapeKey);  // nothing on a final page
  EXPECT_EQ(view.messages.size(), 2u);
  f.Next();
  EXPECT_TRUE(f.Closed());
  EXPECT_FALSE(test::Exists(scratch / "target"));
}

TEST_F(WizardFlowTest, SilentSheetWaitsOnItsWelcomePageAndTheQuestionHoldsTheAdvance) {
  ReadKit();
  context.silent = true;
  context.templateDirectory = Target();
  WizardFlow& f = Flow({}, WizardStyle::PropertySheet);
  const auto started = std::chrono::steady_clock::now();
  f.Start();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Welcome);
  // A No keeps the advance going; it comes about two seconds after the start.
  view.answers = {false};
  f.Cancel(CancelSource::CancelButton);
  while (!f.Started() || (f.CurrentPage() == WizardPage::Welcome &&
                          std::chrono::steady_clock::now() - started < std::chrono::seconds(5))) {
    f.Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(f.CurrentPage(), WizardPage::Progress);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
  TickUntilRunEnds();
  // No success page in the silent sheet: the wizard just closes.
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(view.pages.back(), WizardPage::Progress);
  EXPECT_EQ(context.outcome, Outcome::Installed);
  EXPECT_EQ(test::ReadFile(scratch / "target/a.txt"), "alpha");
}

TEST_F(WizardFlowTest, SilentSheetShowsTheRunsErrorButNotTheErrorPage) {
  ReadKit();
  context.silent = true;
  context.templateDirectory = Target();
  test::MakeDirs(scratch / "target");
  test::WriteFile(scratch / "target/docs", "a file where the kit needs a directory");
  WizardFlow& f = Flow({}, WizardStyle::PropertySheet);
  f.Start();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!f.Closed() && std::chrono::steady_clock::now() < until) {
    f.Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(f.Closed());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].kind, MessageKind::Error);
  EXPECT_EQ(view.pages, (std::vector<WizardPage>{WizardPage::Welcome, WizardPage::Progress}));
  EXPECT_EQ(context.outcome, Outcome::Failed);
  EXPECT_EQ(test::ReadFile(scratch / "target/docs"), "a file where the kit needs a directory");
}

TEST_F(WizardFlowTest, SilentSheetCancelledOnItsWelcomePageNeverRuns) {
  ReadKit();
  context.silent = true;
  context.templateDirectory = Target();
  WizardFlow& f = Flow({}, WizardStyle::PropertySheet);
  f.Start();
  view.answers = {true};
  f.Cancel(CancelSource::CancelButton);
  EXPECT_EQ(f.CurrentPage(), WizardPage::Cancel);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2300);
  while (std::chrono::steady_clock::now() < until) {
    f.Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(f.RunInProgress());
  EXPECT_EQ(f.CurrentPage(), WizardPage::Cancel);
  EXPECT_FALSE(test::Exists(scratch / "target"));
}


TEST_F(WizardFlowTest, SheetKeepsEveryEditAndTakesThePathAsTyped) {
  ReadKit();
  context.templateDirectory = u"/proposed";
  WizardFlow& f = Flow({}, WizardStyle::PropertySheet);
  f.Start();
  f.DestinationEdited(u"/not/on/this/page");  // the field is not up yet
  EXPECT_EQ(context.templateDirectory, u"/proposed");
  f.Next();
  EXPECT_EQ(view.field, u"/proposed");
  // An edit counts at once, so Back and Next show it again.
  const std::u16string typed = Utf8ToUtf16(scratch / "a\\b");
  view.field = typed;
  f.DestinationEdited(typed);
  f.Back();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Welcome);
  EXPECT_EQ(context.templateDirectory, typed);
  f.Next();
  EXPECT_EQ(view.field, typed);
  // No separator is turned into another: the backslash is part of the name.
  f.Next();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Progress);
  EXPECT_EQ(context.templateDirectory, typed);
  TickUntilRunEnds();
  EXPECT_EQ(f.CurrentPage(), WizardPage::Success);
  EXPECT_EQ(test::ReadFile(scratch / "a\\b/a.txt"), "alpha");
  // The sheet's label tells what the worker does, from the fixed text it
  // starts with to the end.
  ASSERT_GE(view.labels.size(), 2u);
  EXPECT_EQ(view.labels.front(), u"Files being copied...");
  EXPECT_EQ(view.labels.back(), u"Copying complete...");
}

TEST_F(WizardFlowTest, SheetOffersTheDescriptionOnlyWhenItIsThere) {
  struct Variant {
    const char* reference;
    bool checked;
    bool offered;
  };
  const Variant variants[] = {
      {"docs/readme.txt", true, true},
      {"/docs/readme.txt", false, true},
      {"docs/missing.txt", true, false},
      {"", true, false},
  };
  int n = 0;
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.reference);
    context.kit.Close();
    ReadKit(v.reference);
    view = RecordingView();
    view.checked = v.checked;
    // Ends in a separator, so that the reference right after it is a path
    // on this system too.
    context.templateDirectory = Target("t" + std::to_string(n++)) + u"/";
    WizardFlow& f = Flow({}, WizardStyle::PropertySheet);
    f.Start();
    f.Next();
    f.Next();
    TickUntilRunEnds();
    ASSERT_EQ(f.CurrentPage(), WizardPage::Success);
    EXPECT_EQ(f.DescriptionOffered(), v.offered);
    f.Next();
    if (v.offered && v.checked) {
      EXPECT_EQ(view.opened, std::vector<std::u16string>{context.templateDirectory + u"docs/readme.txt"});
    } else {
      EXPECT_TRUE(view.opened.empty());
    }
    EXPECT_TRUE(f.Closed());
  }
}

}  // namespace
}  // namespace setup
