// The real setup window under a private Xvfb, driven with xdotool as a user
// would: clicks at the buttons, keys, typed paths. What the window shows is
// read from the X server (windows, sizes, titles, hints) and from the trace
// the program writes of its widgets' state; what the run did is read from disk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "GuiHarness.h"
#include "TestSupport.h"
#include "i18n/Catalogue.h"
#include "platform/Text.h"

namespace setup::guitest {
namespace {

using Clock = std::chrono::steady_clock;

// Centres of the buttons in English, where every label fits the 80-pixel
// buttons: Back 230, Next 310, Cancel 410, all 80 x 30 at y 320.
constexpr int kBackX = 270, kNextX = 350, kCancelX = 450, kButtonsY = 335;
constexpr int kEntryX = 300, kEntryY = 290, kBrowseX = 475;

void PutFile(const std::string& path, const std::string& content, time_t seconds = 1600000000) {
  test::MakeDirs(path.substr(0, path.rfind('/')));
  test::WriteFile(path, content);
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string Utf8Message(const char* language, const char* identifier) {
  return Utf16ToUtf8(LookUpMessage(FindLanguageByCode(language)->number, identifier));
}

class WizardWindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"xdotool", "xprop", "xwininfo"}) {
      if (FindProgram(tool).empty()) {
        skipReason_ = std::string(tool) + " is not installed (Debian packages xdotool, x11-utils)";
        return;
      }
    }
    server_ = std::make_unique<XServer>();
    if (!server_->Start(skipReason_)) server_.reset();
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    if (!server_) GTEST_SKIP() << "no X server for the GUI tests: " << skipReason_;
    home_ = scratch_ / "home";
    tmp_ = scratch_ / "tmp";
    bin_ = scratch_ / "bin";
    for (const std::string& d : {home_, tmp_, bin_}) test::MakeDirs(d);
    // Stands in for the desktop's opener and tells what it was given.
    PutFile(bin_ + "/xdg-open", "#!/bin/sh\n{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$XDG_OPEN_LOG.part\"\nmv \"$XDG_OPEN_LOG.part\" \"$XDG_OPEN_LOG\"\n");
    chmod((bin_ + "/xdg-open").c_str(), 0755);
    PutFile(scratch_ / "src/a.txt", "alpha");
    PutFile(scratch_ / "src/docs/readme.txt", "read me");
    PutFile(scratch_ / "src/sub/b.txt", "beta");
  }

  void TearDown() override {
    if (setup_.Running()) {
      ADD_FAILURE() << "setup was still running; its trace:\n" << TraceText();
      setup_.Kill();
    }
  }

  void Pack(const std::string& source = "") {
    const test::ProcessResult packed = test::RunProcess(
        {OKDPACK, "--describe", "en", "Demo", "Shop", "docs\\readme.txt", "--describe", "ru", "Демо", "Магазин",
         "docs\\readme.txt", source.empty() ? scratch_ / "src" : source, scratch_ / "orvikv8.okd"});
    ASSERT_EQ(packed.status, 0) << packed.err;
  }

  // Many files, so that a run slowed down per file lasts a while.
  void PackLarge(int files, size_t size) {
    std::string data(size, '\0');
    uint32_t x = 12345;
    for (char& c : data) {
      x = x * 1103515245 + 12345;
      c = static_cast<char>(x >> 24);
    }
    for (int i = 0; i < files; ++i) PutFile(scratch_ / ("large/f" + std::to_string(i) + ".bin"), data);
    PutFile(scratch_ / "large/docs/readme.txt", "read me");
    Pack(scratch_ / "large");
  }

  void StartSetup(std::vector<std::string> args = {}, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), {SETUP_BINARY, "usecwd"});
    std::map<std::string, std::string> all = {
        {"DISPLAY", server_->Display()},
        {"HOME", home_},
        {"TMPDIR", tmp_},
        {"SETUP_UI_TRACE", trace_.Path()},
        {"XDG_OPEN_LOG", scratch_ / "opened"},
        {"PATH", bin_ + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")},
        {"LC_ALL", "C.UTF-8"},
        {"LANG", "C.UTF-8"},
        {"LANGUAGE", ""},
        {"WAYLAND_DISPLAY", ""},
        {"XDG_CONFIG_HOME", home_ + "/.config"},
        {"NO_AT_BRIDGE", "1"},
        // GTK keeps its caches for the life of the process; under LeakSanitizer
        // only leaks outside the toolkit count.
        {"LSAN_OPTIONS", std::string("suppressions=") + GUI_LSAN_SUPPRESSIONS + ":print_suppressions=0"},
    };
    for (auto& [name, value] : env) all[name] = value;
    ASSERT_TRUE(setup_.Start(args, all, scratch_.Path(), scratch_ / "setup.out"));
  }

  void SlowDown(std::map<std::string, std::string>& env, int milliseconds) {
    for (auto& [name, value] : test::PreloadEnvironment(SLOWDOWN_LIB)) env[name] = value;
    env["SLOWDOWN_FUTIMENS_MS"] = std::to_string(milliseconds);
  }

  ToolResult Xdo(std::vector<std::string> args, double seconds = 20) {
    args.insert(args.begin(), "xdotool");
    return RunTool(args, {{"DISPLAY", server_->Display()}}, seconds);
  }

  std::vector<std::string> VisibleWindows() {
    const ToolResult found =
        Xdo({"search", "--all", "--onlyvisible", "--pid", std::to_string(setup_.Pid()), "--class", "."}, 10);
    std::vector<std::string> ids;
    std::istringstream lines(found.out);
    for (std::string id; std::getline(lines, id);) {
      if (!id.empty()) ids.push_back(id);
    }
    return ids;
  }

  // The wizard window: the setup window of 500 x 360 pixels.
  std::string MainWindow() {
    if (!main_.empty()) return main_;
    for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
      for (const std::string& id : VisibleWindows()) {
        if (Geometry(id) == "500x360") return main_ = id;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "no wizard window appeared; trace:\n" << TraceText();
    return "";
  }

  // A box or chooser of setup beside the wizard window, waited for.
  std::string OtherWindow() {
    const std::string main = MainWindow();
    for (auto deadline = Clock::now() + std::chrono::seconds(20); Clock::now() < deadline;) {
      for (const std::string& id : VisibleWindows()) {
        if (id != main) return id;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "no second window appeared; trace:\n" << TraceText();
    return "";
  }

  // The first window setup shows, whatever it is, waited for.
  std::string AnyWindow() {
    for (auto deadline = Clock::now() + std::chrono::seconds(20); Clock::now() < deadline;) {
      const std::vector<std::string> windows = VisibleWindows();
      if (!windows.empty()) return windows.front();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "no window appeared; trace:\n" << TraceText();
    return "";
  }

  std::string Geometry(const std::string& window) {
    const ToolResult info = RunTool({"xwininfo", "-id", window}, {{"DISPLAY", server_->Display()}}, 10);
    auto field = [&](const std::string& name) {
      const size_t at = info.out.find(name);
      return at == std::string::npos ? std::string("?") : std::to_string(std::atoi(info.out.c_str() + at + name.size()));
    };
    return field("Width: ") + "x" + field("Height: ");
  }

  std::string Property(const std::string& window, const std::string& name) {
    return RunTool({"xprop", "-id", window, name}, {{"DISPLAY", server_->Display()}, {"LC_ALL", "C.UTF-8"}}, 10).out;
  }

  void Click(int x, int y) {
    ASSERT_EQ(Xdo({"mousemove", "--window", MainWindow(), std::to_string(x), std::to_string(y), "click", "1"}).status, 0);
  }
  void Key(const std::string& window, const std::string& keys) {
    ASSERT_EQ(Xdo({"windowfocus", "--sync", window, "key", "--clearmodifiers", keys}).status, 0);
  }
  // Types into the wizard's focused widget.
  void Type(const std::string& text) {
    ASSERT_EQ(Xdo({"windowfocus", "--sync", MainWindow(), "type", "--delay", "10", text}, 60).status, 0);
  }
  void CloseRequest(const std::string& window) {
    ASSERT_EQ(RunTool({CLOSE_REQUEST_TOOL, window}, {{"DISPLAY", server_->Display()}}, 10).status, 0);
  }

  // Waits for a trace line; fails the test (with the whole trace) when none comes.
  int Expect(const std::string& prefix, size_t from = 0, double seconds = 30) {
    const int at = trace_.WaitFor(prefix, seconds, from);
    if (at < 0) ADD_FAILURE() << "no trace line \"" << prefix << "\"; trace:\n" << TraceText();
    return at;
  }
  std::string TraceText() {
    std::string all;
    for (const std::string& line : trace_.Lines()) all += "  " + line + "\n";
    return all;
  }
  size_t TraceSize() { return trace_.Lines().size(); }

  // Waits until the run has installed files: a progress line above 0 %.
  void ExpectFilesInstalled(size_t from) {
    for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
      const std::vector<std::string> lines = trace_.Lines();
      for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind("progress ", 0) == 0 && std::atoi(lines[i].c_str() + 9) > 0) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the run installed nothing; trace:\n" << TraceText();
  }

  std::string ProposedDirectory() { return home_ + "/.orvikv8/Orvik/orvikv8/tmplts"; }
  std::string StarterFile() { return home_ + "/.Orvik/orvikstart/orvikstart.cfg"; }

  // Up to the destination page, its field holding `path`.
  void EnterPath(const std::string& path) {
    Expect("page welcome");
    Click(kNextX, kButtonsY);
    Expect("page destination");
    // The page gives the field no focus of its own.
    Click(kEntryX, kEntryY);
    Key(MainWindow(), "ctrl+a");
    Key(MainWindow(), "BackSpace");
    if (!path.empty()) Type(path);
  }

  // A run into `target`, which holds an older a.txt, that fails at the
  // second file (its times cannot be set) and rolls back; returns the trace
  // line of the error box it shows.
  int StartFailingRun(const std::string& target) {
    Pack();
    PutFile(target + "/a.txt", "old alpha", 1000000000);
    std::map<std::string, std::string> env = test::PreloadEnvironment(test::FaultInjectionLibrary());
    env["FAULTINJECT_RULES"] = "futimens:2:5";
    StartSetup({}, env);
    EnterPath(target);
    Click(kNextX, kButtonsY);
    return Expect("message error icon=yes buttons=OK Installation error");
  }

  // The target as StartFailingRun found it, and no directory recorded.
  void ExpectRolledBack(const std::string& target) {
    EXPECT_EQ(test::ListDir(target), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(test::ReadFile(target + "/a.txt"), "old alpha");
    EXPECT_FALSE(test::Exists(StarterFile()));
  }

  static inline std::unique_ptr<XServer> server_;
  static inline std::string skipReason_;
  test::ScratchDir scratch_;
  std::string home_, tmp_, bin_, main_;
  UiTraceFile trace_{scratch_ / "trace"};
  Child setup_;
};

TEST_F(WizardWindowTest, HappyPathInstallsRecordsTheDirectoryAndOpensTheDescription) {
  Pack();
  StartSetup();
  Expect("page welcome back=off:< Back next=on:Next > cancel=on:Cancel");
  Expect("text Welcome to the product installation program Demo (Shop).");
  // A path the shell would mangle: it must reach xdg-open unchanged.
  const std::string target = scratch_ / "my \"templates\" $HOME `x`";
  EnterPath(target);
  EXPECT_GE(Expect("entry " + ProposedDirectory()), 0);
  Click(kNextX, kButtonsY);
  Expect("page progress back=off:< Back next=off:Next > cancel=on:Cancel");
  Expect("page success back=hidden next=on:Finish cancel=off:Cancel check=on");
  EXPECT_EQ(trace_.Find("message"), -1) << TraceText();

  EXPECT_EQ(test::ReadFile(target + "/a.txt"), "alpha");
  EXPECT_EQ(test::ReadFile(target + "/docs/readme.txt"), "read me");
  EXPECT_EQ(test::ReadFile(target + "/sub/b.txt"), "beta");
  // The directory is recorded just after the success page is shown.
  const std::string starter = WaitForFile(StarterFile());
  EXPECT_NE(starter.find("ConfigurationTemplatesLocation=" + target), std::string::npos) << starter;

  Click(kNextX, kButtonsY);  // Finish, with the check box on
  EXPECT_EQ(setup_.Wait(30), 0);
  EXPECT_EQ(WaitForFile(scratch_ / "opened"), "1\n" + target + "/docs/readme.txt\n");
  EXPECT_EQ(test::ListDir(tmp_), std::vector<std::string>{});
}

TEST_F(WizardWindowTest, EmptyPathShowsAPlainBoxAndThePageStays) {
  Pack();
  StartSetup();
  EnterPath("");
  const size_t before = TraceSize();
  Click(kNextX, kButtonsY);
  const int box = Expect("message plain icon=no buttons=OK Specify correct path to template directory.", before);
  const std::string dialog = OtherWindow();
  ASSERT_FALSE(dialog.empty());
  // Captioned with the wizard's title, yet a window of its own.
  EXPECT_NE(Property(dialog, "_NET_WM_NAME").find("\"Installing configuration\""), std::string::npos);
  EXPECT_NE(Property(dialog, "WM_TRANSIENT_FOR").find("not found"), std::string::npos);
  Key(dialog, "Return");
  Expect("answer ok", static_cast<size_t>(box));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(trace_.Find("page", static_cast<size_t>(box)), -1) << TraceText();
  EXPECT_EQ(VisibleWindows(), std::vector<std::string>{MainWindow()});

  // Still on the destination page: a path now goes on.
  Click(kEntryX, kEntryY);
  Type(scratch_ / "target");
  Click(kNextX, kButtonsY);
  Expect("page success", static_cast<size_t>(box));
  EXPECT_EQ(test::ReadFile(scratch_ / "target/a.txt"), "alpha");
  Click(kNextX, kButtonsY);
  EXPECT_EQ(setup_.Wait(30), 0);
}

TEST_F(WizardWindowTest, BackAndNextRefillTheEntryAndTheCloseBoxEndsWithoutAQuestion) {
  Pack();
  StartSetup();
  EnterPath("/an/abandoned/edit");
  const size_t before = TraceSize();
  Click(kBackX, kButtonsY);
  Expect("page welcome back=off", before);
  Click(kNextX, kButtonsY);
  Expect("page destination back=on", before);
  Expect("entry " + ProposedDirectory(), before);
  CloseRequest(MainWindow());
  EXPECT_EQ(setup_.Wait(30), 2);
  EXPECT_EQ(trace_.Find("message"), -1) << TraceText();
  EXPECT_FALSE(test::Exists(ProposedDirectory()));
}

TEST_F(WizardWindowTest, EscapeOnTheWelcomePageAsksAndYesEndsWithStatus2) {
  Pack();
  StartSetup();
  Expect("page welcome");
  Key(MainWindow(), "Escape");
  Expect("message question icon=yes buttons=Yes,No Do you really want to cancel installation?");
  const std::string dialog = OtherWindow();
  ASSERT_FALSE(dialog.empty());
  Key(dialog, "alt+y");
  EXPECT_EQ(setup_.Wait(30), 2);
  EXPECT_GE(trace_.Find("answer yes"), 0);
  EXPECT_FALSE(test::Exists(StarterFile()));
  EXPECT_FALSE(test::Exists(ProposedDirectory()));
}

TEST_F(WizardWindowTest, CancelDuringALongRunRollsBackToTheErrorPageWithoutAnErrorBox) {
  PackLarge(40, 4096);
  const std::string target = scratch_ / "target";
  PutFile(target + "/mine.txt", "the user's own");
  PutFile(target + "/f3.bin", "an older version", 1000000000);
  std::map<std::string, std::string> env;
  SlowDown(env, 150);  // six seconds of run
  StartSetup({}, env);
  EnterPath(target);
  Click(kNextX, kButtonsY);
  const int progress = Expect("page progress");
  ExpectFilesInstalled(static_cast<size_t>(progress));
  Click(kCancelX, kButtonsY);
  const int question = Expect("message question", static_cast<size_t>(progress));
  const std::string dialog = OtherWindow();
  ASSERT_FALSE(dialog.empty());
  Key(dialog, "alt+y");
  Expect("page error back=hidden next=on:Finish cancel=off:Cancel", static_cast<size_t>(question), 60);
  EXPECT_EQ(trace_.Find("message error"), -1) << TraceText();

  EXPECT_EQ(test::ListDir(target), (std::vector<std::string>{"f3.bin", "mine.txt"}));
  EXPECT_EQ(test::ReadFile(target + "/f3.bin"), "an older version");
  EXPECT_EQ(test::ReadFile(target + "/mine.txt"), "the user's own");
  EXPECT_FALSE(test::Exists(StarterFile()));
  Click(kNextX, kButtonsY);
  EXPECT_EQ(setup_.Wait(30), 2);
}

TEST_F(WizardWindowTest, CloseRequestDuringTheRunAsksInsteadOfClosing) {
  PackLarge(25, 4096);
  std::map<std::string, std::string> env;
  SlowDown(env, 120);
  StartSetup({}, env);
  EnterPath(scratch_ / "target");
  Click(kNextX, kButtonsY);
  const int progress = Expect("page progress");
  CloseRequest(MainWindow());
  Expect("message question", static_cast<size_t>(progress));
  const std::string dialog = OtherWindow();
  ASSERT_FALSE(dialog.empty());
  Key(dialog, "alt+n");
  // The run goes on to its end.
  Expect("page success", static_cast<size_t>(progress), 60);
  EXPECT_EQ(test::ReadFile(scratch_ / "target/docs/readme.txt"), "read me");
  // Off the run, the close box closes at once.
  const size_t before = TraceSize();
  CloseRequest(MainWindow());
  EXPECT_EQ(setup_.Wait(30), 0);
  EXPECT_EQ(trace_.Find("message", before), -1) << TraceText();
}

TEST_F(WizardWindowTest, FailingRunShowsTheErrorBoxThenTheErrorPage) {
  const std::string target = scratch_ / "target";
  const int box = StartFailingRun(target);
  const std::string dialog = OtherWindow();
  ASSERT_FALSE(dialog.empty());
  // The page changes only once the box is answered.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(trace_.Find("page error", static_cast<size_t>(box)), -1) << TraceText();
  Key(dialog, "Return");
  const int answer = Expect("answer ok", static_cast<size_t>(box));
  Expect("page error back=hidden next=on:Finish cancel=off:Cancel", static_cast<size_t>(answer));
  ExpectRolledBack(target);
  Click(kNextX, kButtonsY);
  EXPECT_EQ(setup_.Wait(30), 1);
}

TEST_F(WizardWindowTest, SilentRunWithADisplayShowsOnlyCancelAndEndsByItself) {
  PackLarge(20, 1024);
  std::map<std::string, std::string> env;
  SlowDown(env, 100);
  StartSetup({"-S"}, env);
  Expect("page welcome back=hidden next=hidden cancel=on:Cancel");
  Expect("page progress back=hidden next=hidden cancel=on:Cancel");
  EXPECT_EQ(Geometry(MainWindow()), "500x360");
  EXPECT_EQ(setup_.Wait(60), 0);
  EXPECT_EQ(test::ReadFile(ProposedDirectory() + "/docs/readme.txt"), "read me");
  EXPECT_EQ(trace_.Find("message"), -1) << TraceText();
  EXPECT_EQ(trace_.Find("page destination"), -1) << TraceText();
  EXPECT_FALSE(test::Exists(scratch_ / "opened"));
}

TEST_F(WizardWindowTest, QuietSilentRunShowsNoWindowAndNoBoxEvenOnADisplay) {
  const std::string target = scratch_ / "target";
  Pack();
  PutFile(target + "/a.txt", "old alpha", 1000000000);
  std::map<std::string, std::string> env = test::PreloadEnvironment(test::FaultInjectionLibrary());
  env["FAULTINJECT_RULES"] = "futimens:2:5";
  StartSetup({"-S", "-Q", "-D=" + target, "-R=" + scratch_ / "report"}, env);
  EXPECT_EQ(setup_.Wait(30), 1);
  // The message went to standard error and into the report, and GTK was
  // never started: no page and no box reached the trace.
  EXPECT_EQ(test::ReadFile(scratch_ / "setup.out"), "Installation error\n");
  EXPECT_TRUE(trace_.Lines().empty()) << TraceText();
  const std::string report = test::ReadFile(scratch_ / "report");
  EXPECT_NE(report.find("\"exit\":1,\"result\":30,"), std::string::npos) << report;  // EIO
  EXPECT_NE(report.find("\"message\":\"Installation error\"}"), std::string::npos) << report;
  ExpectRolledBack(target);
}

TEST_F(WizardWindowTest, TerminationSignalDuringTheRunCancelsWithStatus2) {
  PackLarge(30, 1024);
  std::map<std::string, std::string> env;
  SlowDown(env, 150);
  StartSetup({}, env);
  EnterPath(scratch_ / "target");
  Click(kNextX, kButtonsY);
  const int progress = Expect("page progress");
  ExpectFilesInstalled(static_cast<size_t>(progress));
  kill(setup_.Pid(), SIGTERM);
  EXPECT_EQ(setup_.Wait(60), 2);
  EXPECT_EQ(test::ListDir(scratch_ / "target"), std::vector<std::string>{});
  EXPECT_EQ(test::ListDir(tmp_), std::vector<std::string>{});
}

// A box runs a loop of its own; a signal must still end the program.
TEST_F(WizardWindowTest, TerminationSignalClosesTheStartUpBoxAndEndsTheProgram) {
  StartSetup();  // no kit beside it
  Expect("message error icon=yes buttons=OK Distribution kit file orvikv8.okd not found.");
  ASSERT_FALSE(AnyWindow().empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(setup_.Running());
  const auto signalled = Clock::now();
  kill(setup_.Pid(), SIGTERM);
  EXPECT_EQ(setup_.Wait(10), 2);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - signalled).count(), 3.0);
  EXPECT_GE(trace_.Find("answer none"), 0) << TraceText();
  EXPECT_EQ(trace_.Find("window"), -1) << TraceText();
  EXPECT_EQ(test::ListDir(tmp_), std::vector<std::string>{});
}

// The run's error box is opened from inside the wizard's poll timer, so
// that timer cannot be what notices the signal.
TEST_F(WizardWindowTest, TerminationSignalClosesTheRunsErrorBoxAndEndsAsAFailedRun) {
  const std::string target = scratch_ / "target";
  const int box = StartFailingRun(target);
  ASSERT_FALSE(OtherWindow().empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(setup_.Pid(), SIGTERM);
  // The run had failed before the signal came: it ends as a failed run.
  EXPECT_EQ(setup_.Wait(10), 1);
  EXPECT_GE(trace_.Find("answer none", static_cast<size_t>(box)), 0) << TraceText();
  ExpectRolledBack(target);
  EXPECT_EQ(test::ListDir(tmp_), std::vector<std::string>{});
}

TEST_F(WizardWindowTest, WindowIs500By360AndAWindowManagerCannotResizeIt) {
  std::string error;
  if (!server_->StartWindowManager(error)) GTEST_SKIP() << error;
  Pack();
  StartSetup();
  const std::string window = MainWindow();
  ASSERT_FALSE(window.empty());
  // A menu window: no frame of the window manager, but still a title.
  EXPECT_NE(Property(window, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_MENU"), std::string::npos);
  EXPECT_NE(Property(window, "_NET_WM_NAME").find("\"Installing configuration\""), std::string::npos);
  const std::string hints = Property(window, "WM_NORMAL_HINTS");
  EXPECT_NE(hints.find("minimum size: 500 by 360"), std::string::npos) << hints;
  EXPECT_NE(hints.find("maximum size: 500 by 360"), std::string::npos) << hints;
  ASSERT_EQ(Xdo({"windowsize", window, "700", "500"}).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Geometry(window), "500x360");
  CloseRequest(window);
  EXPECT_EQ(setup_.Wait(30), 2);
}

TEST_F(WizardWindowTest, RussianTitleAndTextsReachTheWindowAsUtf8EvenInTheCLocale) {
  Pack();
  StartSetup({"/Lru"}, {{"LC_ALL", "C"}, {"LANG", "C"}});
  Expect("page welcome back=off:" + Utf8Message("ru", "IDS_WIZARD_BACK") +
         " next=on:" + Utf8Message("ru", "IDS_WIZARD_NEXT") + " cancel=on:" + Utf8Message("ru", "IDS_WIZARD_CANCEL"));
  Expect("text " + Utf8Message("ru", "IDS_WELCOME_TITLE") + " Демо (Магазин).");
  const std::string window = MainWindow();
  ASSERT_FALSE(window.empty());
  EXPECT_NE(Property(window, "_NET_WM_NAME").find("\"" + Utf8Message("ru", "IDR_MAINFRAME") + "\""),
            std::string::npos);
  CloseRequest(window);
  EXPECT_EQ(setup_.Wait(30), 2);
}

TEST_F(WizardWindowTest, FolderChooserStartsInGtksFolderAndReplacesTheEntry) {
  Pack();
  test::MakeDirs(scratch_ / "picked");
  StartSetup();
  EnterPath(scratch_ / "picked/");
  size_t before = TraceSize();
  Click(kBrowseX, kEntryY);
  Expect("chooser", before);
  std::string chooser = OtherWindow();
  ASSERT_FALSE(chooser.empty());
  // Neither titled nor tied to the wizard.
  EXPECT_EQ(Property(chooser, "_NET_WM_NAME").find("Installing configuration"), std::string::npos);
  EXPECT_NE(Property(chooser, "WM_TRANSIENT_FOR").find("not found"), std::string::npos);
  Key(chooser, "Escape");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(trace_.Find("entry", before), -1) << TraceText();

  // It does not open in the entry's existing folder: GTK starts on its
  // recently used files, where Open without a choice takes nothing.
  test::MakeDirs(scratch_ / "chosen");
  before = TraceSize();
  Click(kBrowseX, kEntryY);
  Expect("chooser", before);
  chooser = OtherWindow();
  ASSERT_FALSE(chooser.empty());
  Key(chooser, "alt+o");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(trace_.Find("entry", before), -1) << TraceText();

  // A folder typed into its location field replaces the whole entry. A
  // click gives the chooser the keyboard; "/" opens the field.
  ASSERT_EQ(Xdo({"mousemove", "--window", chooser, "400", "300", "click", "1"}).status, 0);
  Key(chooser, "slash");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Key(chooser, "ctrl+a");
  Key(chooser, "BackSpace");
  ASSERT_EQ(Xdo({"windowfocus", "--sync", chooser, "type", "--delay", "20", scratch_ / "chosen"}, 60).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Key(chooser, "alt+o");
  Expect("entry " + scratch_ / "chosen", before);
  EXPECT_EQ(trace_.Lines().back(), "entry " + scratch_ / "chosen");
  Key(MainWindow(), "Escape");
  Key(OtherWindow(), "alt+y");
  EXPECT_EQ(setup_.Wait(30), 2);
}

// The main thread only wakes for its poll timer while the worker copies:
// its CPU time over a long run is a small part of the run's time.
TEST_F(WizardWindowTest, MainThreadStaysMostlyIdleDuringALongRun) {
  PackLarge(160, 64 * 1024);
  std::map<std::string, std::string> env;
  SlowDown(env, 25);
  StartSetup({}, env);
  EnterPath(scratch_ / "target");
  const pid_t pid = setup_.Pid();
  const double cpuBefore = ThreadCpuSeconds(pid, pid);
  const auto start = Clock::now();
  Click(kNextX, kButtonsY);
  Expect("page progress");
  const int success = Expect("page success", 0, 120);
  const double cpuAfter = ThreadCpuSeconds(pid, pid);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_GE(success, 0);
  const double cpu = cpuAfter - cpuBefore;
  const double share = cpu / wall;
  std::printf("main thread: %.0f ms of CPU over a %.1f s run (%.1f %%)\n", cpu * 1000, wall, share * 100);
  RecordProperty("main_thread_cpu_ms", static_cast<int>(cpu * 1000));
  RecordProperty("run_ms", static_cast<int>(wall * 1000));
  EXPECT_GT(wall, 3.0) << "the run was too short to tell";
  EXPECT_LT(share, 0.05);
  Click(kNextX, kButtonsY);
  EXPECT_EQ(setup_.Wait(30), 0);
}

// ---- the layout in English, Russian and the language with the longest texts ----

// One widget of a "layout" trace line.
struct Placed {
  std::string type;
  int x = 0, y = 0, width = 0, height = 0;
  int textWidth = -1, textHeight = -1;  // labels only
  int Right() const { return x + width; }
  int Bottom() const { return y + height; }
};

// "layout page widgets | buttons": both parts parsed.
std::pair<std::vector<Placed>, std::vector<Placed>> ParseLayout(const std::string& line) {
  std::pair<std::vector<Placed>, std::vector<Placed>> parts;
  std::istringstream words(line.substr(line.find(' ') + 1));
  std::vector<Placed>* into = &parts.first;
  for (std::string word; words >> word;) {
    if (word == "|") {
      into = &parts.second;
      continue;
    }
    Placed p;
    p.type = word.substr(0, word.find(':'));
    std::sscanf(word.c_str() + word.find(':') + 1, "%d,%d,%dx%d,text=%dx%d", &p.x, &p.y, &p.width, &p.height,
                &p.textWidth, &p.textHeight);
    into->push_back(p);
  }
  return parts;
}

// The language whose page and button texts are the longest.
std::string LongestLanguage() {
  const char* const texts[] = {"IDS_WELCOME_TITLE",   "IDS_DESTINATION_PROMPT", "IDS_TEMPLATE_CATALOG",
                               "IDS_SUCCESS_FINISH",  "IDS_SUCCESS_OPENDESCR",  "IDS_ERROR_FINISH",
                               "IDS_PROGRESS_START",  "IDS_WIZARD_BACK",        "IDS_WIZARD_NEXT",
                               "IDS_WIZARD_FINISH",   "IDS_WIZARD_CANCEL"};
  std::string longest;
  size_t longestLength = 0;
  for (const LanguageEntry& language : SupportedLanguages()) {
    size_t length = 0;
    for (const char* id : texts) length += LookUpMessage(language.number, id).size();
    if (length > longestLength) {
      longest = std::string(language.code);
      longestLength = length;
    }
  }
  return longest;
}

class WizardLayoutTest : public WizardWindowTest, public testing::WithParamInterface<std::string> {
 protected:
  // The widgets of the page just shown, checked against the window.
  std::vector<Placed> PageLayout(const std::string& page, size_t from) {
    const int shown = Expect("page " + page, from);
    const int at = Expect("layout ", shown < 0 ? from : static_cast<size_t>(shown));
    if (at < 0) return {};
    const std::string line = trace_.Lines()[static_cast<size_t>(at)];
    SCOPED_TRACE(line);
    const auto [widgets, buttons] = ParseLayout(line);
    for (const Placed& w : widgets) {
      EXPECT_TRUE(w.x >= 0 && w.y >= 0 && w.Right() <= 500 && w.Bottom() <= 360) << w.type << " outside the window";
      if (w.textWidth >= 0) {
        EXPECT_TRUE(w.textWidth <= w.width && w.textHeight <= w.height) << w.type << " text larger than its box";
      }
    }
    // Back, Next and Cancel side by side at the foot, none cut short.
    int left = 0;
    for (const Placed& b : buttons) {
      EXPECT_EQ(b.y, 320);
      EXPECT_EQ(b.height, 30);
      EXPECT_GE(b.width, 80);
      EXPECT_GE(b.x, left) << "buttons overlap";
      EXPECT_LE(b.textWidth, b.width);
      left = b.Right();
    }
    if (!buttons.empty()) {
      EXPECT_EQ(buttons.back().Right(), 490) << "Cancel off the right margin";
    }
    if (GetParam() == "en" && buttons.size() == 3) {
      EXPECT_EQ(buttons[0].x, 230);
      EXPECT_EQ(buttons[1].x, 310);
      EXPECT_EQ(buttons[2].x, 410);
    }
    return widgets;
  }

  static void ExpectAt(const std::vector<Placed>& widgets, size_t index, const std::string& type, int x, int y,
                       int width = -1, int height = -1) {
    ASSERT_LT(index, widgets.size());
    const Placed& w = widgets[index];
    EXPECT_EQ(w.type, type) << "widget " << index;
    EXPECT_EQ(w.x, x) << w.type;
    EXPECT_EQ(w.y, y) << w.type;
    if (width >= 0) {
      EXPECT_EQ(w.width, width) << w.type;
    }
    if (height >= 0) {
      EXPECT_EQ(w.height, height) << w.type;
    }
  }

  // The side picture and the page text, whose lines end above `below`.
  static void ExpectPictureAndText(const std::vector<Placed>& widgets, int below) {
    ExpectAt(widgets, 0, "GtkImage", 0, 0, 158, 286);
    ExpectAt(widgets, 1, "GtkLabel", 170, 10, 330, 250);
    if (widgets.size() > 1) {
      EXPECT_LE(widgets[1].y + widgets[1].textHeight, below) << "the text runs into what follows";
    }
  }

  void Walk(bool succeed) {
    Pack();
    std::map<std::string, std::string> env;
    if (!succeed) {
      env = test::PreloadEnvironment(test::FaultInjectionLibrary());
      env["FAULTINJECT_RULES"] = "futimens:2:5";
    }
    StartSetup({"/L" + GetParam()}, env);
    ExpectPictureAndText(PageLayout("welcome", 0), 310);
    // Keys rather than clicks: the buttons widen in some languages.
    Key(MainWindow(), "Return");
    const std::vector<Placed> destination = PageLayout("destination", 0);
    ExpectPictureAndText(destination, 255);
    ExpectAt(destination, 2, "GtkLabel", 170, 255);
    ExpectAt(destination, 3, "GtkEntry", 170, 275, 280, 30);
    ExpectAt(destination, 4, "GtkButton", 460, 275, 30, 30);
    Click(kEntryX, kEntryY);
    Key(MainWindow(), "ctrl+a");
    Key(MainWindow(), "BackSpace");
    Type(scratch_ / ("target-" + GetParam()));
    Key(MainWindow(), "Return");
    const std::vector<Placed> progress = PageLayout("progress", 0);
    ExpectAt(progress, 0, "GtkLabel", 10, 130);
    ExpectAt(progress, 1, "GtkProgressBar", 10, 150, 480, 20);
    if (succeed) {
      const std::vector<Placed> success = PageLayout("success", 0);
      ExpectPictureAndText(success, 170);
      ExpectAt(success, 2, "GtkCheckButton", 170, 170);
      if (success.size() > 2) {
        EXPECT_LE(success[2].Bottom(), 310) << "the check button runs into the buttons";
      }
      Key(MainWindow(), "Return");
      EXPECT_EQ(setup_.Wait(30), 0);
    } else {
      const int box = Expect("message error");
      Key(OtherWindow(), "Return");
      ExpectPictureAndText(PageLayout("error", static_cast<size_t>(box)), 310);
      Key(MainWindow(), "Return");
      EXPECT_EQ(setup_.Wait(30), 1);
    }
  }
};

TEST_P(WizardLayoutTest, SuccessfulRunPagesStandInPlaceAndInsideTheWindow) { Walk(true); }

TEST_P(WizardLayoutTest, FailedRunPagesStandInPlaceAndInsideTheWindow) { Walk(false); }

INSTANTIATE_TEST_SUITE_P(Languages, WizardLayoutTest, testing::Values("en", "ru", LongestLanguage()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace setup::guitest
