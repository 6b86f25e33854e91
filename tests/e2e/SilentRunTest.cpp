// The real setup binary, run silently without a display, as a deployment
// script would run it: where the templates go, what the starter files say,
// what is printed, the exit status, and that nothing is left in TMPDIR.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include <map>
#include <sstream>

#include "../engine/TreeSnapshot.h"
#include "kit/KitTestUtil.h"
#include "TestSupport.h"
#include "core/Startup.h"
#include "i18n/Catalogue.h"
#include "platform/Text.h"

namespace setup {
namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;

void PutFile(const std::string& path, const std::string& content, time_t seconds) {
  const size_t slash = path.rfind('/');
  test::MakeDirs(path.substr(0, slash));
  WriteFile(path, content);
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Three times the kit must fit; the product of a kit over 1.4 GB does not
// fit in 32 bits, where it would wrap around to a few bytes.
TEST(SpaceCheck, ThreeTimesTheKitIsComputedWithoutWrappingAround) {
  EXPECT_FALSE(EnoughSpaceFor(1431655766, 100));
  EXPECT_TRUE(EnoughSpaceFor(1500000000, 4500000000));
  EXPECT_FALSE(EnoughSpaceFor(1500000000, 4499999999));
  EXPECT_TRUE(EnoughSpaceFor(4294967295u, 3 * 4294967295ull));
  EXPECT_TRUE(EnoughSpaceFor(0, 0));
}

// The message follows the code first (a full directory, data that is not a
// kit's), then the file that failed.
TEST(KitReadFailureMessage, TellsAFullOrUnwritableTemporaryDirectoryAndAnUnreadableKitFromADamagedOne) {
  using P = KitFailurePlace;
  struct Case {
    ErrorCode code;
    KitFailurePlace place;
    std::string message;
  };
  for (const Case& c : {Case{kErrorDiskFull, P::Image, "IDS_ERROR_NOSPACE"},
                        Case{kErrorInvalidData, P::Kit, "IDS_ERROR_DAMAGEDSOURCE"},
                        Case{kErrorNotEnoughMemory, P::None, "IDS_ERROR_DAMAGEDSOURCE"},
                        Case{kErrorAccessDenied, P::Image, "IDS_ERROR_TEMPUNUSABLE"},
                        Case{kErrorInvalidParameter, P::Image, "IDS_ERROR_TEMPUNUSABLE"},
                        Case{kErrorAccessDenied, P::Kit, "IDS_ERROR_READSOURCE"},
                        Case{kErrorReadFault, P::Kit, "IDS_ERROR_READSOURCE"},
                        Case{kErrorFileNotFound, P::Kit, "IDS_ERROR_READSOURCE"}}) {
    EXPECT_EQ(KitReadFailureMessage(c.code, c.place), c.message) << c.code;
  }
}

// Polls `condition` every few milliseconds for up to a minute.
template <typename Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// One machine: a home, a temporary directory, and an application directory
// holding the program with its kit beside it.
class SilentRun : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_ / "home";
    tmp_ = dir_ / "tmp";
    app_ = dir_ / "app";
    for (const std::string& d : {home_, tmp_, app_}) test::MakeDirs(d);
    WriteFile(app_ + "/setup", ReadFile(SETUP_BINARY));
    chmod((app_ + "/setup").c_str(), 0755);
    PutFile(dir_ / "kit/readme.txt", "Demo templates\n", 1600000000);
    PutFile(dir_ / "kit/Отчёты/квартал.xml", "<q/>", 1600000000);
    PutFile(dir_ / "kit/base/1c.cfg", "config", 1600000000);
    Pack(dir_ / "kit");
  }

  void Pack(const std::string& source) {
    const test::ProcessResult packed =
        test::RunProcess({OKDPACK, "--describe", "en", "Demo", "Shop", "readme.txt", "--describe", "ru", "Демо",
                          "Магазин", "readme.txt", source, app_ + "/orvikv8.okd"});
    ASSERT_EQ(packed.status, 0) << packed.err;
  }

  // No display: these runs must work on a server. `extra` comes on top.
  std::map<std::string, std::string> Env(const std::map<std::string, std::string>& extra = {}) const {
    std::map<std::string, std::string> env = {
        {"HOME", home_}, {"TMPDIR", tmp_}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"LANG", "C.UTF-8"}};
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  }

  test::ProcessResult Setup(std::vector<std::string> args, std::map<std::string, std::string> extraEnv = {},
                            const std::string& cwd = "") {
    args.insert(args.begin(), app_ + "/setup");
    return test::RunProcess(args, Env(extraEnv), "", cwd);
  }

  // Writes a starter file, making its folder first; returns the text.
  std::string WriteStarter(const std::string& path, const std::string& text) {
    test::MakeDirs(path.substr(0, path.rfind('/')));
    WriteFile(path, text);
    return text;
  }

  std::string DefaultDirectory() const { return home_ + "/.orvikv8/Orvik/orvikv8/tmplts"; }
  std::string UserStarter() const { return home_ + "/.Orvik/orvikstart/orvikstart.cfg"; }
  std::string AlternateStarter() const { return home_ + "/.Orvik/orvikstartt/orvikstart.cfg"; }

  void ExpectInstalledIn(const std::string& directory) {
    EXPECT_EQ(ReadFile(directory + "/readme.txt"), "Demo templates\n");
    EXPECT_EQ(ReadFile(directory + "/Отчёты/квартал.xml"), "<q/>");
    EXPECT_EQ(ReadFile(directory + "/base/1c.cfg"), "config");
  }

  void TearDown() override {
    // Whatever happened, the kit image and the workspace are gone.
    EXPECT_TRUE(test::ListDir(tmp_).empty()) << test::ListDir(tmp_).front();
  }

  test::ScratchDir dir_;
  std::string home_, tmp_, app_;
};

TEST_F(SilentRun, InstallsIntoTheDefaultDirectoryAndCreatesTheStarterFile) {
  const test::ProcessResult r = Setup({"-S"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");  // nothing is printed when all goes well
  ExpectInstalledIn(DefaultDirectory());
  EXPECT_EQ(ReadFile(UserStarter()), "ConfigurationTemplatesLocation=" + DefaultDirectory() + "\n");
  EXPECT_FALSE(Exists(AlternateStarter()));
}

TEST_F(SilentRun, InstallsIntoTheFirstUsableListedDirectory) {
  const std::string listed = dir_ / "listed templates";
  test::MakeDirs(listed);
  WriteFile(dir_ / "not-a-dir", "");
  WriteStarter(UserStarter(), "Other=1\r\nConfigurationTemplatesLocation=" + dir_.Path() +
                               "/not-a-dir/x\r\nConfigurationTemplatesLocation=" + listed + "\r\n");
  const test::ProcessResult r = Setup({"/S"});
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectInstalledIn(listed);
  EXPECT_FALSE(Exists(DefaultDirectory()));
  EXPECT_EQ(ReadFile(UserStarter()), "Other=1\nConfigurationTemplatesLocation=" + listed +
                                         "\nConfigurationTemplatesLocation=" + dir_.Path() + "/not-a-dir/x\n");
  // No probe file is left in either directory.
  EXPECT_EQ(test::ListDir(listed), (std::vector<std::string>{"base", "readme.txt", "Отчёты"}));
}

TEST_F(SilentRun, OnlyTheAlternateStarterFileIsReadAndRewritten) {
  const std::string listed = dir_ / "alt";
  test::MakeDirs(listed);
  WriteStarter(AlternateStarter(), "ConfigurationTemplatesLocation=" + listed + "\n");
  const test::ProcessResult r = Setup({"-s"});
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectInstalledIn(listed);
  EXPECT_EQ(ReadFile(AlternateStarter()), "ConfigurationTemplatesLocation=" + listed + "\n");
  EXPECT_FALSE(Exists(UserStarter()));
}

TEST_F(SilentRun, WithBothUserFilesBothReceiveTheSameList) {
  const std::string fromUser = dir_ / "user", fromAlternate = dir_ / "alternate";
  test::MakeDirs(fromUser);
  test::MakeDirs(fromAlternate);
  WriteStarter(UserStarter(), "ConfigurationTemplatesLocation=" + fromUser + "\n");
  WriteStarter(AlternateStarter(), "ConfigurationTemplatesLocation=" + fromAlternate + "\nKeep=me\n");
  const test::ProcessResult r = Setup({"-S"});
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectInstalledIn(fromUser);
  EXPECT_EQ(ReadFile(UserStarter()), "ConfigurationTemplatesLocation=" + fromUser + "\n");
  EXPECT_EQ(ReadFile(AlternateStarter()),
            "ConfigurationTemplatesLocation=" + fromUser + "\nKeep=me\n");
}

TEST_F(SilentRun, UseCwdFindsTheKitInTheWorkingDirectoryOnlyAsFirstArgument) {
  const std::string elsewhere = dir_ / "elsewhere";
  test::MakeDirs(elsewhere);
  rename((app_ + "/orvikv8.okd").c_str(), (elsewhere + "/orvikv8.okd").c_str());
  test::ProcessResult r = Setup({"-S", "usecwd"}, {}, elsewhere);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Distribution kit file orvikv8.okd not found.\n");
  r = Setup({"usecwd", "-S"}, {}, elsewhere);
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectInstalledIn(DefaultDirectory());
}

TEST_F(SilentRun, PreparationFailuresPrintOneLineInTheChosenLanguageAndExitWith3) {
  // Too little room for three times the kit (free space faked by the preload).
  const std::string kitSize = std::to_string(ReadFile(app_ + "/orvikv8.okd").size());
  const std::string tooLittle = std::to_string(3 * std::stoull(kitSize) - 1);
  std::map<std::string, std::string> env = test::PreloadEnvironment(test::FaultInjectionLibrary());
  env["FAULTINJECT_FREE_BYTES"] = tooLittle;
  test::ProcessResult r = Setup({"-S", "/Lru"}, env);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Недостаточно места в каталоге Temp.\n");
  env["FAULTINJECT_FREE_BYTES"] = std::to_string(3 * std::stoull(kitSize) + 4096 * 1024);
  r = Setup({"-S"}, env);
  EXPECT_EQ(r.status, 0) << r.err;

  // A damaged kit.
  ASSERT_EQ(test::RunProcess({OKDPACK, "--level", "0", "--single", "Demo", "Shop", "readme.txt", dir_ / "kit",
                              dir_ / "whole.okd"})
                .status,
            0);
  std::string kit = ReadFile(app_ + "/orvikv8.okd");
  kit[kit.size() / 2] ^= 0x55;
  WriteFile(app_ + "/orvikv8.okd", kit);
  r = Setup({"-S", "-Lru"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Файл комплекта установки orvikv8.okd поврежден или не предназначен для этой программы установки.\n");
  r = Setup({"-S"});
  EXPECT_EQ(r.err, "Distribution kit file orvikv8.okd corrupted or not designed for this installation program.\n");
  // Damage that still inflates, "config" arriving as "conf)g": only the
  // kit's checksums show it, and nothing is installed.
  const std::string good = ReadFile(dir_ / "whole.okd");
  const size_t at = good.find("config");
  ASSERT_NE(at, std::string::npos);
  std::string altered = good;
  altered[at + 4] ^= 0x40;
  WriteFile(app_ + "/orvikv8.okd", altered);
  test::RemoveTree(home_);  // what the run above installed
  test::MakeDirs(home_);
  r = Setup({"-S"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Distribution kit file orvikv8.okd corrupted or not designed for this installation program.\n");
  EXPECT_FALSE(Exists(DefaultDirectory()));
  EXPECT_FALSE(Exists(UserStarter()));

  // No kit at all.
  unlink((app_ + "/orvikv8.okd").c_str());
  r = Setup({"/S", "/Lru"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Файл комплекта установки orvikv8.okd не найден.\n");
}

TEST_F(SilentRun, WithoutAHomeDirectoryNothingIsProposedOrInstalled) {
  // A user that neither $HOME nor the password database knows; only root can
  // become one.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without a home";
  for (const std::string& d : {dir_.Path(), app_}) chmod(d.c_str(), 0755);
  chmod(tmp_.c_str(), 01777);
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    dup2(err, 2);
    if (setgid(54321) != 0 || setuid(54321) != 0) _exit(99);
    unsetenv("HOME");
    setenv("TMPDIR", tmp_.c_str(), 1);
    unsetenv("DISPLAY");
    execl((app_ + "/setup").c_str(), "setup", "-S", static_cast<char*>(nullptr));
    _exit(98);
  }
  EXPECT_EQ(test::WaitProcess(pid, 60), 3);
  EXPECT_EQ(ReadFile(dir_ / "err"), "Installation of templates to the current directory is not supported.\n");
  EXPECT_EQ(test::ListDir(app_), (std::vector<std::string>{"orvikv8.okd", "setup"}));
}

// The catalogue's English text of `identifier`, as the headless run prints it.
std::string English(const char* identifier) {
  return Utf16ToUtf8(LookUpMessage(FindLanguageByCode("en")->number, identifier));
}

// The templates are installed (exit 0), but a starter file that is not
// updated is said so, once; one that is no file must not hang the run.
TEST_F(SilentRun, StarterFileThatCannotBeUpdatedGivesOneWarningAndExitsWith0) {
  static constexpr char kUtf16[] = "C\0o\0n\0f\0=\0x\0\r\0\n\0";
  const std::string noMark(kUtf16, sizeof kUtf16 - 1);
  struct Row {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const Row rows[] = {
      {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"folder", [](const std::string& p) { test::MakeDirs(p); }},
      {"UTF-16 without its mark", [&](const std::string& p) { WriteFile(p, noMark); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::RemoveTree(home_);
    test::MakeDirs(home_ + "/.Orvik/orvikstart");
    row.make(UserStarter());
    const int pid = test::StartProcess({app_ + "/setup", "-S"}, Env(), dir_ / "out", dir_ / "err");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(test::WaitProcess(pid, 60), 0);
    EXPECT_EQ(ReadFile(dir_ / "err"), English("IDS_WARNING_STARTER") + "\n");
    ExpectInstalledIn(DefaultDirectory());
    struct stat st{};
    ASSERT_EQ(lstat(UserStarter().c_str(), &st), 0);
    if (S_ISREG(st.st_mode)) {
      EXPECT_EQ(ReadFile(UserStarter()), noMark);
    }
    EXPECT_EQ(test::ListDir(home_ + "/.Orvik/orvikstart"), std::vector<std::string>{"orvikstart.cfg"});
  }
}

// A proposal the run could not use ends the program before anything is made,
// with a word and the status of a failed preparation, not a failed run.
TEST_F(SilentRun, UnusableProposalEndsWith3BeforeAnythingIsMade) {
  const std::string missingHome = dir_ / "gone/home";
  struct Row {
    const char* name;
    std::string home;
    std::function<void()> make;
    std::string err;
  };
  const Row rows[] = {
      // The default lies below a home that is not there: making it would make the home.
      {"missing home", missingHome, [] {}, English("IDS_ERROR_NOTARGET") + "\n"},
      {"file in the default's path", home_, [&] { WriteFile(home_ + "/.orvikv8", "mine"); },
       English("IDS_ERROR_BADTARGET") + " " + home_ + "/.orvikv8/Orvik/orvikv8/tmplts/\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.make();
    const test::ProcessResult r = Setup({"-S"}, {{"HOME", row.home}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, row.err);
  }
  EXPECT_FALSE(Exists(dir_ / "gone"));
  EXPECT_EQ(ReadFile(home_ + "/.orvikv8"), "mine");
  EXPECT_EQ(test::ListDir(home_), std::vector<std::string>{".orvikv8"});
}

TEST_F(SilentRun, AnInteractiveRunWithoutDisplaySaysSoInItsLanguageAndExitsWith3) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string german =
      "Das Installationsprogramm benötigt eine grafische Anzeige. Um ohne Anzeige zu installieren, starten Sie: "
      "setup -S";
  const Case cases[] = {
      {{}, "The installation program needs a graphical display. To install without one, run: setup -S\n"},
      {{"-Lde"}, german + "\n"},
      // The options after -L were never read, and the message says which.
      {{"-Lde", "-S", "/x", "kit"},
       german + " Diese Optionen wurden nicht gelesen, weil sie nach der Sprachoption stehen; setzen Sie sie davor: "
                "-S /x\n"},
  };
  for (const Case& c : cases) {
    const test::ProcessResult r = Setup(c.args);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.err, c.message);
    EXPECT_FALSE(Exists(DefaultDirectory()));
  }
}

TEST_F(SilentRun, HelpAndVersionPrintAndDoNothingElse) {
  const std::string version = "setup " SETUP_VERSION " (commit ";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"-S", "/?"}, {"-Lde", "--help"},
                                               {"--version"}, {"-S", "--version"}}) {
    const test::ProcessResult r = Setup(args);
    EXPECT_EQ(r.status, 0) << args.back() << r.err;
    EXPECT_EQ(r.out.rfind(version, 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    if (args.back() == "--version") {
      EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    } else {
      for (const char* named : {"usecwd", "-S", "-Lcode", "--version", "Exit status", "  3  "}) {
        EXPECT_NE(r.out.find(named), std::string::npos) << named;
      }
    }
    EXPECT_FALSE(Exists(DefaultDirectory()));
    EXPECT_FALSE(Exists(home_ + "/.Orvik"));
  }
}

TEST_F(SilentRun, AFailedInstallationExitsWith1AndChangesNothing) {
  const std::string listed = dir_ / "listed";
  PutFile(listed + "/base/1c.cfg", "old config", 1500000000);
  PutFile(listed + "/mine.txt", "mine", 1500000000);
  const std::string starter = WriteStarter(UserStarter(), "ConfigurationTemplatesLocation=" + listed + "\n");
  // The second file's time cannot be set: the run fails there and rolls back.
  std::map<std::string, std::string> env = test::PreloadEnvironment(test::FaultInjectionLibrary());
  env["FAULTINJECT_RULES"] = "futimens:2:5";
  const test::ProcessResult r = Setup({"-S", "-Lru"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Ошибка при инсталляции\n");
  EXPECT_EQ(test::ListDir(listed), (std::vector<std::string>{"base", "mine.txt"}));
  EXPECT_EQ(ReadFile(listed + "/base/1c.cfg"), "old config");
  EXPECT_EQ(test::ListDir(listed + "/base"), std::vector<std::string>{"1c.cfg"});
  EXPECT_EQ(ReadFile(UserStarter()), starter);

  // Standard error a pipe nobody reads any more (a closed log reader): the
  // message cannot be written, but the rollback must still run to its end.
  const std::string statusFile = dir_ / "status";
  const test::ProcessResult shell = test::RunProcess(
      {"/bin/bash", "-c", "{ sleep 0.2; \"$0\" -S; echo $? > \"$1\"; } 2>&1 >/dev/null | true", app_ + "/setup",
       statusFile},
      Env(env));
  EXPECT_EQ(shell.status, 0) << shell.err;
  EXPECT_EQ(ReadFile(statusFile), "1\n");
  EXPECT_EQ(test::ListDir(listed), (std::vector<std::string>{"base", "mine.txt"}));
  EXPECT_EQ(ReadFile(listed + "/base/1c.cfg"), "old config");
  EXPECT_EQ(test::ListDir(tmp_), std::vector<std::string>{});
}

TEST_F(SilentRun, SigtermDuringALargeInstallationRollsBackAndExitsWith2) {
  // Enough data that the run is still going when the signal comes.
  const std::string big = dir_ / "big";
  for (int i = 0; i < 400; ++i) {
    PutFile(big + "/d" + std::to_string(i % 20) + "/f" + std::to_string(i), std::string(512 * 1024, char('a' + i % 26)),
            1600000000);
  }
  Pack(big);
  const std::string listed = dir_ / "listed";
  PutFile(listed + "/d3/f3", "older", 1500000000);
  PutFile(listed + "/mine.txt", "mine", 1500000000);
  const std::string starter = WriteStarter(UserStarter(), "ConfigurationTemplatesLocation=" + listed + "\n");

  std::map<std::string, std::string> env = Env();
  const int pid = test::StartProcess({app_ + "/setup", "-S"}, env, dir_ / "out", dir_ / "err");
  ASSERT_GT(pid, 0);
  // Wait until the run has begun writing into the directory.
  ASSERT_TRUE(WaitFor([&] { return Exists(listed + "/d0"); }));
  kill(pid, SIGTERM);
  EXPECT_EQ(test::WaitProcess(pid, 120), 2);
  EXPECT_EQ(ReadFile(dir_ / "err"), "");
  EXPECT_EQ(test::ListDir(listed), (std::vector<std::string>{"d3", "mine.txt"}));
  EXPECT_EQ(ReadFile(listed + "/d3/f3"), "older");
  EXPECT_EQ(test::ListDir(listed + "/d3"), std::vector<std::string>{"f3"});
  EXPECT_EQ(ReadFile(UserStarter()), starter);
}

TEST_F(SilentRun, SigtermBeforeTheRunEndsTheProgramAndRemovesTheKitImage) {
  // SIGTERM arrives while the kit is being unpacked (a large kit).
  const std::string big = dir_ / "big";
  for (int i = 0; i < 200; ++i) PutFile(big + "/f" + std::to_string(i), std::string(1 << 20, 'z'), 1600000000);
  Pack(big);
  const int pid = test::StartProcess({app_ + "/setup", "-S"}, Env(), dir_ / "out", dir_ / "err");
  ASSERT_GT(pid, 0);
  // The kit image appears as soon as the kit is being unpacked.
  WaitFor([&] { return !test::ListDir(tmp_).empty(); });
  kill(pid, SIGTERM);
  EXPECT_EQ(test::WaitProcess(pid, 120), 2);
  EXPECT_FALSE(Exists(DefaultDirectory()));
  EXPECT_FALSE(Exists(UserStarter()));
}

// Start-up tells why the kit could not be read: a damaged kit, a kit the
// system will not let it read, a temporary directory it cannot unpack into,
// or a full one. Each ends start-up with status 3 and one line.
TEST_F(SilentRun, AKitThatCannotBeReadSaysWhy) {
  struct Case {
    const char* what;
    std::vector<kittest::ModelFile> files;  // a kit of these instead of the packed one
    std::string function, path;             // the call that fails, on paths holding `path`
    int error;
    const char* message;
    bool needsPermissions = false;          // TMPDIR without write permission, for a user other than root
  };
  const std::string damaged = "IDS_ERROR_DAMAGEDSOURCE";
  const std::vector<Case> cases = {
      {"a file and a folder of one name", {{u"x", 1, "x"}, {u"x\\y.txt", 1, "y"}}, "", "", 0, "IDS_ERROR_DAMAGEDSOURCE"},
      {"a time past 2^63", {{u"late.txt", 0x8000000000000000ULL, "late"}}, "", "", 0, "IDS_ERROR_DAMAGEDSOURCE"},
      {"kit open refused", {}, "open", "orvikv8.okd", EACCES, "IDS_ERROR_READSOURCE"},
      {"kit read error", {}, "read", "orvikv8.okd", EIO, "IDS_ERROR_READSOURCE"},
      {"image creation refused", {}, "mkstemp", "/odk", EACCES, "IDS_ERROR_TEMPUNUSABLE"},
      {"read-only temporary directory", {}, "mkstemp", "/odk", EROFS, "IDS_ERROR_TEMPUNUSABLE"},
      {"image write error", {}, "write", "/odk", EIO, "IDS_ERROR_TEMPUNUSABLE"},
      {"image read back error (no trailer)", {{u"a.txt", 1, "a"}}, "read", "/odk", EIO, "IDS_ERROR_TEMPUNUSABLE"},
      {"full temporary directory", {}, "write", "/odk", ENOSPC, "IDS_ERROR_NOSPACE"},
      {"TMPDIR not writable", {}, "", "", 0, "IDS_ERROR_TEMPUNUSABLE", true},
  };
  const std::string packed = ReadFile(app_ + "/orvikv8.okd");
  const std::string damagedText = Utf16ToUtf8(LookUpMessage(kEnglishLanguageNumber, damaged)) + "\n";
  for (const Case& c : cases) {
    if (c.needsPermissions && geteuid() == 0) continue;  // root writes anywhere; the injector covers it above
    kittest::KitModel model;
    model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}};
    model.files = c.files;
    WriteFile(app_ + "/orvikv8.okd", c.files.empty() ? packed : kittest::DeflateRaw(model.Image()));
    std::map<std::string, std::string> env;
    if (!c.function.empty()) {
      env = test::PreloadEnvironment(test::FaultInjectionLibrary());
      env.insert({{"FAULTINJECT_FUNC", c.function}, {"FAULTINJECT_PATH", c.path}, {"FAULTINJECT_NTH", "1"},
                  {"FAULTINJECT_ERRNO", std::to_string(c.error)}});
    }
    if (c.needsPermissions) chmod(tmp_.c_str(), 0500);
    const test::ProcessResult r = Setup({"-S"}, env);
    if (c.needsPermissions) chmod(tmp_.c_str(), 0700);
    EXPECT_EQ(r.status, 3) << c.what;
    EXPECT_EQ(r.err, Utf16ToUtf8(LookUpMessage(kEnglishLanguageNumber, c.message)) + "\n") << c.what;
    EXPECT_EQ(r.err == damagedText, c.message == damaged) << c.what;
    EXPECT_FALSE(Exists(DefaultDirectory())) << c.what;
    EXPECT_TRUE(test::ListDir(tmp_).empty()) << c.what;
  }
}

// ---------------------------------------------------- unattended installation

using Json = nlohmann::json;

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

// A template directory that meets the kit with one file of each kind: an
// older one to replace, a newer one to keep, and one missing.
void MeetTheKit(const std::string& target) {
  PutFile(target + "/readme.txt", "old", 1500000000);
  PutFile(target + "/base/1c.cfg", "newer", 1700000000);
}

TEST_F(SilentRun, DestinationOptionIsTakenAgainstTheWorkingDirectoryAndRecorded) {
  const std::string work = dir_ / "work";
  test::MakeDirs(work);
  struct Row {
    std::vector<std::string> args;
    std::string installed;
  };
  const Row rows[] = {
      // Like every option, read only before the language option: this run
      // goes where it is proposed to.
      {{"-S", "-Lru", "-D=" + dir_ / "unread"}, DefaultDirectory()},
      {{"-S", "-D=" + dir_ / "abs"}, dir_ / "abs"},
      {{"/S", "/D=rel/t"}, work + "/rel/t"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.back());
    const test::ProcessResult r = Setup(row.args, {}, work);
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectInstalledIn(row.installed);
    EXPECT_EQ(ReadFile(UserStarter()).rfind("ConfigurationTemplatesLocation=" + row.installed + "\n", 0), 0u)
        << ReadFile(UserStarter());
  }
  EXPECT_FALSE(Exists(dir_ / "unread"));
}

TEST_F(SilentRun, AnUnusableDestinationEndsWith3BeforeAnythingIsMade) {
  WriteFile(dir_ / "file", "mine");
  const std::pair<std::string, std::string> rows[] = {
      {"-D=" + dir_ / "file/sub", English("IDS_ERROR_BADTARGET") + " " + dir_ / "file/sub"},
      {"-D=", English("IDS_ERROR_NOTARGET")},
      {"-D", English("IDS_ERROR_NOTARGET")},  // "/D dir" mistyped: not the proposal instead
  };
  for (const auto& [option, message] : rows) {
    const test::ProcessResult r = Setup({"-S", option});
    EXPECT_EQ(r.status, 3) << option;
    EXPECT_EQ(r.err, message + "\n");
  }
  EXPECT_EQ(ReadFile(dir_ / "file"), "mine");
  EXPECT_TRUE(test::ListDir(home_).empty());
}

TEST_F(SilentRun, ReportHasALinePerFileThenTheOutcome) {
  const std::string target = dir_ / "target", report = dir_ / "report.jsonl";
  MeetTheKit(target);
  const test::ProcessResult r = Setup({"-S", "-D=" + target, "-R=" + report});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  std::vector<Json> lines = JsonLines(ReadFile(report));
  ASSERT_EQ(lines.size(), 4u);
  std::map<std::string, std::string> actions;
  for (size_t i = 0; i < 3; ++i) {
    const std::string path = lines[i]["path"];
    actions[path] = lines[i]["action"];
    EXPECT_EQ(lines[i]["size"], ReadFile(dir_ / ("kit/" + path)).size()) << path;
  }
  EXPECT_EQ(actions, (std::map<std::string, std::string>{
                         {"base/1c.cfg", "skipped"}, {"readme.txt", "replaced"}, {"Отчёты/квартал.xml", "created"}}));
  Json& closing = lines[3];
  EXPECT_TRUE(closing["seconds"].is_number()) << closing;
  closing.erase("seconds");
  EXPECT_EQ(closing, Json({{"format", 1}, {"plan", false}, {"exit", 0}, {"result", 0}, {"directory", target},
                           {"counts", {{"created", 1}, {"replaced", 1}, {"skipped", 1}}}, {"bytes", 15 + 4},
                           {"message", nullptr}}));
}

TEST_F(SilentRun, AStartThatFailsReportsItsClosingLineAloneAndAnUnwritableReportStopsTheRun) {
  const std::string report = dir_ / "report.jsonl";
  const std::string kit = ReadFile(app_ + "/orvikv8.okd");
  unlink((app_ + "/orvikv8.okd").c_str());
  test::ProcessResult r = Setup({"-S", "-R=" + report});
  EXPECT_EQ(r.status, 3);
  std::vector<Json> lines = JsonLines(ReadFile(report));
  ASSERT_EQ(lines.size(), 1u);
  lines[0].erase("seconds");
  EXPECT_EQ(lines[0], Json({{"format", 1}, {"plan", false}, {"exit", 3}, {"result", 2}, {"directory", nullptr},
                            {"counts", {{"created", 0}, {"replaced", 0}, {"skipped", 0}}}, {"bytes", 0},
                            {"message", English("IDS_ERROR_NOSOURCE")}}));

  WriteFile(app_ + "/orvikv8.okd", kit);
  const std::string unwritable = dir_ / "missing/report.jsonl";
  r = Setup({"-S", "-R=" + unwritable});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, English("IDS_ERROR_REPORT") + " " + unwritable + "\n");
  EXPECT_TRUE(test::ListDir(home_).empty());
}

TEST_F(SilentRun, PlanForeseesTheRunFileByFileAndChangesNothing) {
  const std::string target = dir_ / "target", report = dir_ / "report.jsonl";
  MeetTheKit(target);
  const enginetest::Tree before = enginetest::SnapshotOf(dir_.Path());
  // No -S: a plan needs no display either.
  test::ProcessResult r = Setup({"-P", "-D=" + target});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(enginetest::SnapshotOf(dir_.Path()), before);
  std::vector<Json> plan = JsonLines(r.out);
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_TRUE(plan[3]["free"].is_number_unsigned() && plan[3]["free"] > 0) << plan[3];
  EXPECT_EQ(plan[3]["counts"], Json({{"create", 1}, {"replace", 1}, {"skip", 1}}));
  EXPECT_EQ(plan[3]["bytes"], 15 + 4);
  EXPECT_EQ(plan[3]["plan"], true);

  r = Setup({"-S", "-D=" + target, "-R=" + report});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<Json> run = JsonLines(ReadFile(report));
  ASSERT_EQ(run.size(), 4u);
  const std::map<std::string, std::string> done = {{"create", "created"}, {"replace", "replaced"}, {"skip", "skipped"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(run[i]["path"], plan[i]["path"]);
    EXPECT_EQ(run[i]["action"], done.at(plan[i]["action"])) << plan[i];
  }

  // A plan into a directory a run could not use fails as the run would.
  r = Setup({"-S", "-P", "-D=" + report + "/sub"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(JsonLines(r.out).at(0)["message"], English("IDS_ERROR_BADTARGET") + "\n" + report + "/sub");
}

}  // namespace
}  // namespace setup
