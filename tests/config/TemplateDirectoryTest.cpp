// The template directory proposal and its write-back, against starter files
// laid out in a scratch home.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "ConfigTestUtil.h"
#include "core/TemplateDirectory.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

using Lines = std::vector<std::string>;

std::string U8(const std::u16string& text) { return Utf16ToUtf8(text); }

Lines ListOf(const TemplateDirectoryState& state) {
  Lines lines;
  for (const auto& d : state.starterDirectories) lines.push_back(U8(d));
  return lines;
}

std::string Locations(const Lines& directories) {
  std::string text;
  for (const auto& d : directories) text += "ConfigurationTemplatesLocation=" + d + "\n";
  return text;
}

class TemplateDirectoryTest : public ScratchHomeTest {
 protected:
  TemplateDirectoryState Locate() {
    TemplateDirectoryState state;
    LocateTemplateDirectory(state);
    return state;
  }
  std::string Dir(const std::string& name) {
    const std::string path = scratch_ / name;
    MakeDirs(path);
    return path;
  }
};

TEST_F(TemplateDirectoryTest, WithoutStarterFilesTheDefaultIsProposedAndTheUserFileCreated) {
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), Home() + "/.orvikv8/Orvik/orvikv8/tmplts/");
  EXPECT_TRUE(state.starterDirectories.empty());
  EXPECT_FALSE(state.alternateFilePresent);
  EXPECT_FALSE(state.listFromAlternateFile);
  EXPECT_EQ(ListDir(Home()), Lines{});  // looking writes nothing

  EXPECT_EQ(RecordInstalledDirectory(state, u"/srv/New/"), 0u);
  EXPECT_EQ(ReadFile(UserFile()), "ConfigurationTemplatesLocation=/srv/New\n");
  EXPECT_FALSE(Exists(AllUsersFile()));
  EXPECT_FALSE(Exists(AlternateFile()));
}

TEST_F(TemplateDirectoryTest, FirstListedDirectoryThatTakesFilesIsProposedAndProbeRemoved) {
  const std::string t = Dir("T"), u = Dir("U");
  WriteFile(scratch_ / "file", "x");
  const Lines listed{scratch_ / "missing", scratch_ / "file/sub", "http://example.com/T", "", t, u};
  const std::string text = "ConfigurationTemplatesLocation=" + listed[0] + "\n" +
                           "ConfigurationTemplatesLocation=" + listed[1] + "\n" +
                           "ConfigurationTemplatesLocation=" + listed[2] + "\n" +
                           "ConfigurationTemplatesLocation=\n" +
                           "ConfigurationTemplatesLocation=" + t + "\n" +
                           "ConfigurationTemplatesLocation=" + u + "\n";
  Put(UserFile(), text);
  const TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), t);
  EXPECT_EQ(ListOf(state), listed);
  EXPECT_EQ(ListDir(t), Lines{});
  EXPECT_EQ(ListDir(scratch_.Path()), (Lines{"T", "U", "file", "home"}));
  EXPECT_EQ(ReadFile(UserFile()), text);
}

// What is probed is what would be used: the cleaned value, and only an
// absolute one, since a relative one names another place in every working
// directory. Every value stays in the list as it was written.
TEST_F(TemplateDirectoryTest, EachListedValueIsProbedAsItWouldBeUsed) {
  const std::string t = Dir("T"), work = Dir("work");
  Dir("work/templates");
  Dir("work/file:/templates");
  const std::string fallback = Home() + "/.orvikv8/Orvik/orvikv8/tmplts/";
  struct Row {
    std::string listed, proposed;
  };
  const Row rows[] = {
      {"templates", fallback},
      {"./templates", fallback},
      {"file://templates", fallback},
      {"file://" + t, t},
      {t + "\r\r", t},  // the last CR is the line end's
  };
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(work.c_str()), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.listed);
    Put(UserFile(), "ConfigurationTemplatesLocation=" + row.listed + "\n");
    const TemplateDirectoryState state = Locate();
    EXPECT_EQ(U8(state.templateDirectory), row.proposed);
    EXPECT_EQ(ListOf(state).size(), 1u);
  }
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(ListDir(work + "/templates"), Lines{});
  EXPECT_EQ(ListDir(t), Lines{});
}

TEST_F(TemplateDirectoryTest, RelativeInstalledDirectoryIsRecordedAgainstTheWorkingDirectory) {
  const std::string work = Dir("work");
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(work.c_str()), 0);
  TemplateDirectoryState state = Locate();
  const ErrorCode code = RecordInstalledDirectory(state, u"new/templates/");
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(ReadFile(UserFile()), Locations({work + "/new/templates"}));
}

TEST_F(TemplateDirectoryTest, DirectoryListedTwiceIsKeptOnceAsFirstWritten) {
  Put(UserFile(), "ConfigurationTemplatesLocation=/srv/T\nConfigurationTemplatesLocation=/srv/T/\n");
  Put(AllUsersFile(), "ConfigurationTemplatesLocation=/SRV/t/\nConfigurationTemplatesLocation=/srv/B\n"
                      "configurationtemplateslocation=/srv/b/\n");
  EXPECT_EQ(ListOf(Locate()), (Lines{"/srv/T", "/srv/B"}));
}

TEST_F(TemplateDirectoryTest, BackslashesBecomeSlashes) {
  const std::string t = Dir("T");
  std::string windowsStyle = t;
  std::replace(windowsStyle.begin(), windowsStyle.end(), '/', '\\');
  Put(UserFile(), "ConfigurationTemplatesLocation=\\home\\u\\t\n"
                  "ConfigurationTemplatesLocation=" + windowsStyle + "\n"
                  "ConfigurationTemplatesLocation=/home/u/t/\n");
  const TemplateDirectoryState state = Locate();
  EXPECT_EQ(ListOf(state), (Lines{"/home/u/t", t}));
  EXPECT_EQ(U8(state.templateDirectory), t);
}

TEST_F(TemplateDirectoryTest, ProposalIsCleanedOfAddressesAndLineBreaks) {
  EXPECT_EQ(CleanTemplateDirectory(u"http://example.com/t"), u"");
  EXPECT_EQ(CleanTemplateDirectory(u"/srv/https://x"), u"");
  EXPECT_EQ(CleanTemplateDirectory(u"ftp://host/t"), u"");
  EXPECT_EQ(CleanTemplateDirectory(u"file:///srv/t/file://x"), u"/srv/t/file://x");  // the first only
  EXPECT_EQ(CleanTemplateDirectory(u"file://\\srv\\t\r\n"), u"/srv/t");
  EXPECT_EQ(CleanTemplateDirectory(u"/srv/\nT\r"), u"/srv/T");
}

TEST_F(TemplateDirectoryTest, OnlyTheAlternateFileListingADirectoryIsTheOneRewritten) {
  const std::string t = Dir("T");
  Put(AlternateFile(), "Other=1\r\nConfigurationTemplatesLocation=" + t + "\r\n");
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), t);
  EXPECT_TRUE(state.alternateFilePresent);
  EXPECT_TRUE(state.listFromAlternateFile);

  EXPECT_EQ(RecordInstalledDirectory(state, u"/srv/New/"), 0u);
  EXPECT_EQ(ReadFile(AlternateFile()), "Other=1\n" + Locations({"/srv/New", t}));
  EXPECT_FALSE(Exists(UserFile()));
}

TEST_F(TemplateDirectoryTest, AlternateFileWithoutDirectoriesGetsTheUserFilesList) {
  Put(AlternateFile(), "Keep=1\n");
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), Home() + "/.orvikv8/Orvik/orvikv8/tmplts/");
  EXPECT_TRUE(state.alternateFilePresent);
  EXPECT_FALSE(state.listFromAlternateFile);

  EXPECT_EQ(RecordInstalledDirectory(state, u"/srv/New"), 0u);
  EXPECT_EQ(ReadFile(UserFile()), Locations({"/srv/New"}));
  EXPECT_EQ(ReadFile(AlternateFile()), "Keep=1\n" + Locations({"/srv/New"}));
}

TEST_F(TemplateDirectoryTest, UserAndAlternateFilesBothReceiveTheUserList) {
  const std::string allUsers = "ConfigurationTemplatesLocation=/srv/G\nShared=1\n";
  Put(UserFile(), "ConfigurationTemplatesLocation=/srv/U\n");
  Put(AllUsersFile(), allUsers);
  Put(AlternateFile(), "ConfigurationTemplatesLocation=/srv/A\nKeep=1\n");
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(ListOf(state), (Lines{"/srv/U", "/srv/G"}));
  EXPECT_TRUE(state.alternateFilePresent);
  EXPECT_FALSE(state.listFromAlternateFile);

  EXPECT_EQ(RecordInstalledDirectory(state, u"/srv/New/"), 0u);
  const std::string list = Locations({"/srv/New", "/srv/U", "/srv/G"});
  EXPECT_EQ(ReadFile(UserFile()), list);
  EXPECT_EQ(ReadFile(AlternateFile()), list + "Keep=1\n");
  EXPECT_EQ(ReadFile(AllUsersFile()), allUsers);  // read, never written
}

TEST_F(TemplateDirectoryTest, InstalledDirectoryGoesFirstAndOtherLinesStay) {
  const std::string before = "First=1\r\nconfigurationTemplatesLocation=/srv/T\r\n\r\nLast=2";
  Put(UserFile(), before);
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(RecordInstalledDirectory(state, u"/srv/New/"), 0u);
  EXPECT_EQ(ReadFile(UserFile()),
            "First=1\nconfigurationTemplatesLocation=/srv/New\nconfigurationTemplatesLocation=/srv/T\nLast=2\n");

  Put(UserFile(), before);
  state = Locate();
  EXPECT_EQ(RecordInstalledDirectory(state, u"/srv/T/"), 0u);
  EXPECT_EQ(ReadFile(UserFile()), "First=1\nconfigurationTemplatesLocation=/srv/T\nLast=2\n");
}

// The probe and the write-back under injected failures, in a child process.
TEST_F(TemplateDirectoryTest, DirectoryWhoseProbeFailsIsPassedOver) {
  const std::string t = Dir("T"), u = Dir("U");
  Put(UserFile(), Locations({t, u}));
  // Opens 1 and 2 read the two starter files; 3 is the probe of T.
  const FaultRun run = RunWithFault({STARTER_TOOL, "locate"}, 3, EACCES, "open", {{"HOME", Home()}});
  EXPECT_EQ(run.failed, "open");
  EXPECT_EQ(run.process.out, u + "\n" + t + "\n" + u + "\n");
  EXPECT_EQ(ListDir(t), Lines{});
  EXPECT_EQ(ListDir(u), Lines{});
}

TEST_F(TemplateDirectoryTest, WriteBackIsRetriedOnceAndAFailureSkipsTheAlternateFile) {
  const std::string user = Locations({"/srv/U"}), alternate = "Keep=1\n";
  Put(UserFile(), user);
  Put(AlternateFile(), alternate);
  const std::map<std::string, std::string> env{{"HOME", Home()}};

  // The first attempt cannot open its file; the second one can. Opens 1 and
  // 2 read the files for the lookup, 3 probes /srv/U, 4 and 5 read the files
  // again for the update.
  FaultRun run = RunWithFault({STARTER_TOOL, "record", "/srv/New"}, 6, EACCES, "open", env);
  EXPECT_EQ(run.failed, "open");
  EXPECT_EQ(run.process.out, "0\n");
  EXPECT_EQ(ReadFile(UserFile()), Locations({"/srv/New", "/srv/U"}));
  EXPECT_EQ(ReadFile(AlternateFile()), alternate + Locations({"/srv/New", "/srv/U"}));

  // Both attempts fail: nothing changes, the alternate file included.
  Put(UserFile(), user);
  Put(AlternateFile(), alternate);
  auto twice = env;
  twice["FAULTINJECT_RULES"] = "open:7:" + std::to_string(EACCES);
  run = RunWithFault({STARTER_TOOL, "record", "/srv/New"}, 6, EACCES, "open", twice);
  EXPECT_EQ(run.process.out, "1\n");
  EXPECT_EQ(ReadFile(UserFile()), user);
  EXPECT_EQ(ReadFile(AlternateFile()), alternate);
  EXPECT_EQ(ListDir(Home() + "/.Orvik/orvikstart"), Lines{"orvikstart.cfg"});
}

// A starter file that is there but cannot be read whole must not be rewritten
// from the part that was read: that would drop the user's other settings.
// Only the recording is armed, so the faults hit the reads of the update.
class UnreadableStarterFileTest : public TemplateDirectoryTest {
 protected:
  void SetUp() override {
    TemplateDirectoryTest::SetUp();
    // Longer than one piece, so that a read can fail part-way.
    for (int i = 0; i < 200; ++i) user_ += "Setting" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    user_ += Locations({"/srv/U"});
    Put(UserFile(), user_);
    Put(AlternateFile(), alternate_);
  }
  FaultRun Record(long nth, int error, const std::string& functions) {
    return RunWithFault({STARTER_TOOL, "record", "/srv/New"}, nth, error, functions,
                        {{"HOME", Home()}, {"FAULTINJECT_WAIT_ARM", "1"}});
  }
  std::string UserAfter() const {
    std::string text = user_;
    text.replace(text.find("ConfigurationTemplatesLocation"), std::string::npos, Locations({"/srv/New", "/srv/U"}));
    return text;
  }
  std::string AlternateAfter() const { return alternate_ + Locations({"/srv/New", "/srv/U"}); }

  std::string user_;
  const std::string alternate_ = "Keep=1\n";
};

TEST_F(UnreadableStarterFileTest, UserFileThatCannotBeOpenedIsKeptAndSoIsTheAlternate) {
  // The update reads the all-users file, then the user's own.
  const FaultRun run = Record(2, EACCES, "open");
  EXPECT_EQ(run.failed, "open");
  EXPECT_EQ(run.process.out, std::to_string(kStarterCannotRead) + "\n");
  EXPECT_EQ(ReadFile(UserFile()), user_);
  EXPECT_EQ(ReadFile(AlternateFile()), alternate_);
  EXPECT_EQ(ListDir(Home() + "/.Orvik/orvikstart"), Lines{"orvikstart.cfg"});
}

TEST_F(UnreadableStarterFileTest, EveryFailedReadLeavesEachFileWholeOldOrNew) {
  const FaultRun clean = Record(0, 0, "read");
  ASSERT_EQ(clean.process.out, "0\n");
  ASSERT_EQ(ReadFile(UserFile()), UserAfter());
  ASSERT_EQ(ReadFile(AlternateFile()), AlternateAfter());
  ASSERT_GT(clean.calls, 4);
  long userKept = 0;
  for (long nth = 1; nth <= clean.calls; ++nth) {
    SCOPED_TRACE("read " + std::to_string(nth));
    Put(UserFile(), user_);
    Put(AlternateFile(), alternate_);
    const FaultRun run = Record(nth, EIO, "read");
    ASSERT_EQ(run.failed, "read");
    const std::string user = ReadFile(UserFile()), alternate = ReadFile(AlternateFile());
    EXPECT_TRUE(user == user_ || user == UserAfter());
    EXPECT_TRUE(alternate == alternate_ || alternate == AlternateAfter());
    if (user == user_) {
      // A failed update of the user's file leaves the alternate one alone.
      ++userKept;
      EXPECT_EQ(alternate, alternate_);
      EXPECT_EQ(run.process.out, std::to_string(kStarterCannotRead) + "\n");
    } else {
      // The alternate update reads the user's file only as its secondary one.
      EXPECT_EQ(run.process.out, alternate == alternate_ ? std::to_string(kStarterCannotRead) + "\n" : "0\n");
    }
    EXPECT_EQ(ListDir(Home() + "/.Orvik/orvikstart"), Lines{"orvikstart.cfg"});
    EXPECT_EQ(ListDir(Home() + "/.Orvik/orvikstartt"), Lines{"orvikstart.cfg"});
  }
  std::printf("[ info ] %ld reads failed in turn; %ld kept the user's file\n", clean.calls, userKept);
  EXPECT_GT(userKept, 1);
}

// With no home directory at all, nothing may be read or written relative to
// "/" or the working directory, and the proposal is empty. The child takes a
// user id that the password database does not know and drops HOME, so "~"
// cannot be expanded.
TEST_F(TemplateDirectoryTest, WithoutAHomeNothingIsProposedOrWritten) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take an unknown user id";
  uid_t unknown = 54321;
  while (getpwuid(unknown)) ++unknown;
  // Starter files that a lookup relative to the working directory would find.
  const std::string work = Dir("work");
  const std::string listed = Dir("listed");
  Put(work + "/.Orvik/orvikstart/orvikstart.cfg", Locations({listed}));
  Put(work + "/.orvikv8/.Orvik/orvikstart/orvikstart.cfg", Locations({listed}));
  for (const std::string& d : {scratch_.Path(), work, listed}) chmod(d.c_str(), 0777);
  const bool rootHadOrvik = Exists("/.Orvik") || Exists("/.orvikv8");

  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(channel[0]);
    unsetenv("HOME");
    if (setgid(unknown) != 0 || setuid(unknown) != 0 || chdir(work.c_str()) != 0) _exit(3);
    if (!ApplicationDataFolder(false).empty()) _exit(4);
    TemplateDirectoryState state;
    LocateTemplateDirectory(state);
    std::string report = U8(state.templateDirectory) + "|" + std::to_string(state.starterDirectories.size());
    report += "|" + std::to_string(RecordInstalledDirectory(state, Utf8ToUtf16(listed)));
    (void)!write(channel[1], report.data(), report.size());
    _exit(0);
  }
  close(channel[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "the password database still gives a home";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  // Empty proposal, empty list, and the write-back refused.
  EXPECT_EQ(report, "|0|1");
  EXPECT_EQ(ReadFile(work + "/.Orvik/orvikstart/orvikstart.cfg"), Locations({listed}));
  EXPECT_EQ(ListDir(work), (Lines{".Orvik", ".orvikv8"}));
  EXPECT_EQ(ListDir(listed), Lines{});
  if (!rootHadOrvik) {
    EXPECT_FALSE(Exists("/.Orvik"));
    EXPECT_FALSE(Exists("/.orvikv8"));
  }
}

// Start-up reads a starter file twice and rewrites it once. A file of many
// distinct keys must not make that quadratic: it was minutes for 40 000 lines.
TEST_F(TemplateDirectoryTest, LargeStarterFileIsReadAndRewrittenInLinearTime) {
  Lines listed;
  for (int i = 0; i < 10000; ++i) listed.push_back("/srv/t/" + std::to_string(i));
  std::string settings;
  for (int i = 0; i < 50000; ++i) settings += "K" + std::to_string(i) + "=" + std::to_string(i % 7) + "\n";
  Put(UserFile(), Locations(listed) + settings);
  ASSERT_LT(ReadFile(UserFile()).size(), kStarterFileSizeLimit);

  const auto start = std::chrono::steady_clock::now();
  const ProcessResult run = StarterTool({"record", "/srv/New"}, 20);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ info ] 60 000 lines located, recorded and rewritten in %.2f s\n", seconds);
  ASSERT_EQ(run.status, 0) << "killed after 20 s: " << run.err;
  EXPECT_EQ(run.out, "0\n");
  listed.insert(listed.begin(), "/srv/New");
  EXPECT_EQ(ReadFile(UserFile()), Locations(listed) + settings);
}

// A starter file that is no regular file must neither hang start-up (a FIFO
// without a writer blocks a plain open) nor be replaced by one; neither may a
// file far larger than any real one. Each stays exactly as it was, and the
// write-back says it did not happen.
TEST_F(TemplateDirectoryTest, StarterFileThatIsNoRegularFileOrTooLargeIsIgnoredAndKept) {
  const std::string t = Dir("T");
  const std::string listing = Locations({t});
  const std::string oversize = listing + std::string(kStarterFileSizeLimit, '#');
  struct Row {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const Row rows[] = {
      {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"folder", [](const std::string& p) { MakeDirs(p); }},
      {"link to a fifo",
       [&](const std::string& p) {
         ASSERT_EQ(mkfifo((scratch_ / "fifo").c_str(), 0600), 0);
         ASSERT_EQ(symlink((scratch_ / "fifo").c_str(), p.c_str()), 0);
       }},
      {"link to a device", [](const std::string& p) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); }},
      {"over the size limit", [&](const std::string& p) { WriteFile(p, oversize); }},
  };
  const std::string fallback = Home() + "/.orvikv8/Orvik/orvikv8/tmplts/";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RemoveTree(Home() + "/.Orvik");
    RemoveTree(scratch_ / "fifo");
    MakeDirs(Home() + "/.Orvik/orvikstart");
    row.make(UserFile());
    struct stat before{};
    ASSERT_EQ(lstat(UserFile().c_str(), &before), 0);

    const ProcessResult located = StarterTool({"locate"}, 20);
    ASSERT_EQ(located.status, 0) << "killed after 20 s";
    EXPECT_EQ(located.out, fallback + "\n");
    const ProcessResult recorded = StarterTool({"record", "/srv/New"}, 20);
    ASSERT_EQ(recorded.status, 0) << "killed after 20 s";
    EXPECT_EQ(recorded.out, std::to_string(kStarterNotRewritten) + "\n");

    struct stat after{};
    ASSERT_EQ(lstat(UserFile().c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
    if (S_ISREG(after.st_mode)) {
      EXPECT_EQ(ReadFile(UserFile()), oversize);
    }
    EXPECT_EQ(ListDir(Home() + "/.Orvik/orvikstart"), Lines{"orvikstart.cfg"});
  }
}

// A file that does not decode in its encoding is not the text this program
// would write back: rewriting it would mix two encodings in one file. It is
// kept byte for byte, and the write-back says so.
TEST_F(TemplateDirectoryTest, UndecodableStarterFileIsKeptByteForByte) {
  const std::u16string text = Utf8ToUtf16("Other=1\r\n" + Locations({"/srv/U"}));
  std::string noMark = Utf16LE(text);
  noMark.erase(0, 2);
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"UTF-16 without its mark", noMark},
      {"a byte UTF-8 does not allow", "Other=\xC3\x28\n" + Locations({"/srv/U"})},
      {"a NUL", std::string("Other=a\0b\n", 10) + Locations({"/srv/U"})},
      {"UTF-16 with an unpaired surrogate", Utf16LE(u"Other=\xD800x\r\n" + text)},
      {"UTF-16 with a stray last byte", Utf16LE(text) + "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Put(UserFile(), row.bytes);
    const ProcessResult recorded = StarterTool({"record", "/srv/New"});
    EXPECT_EQ(recorded.out, std::to_string(kStarterNotRewritten) + "\n");
    EXPECT_EQ(ReadFile(UserFile()), row.bytes);
    EXPECT_EQ(ListDir(Home() + "/.Orvik/orvikstart"), Lines{"orvikstart.cfg"});
  }
}

// A home that does not exist is not created by a run into the default
// directory below it: nothing is proposed, and a directory below it is no
// usable target.
TEST_F(TemplateDirectoryTest, MissingHomeIsNeverProposedToBeCreated) {
  const std::string home = scratch_ / "gone/home";
  SetEnvironment("HOME", home.c_str());
  const TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), "");
  EXPECT_FALSE(TemplateDirectoryUsable(Utf8ToUtf16(home + "/.orvikv8/Orvik/orvikv8/tmplts/")));
  EXPECT_FALSE(TemplateDirectoryUsable(Utf8ToUtf16(home)));
  // Anything whose making starts above the home might make the home's parents.
  EXPECT_FALSE(TemplateDirectoryUsable(Utf8ToUtf16(scratch_ / "gone/elsewhere")));
  EXPECT_TRUE(TemplateDirectoryUsable(Utf8ToUtf16(Dir("other") + "/new")));
  EXPECT_FALSE(Exists(scratch_ / "gone"));
}

TEST_F(TemplateDirectoryTest, UsableTargetExistsAndTakesFilesOrCanBeCreated) {
  const std::string t = Dir("T");
  WriteFile(scratch_ / "file", "x");
  struct Row {
    std::string directory;
    bool usable;
  };
  const Row rows[] = {
      {t, true},
      {t + "/", true},
      {t + "/new/deeper/", true},
      {scratch_ / "file", false},
      {scratch_ / "file/below", false},
      {"relative/t", false},
      {"", false},
      {Home() + "/.orvikv8/Orvik/orvikv8/tmplts/", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.directory);
    EXPECT_EQ(TemplateDirectoryUsable(Utf8ToUtf16(row.directory)), row.usable);
  }
  // Looking leaves nothing behind.
  EXPECT_EQ(ListDir(t), Lines{});
  EXPECT_EQ(ListDir(Home()), Lines{});
  EXPECT_EQ(ListDir(scratch_.Path()), (Lines{"T", "file", "home"}));
}

}  // namespace
}  // namespace setup::test
