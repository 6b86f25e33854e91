// Starter files on Linux: what a file in the locale's encoding reads as, what
// a rewrite writes, and that a rewrite never damages the file it replaces,
// down to its permission bits and links (the parts that read the same on
// every build are in StarterFormatTest.cpp).
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "ConfigTestUtil.h"
#include "core/StarterConfiguration.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

using Values = std::vector<std::string>;

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(StarterConfigurationTest, FilesWithByteOrderMarksAndCrLfReadAlike) {
  ScratchDir dir;
  const Pairs expected{{"ConfigurationTemplatesLocation", {"/srv/T", "/home/u/t\xC3\xBC"}},
                       {"Other", {"a=b"}}};
  const std::string lf = "ConfigurationTemplatesLocation=/srv/T\n"
                         "ConfigurationTemplatesLocation=/home/u/t\xC3\xBC\n\nOther=a=b";
  std::string crlf;
  for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  EXPECT_EQ(LoadBytes(dir, lf), expected);
  EXPECT_EQ(LoadBytes(dir, crlf), expected);
  // The first key must not begin with the mark.
  EXPECT_EQ(LoadBytes(dir, "\xEF\xBB\xBF" + crlf), expected);
  EXPECT_EQ(LoadBytes(dir, Utf16LE(Utf8ToUtf16(crlf))), expected);
  EXPECT_EQ(LoadBytes(dir, Utf16LE(Utf8ToUtf16(lf + "\r\n"))), expected);
  // A CR that is not part of a line end stays.
  EXPECT_EQ(LoadBytes(dir, "k=a\rb\r\r\n"), (Pairs{{"k", {"a\rb\r"}}}));
}

TEST(StarterConfigurationTest, MissingOrUnreadableFileAddsNothing) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_EQ(symlink("nowhere/orvikstart.cfg", (dir / "dangling.cfg").c_str()), 0);
  StarterConfiguration configuration;
  configuration.AddValue(u"Kept", u"1");
  EXPECT_EQ(LoadStarterFile(dir.Wide("absent.cfg"), configuration), StarterRead::Missing);
  EXPECT_EQ(LoadStarterFile(dir.Wide("file/orvikstart.cfg"), configuration), StarterRead::Missing);
  EXPECT_EQ(LoadStarterFile(dir.Wide("dangling.cfg"), configuration), StarterRead::Missing);
  EXPECT_EQ(LoadStarterFile(u"", configuration), StarterRead::Missing);
  // Something is there, but it is not a file: nothing to read, nor to rewrite.
  EXPECT_EQ(LoadStarterFile(dir.Wide(), configuration), StarterRead::Refused);
  EXPECT_EQ(EntriesOf(configuration), (Pairs{{"Kept", {"1"}}}));
  EXPECT_EQ(LoadStarterFile(dir.Wide("file"), configuration), StarterRead::Whole);
}

// A load in a child process with one open or read made to fail.
class StarterLoadFaultTest : public ::testing::Test {
 protected:
  FaultRun Load(long nth, int error, const std::string& functions) {
    return RunWithFault({STARTER_TOOL, "load", path_}, nth, error, functions);
  }
  ScratchDir dir_;
  std::string path_ = dir_ / "orvikstart.cfg";
};

TEST_F(StarterLoadFaultTest, FileThatCannotBeOpenedIsIncompleteNotMissing) {
  WriteFile(path_, "Keep=1\n");
  for (const int error : {EACCES, EMFILE, EIO}) {
    const FaultRun run = Load(1, error, "open");
    EXPECT_EQ(run.failed, "open");
    EXPECT_EQ(run.process.out, "incomplete\n") << error;
  }
  EXPECT_EQ(Load(0, 0, "open").process.out, "whole\nKeep=1\n");
}

TEST_F(StarterLoadFaultTest, ReadErrorAnywhereIsReportedAndNoCutLineIsKept) {
  // Lines of many lengths over several pieces, ending without a line end, so
  // that a read error can cut one anywhere.
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += "K" + std::to_string(i) + "=" + std::string(static_cast<size_t>(i % 37), 'v') + "\xD0\x96\r\n";
  }
  text += "Last=line";
  for (const std::string& bytes : {text, "\xEF\xBB\xBF" + text}) {
    WriteFile(path_, bytes);
    // What a load may give after an error: the pairs of the first k lines.
    std::vector<std::string> allowed{"incomplete\n"};
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', end + 1)) {
      std::string lines = text.substr(0, end + 1);
      lines.erase(std::remove(lines.begin(), lines.end(), '\r'), lines.end());
      StarterConfiguration prefix;
      ParseStarterText(Utf8ToUtf16(lines), prefix);
      allowed.push_back("incomplete\n" + Utf16ToUtf8(FormatStarterText(prefix)));
    }
    const FaultRun clean = Load(0, 0, "read");
    ASSERT_EQ(clean.process.out.substr(0, 6), "whole\n");
    EXPECT_NE(clean.process.out.find("Last=line\n"), std::string::npos);
    ASSERT_GT(clean.calls, 3);
    for (long nth = 1; nth <= clean.calls; ++nth) {
      const FaultRun run = Load(nth, EIO, "read");
      ASSERT_EQ(run.failed, "read") << nth;
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), run.process.out), allowed.end())
          << "read " << nth << " gave:\n" << run.process.out;
    }
  }
}

// A signal only sets the program's flag; the reading must look at it and
// give up, however much of the file is left. The injector raises SIGTERM
// just before the second read, so the first piece is all there is.
TEST_F(StarterLoadFaultTest, TerminationSignalEndsTheReading) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "Setting" + std::to_string(i) + "=value\n";
  WriteFile(path_, text);
  ASSERT_EQ(Load(0, 0, "read").process.out.substr(0, 6), "whole\n");
  const FaultRun run =
      RunWithFault({STARTER_TOOL, "load", path_}, 2, 0, "read", {{"FAULTINJECT_SIGNAL", std::to_string(SIGTERM)}});
  EXPECT_EQ(run.process.status, 0) << run.process.err;
  EXPECT_EQ(run.process.out.substr(0, 11), "incomplete\n");
  EXPECT_LT(run.process.out.size(), text.size() / 2);
}

TEST(StarterConfigurationTest, RewriteNormalisesOnlyWhatReadingNormalises) {
  ScratchDir dir;
  const std::string path = dir / "orvikstart.cfg";
  WriteFile(path, "\xEF\xBB\xBF"
                  "Zeta=a\r\n"
                  "\r\n"
                  ";remark\r\n"
                  "ConfigurationTemplatesLocation=/srv/T\r\n"
                  "zeta=A\r\n"
                  "ZETA=b\r\n"
                  "=\r\n"
                  "Alpha=x=y");
  StarterConfiguration configuration;
  LoadStarterFile(Utf8ToUtf16(path), configuration);
  configuration.SetValues(u"configurationtemplateslocation", {u"/srv/New", u"/srv/T"});
  ASSERT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), 0u);
  // No mark, LF alone, first letter case, remark gains "=", repeated value once.
  EXPECT_EQ(ReadFile(path),
            "Zeta=a\n"
            "Zeta=b\n"
            ";remark=\n"
            "ConfigurationTemplatesLocation=/srv/New\n"
            "ConfigurationTemplatesLocation=/srv/T\n"
            "Alpha=x=y\n");
  EXPECT_EQ(ListDir(dir.Path()), Values{"orvikstart.cfg"});

  StarterConfiguration again;
  LoadStarterFile(Utf8ToUtf16(path), again);
  EXPECT_EQ(EntriesOf(again), EntriesOf(configuration));

  // Saving the same again would write the very same bytes: the file stays
  // as it is: not renamed over (same inode), no temporary left.
  struct stat before{}, after{};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  ASSERT_EQ(SaveStarterFile(again, Utf8ToUtf16(path)), 0u);
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ListDir(dir.Path()), Values{"orvikstart.cfg"});
}

TEST(StarterConfigurationTest, RewriteKeepsPermissionBitsAndNewFileFollowsUmask) {
  ScratchDir dir;
  StarterConfiguration configuration;
  configuration.AddValue(u"ConfigurationTemplatesLocation", u"/srv/T");

  for (const mode_t mode : {0600, 0640, 0604, 0660}) {
    const std::string path = dir / ("kept" + std::to_string(mode));
    WriteFile(path, "Old=1\n");
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), 0u);
    EXPECT_EQ(ModeOf(path), mode);
    EXPECT_EQ(ReadFile(path), "ConfigurationTemplatesLocation=/srv/T\n");
  }
  for (const mode_t mask : {022, 077, 027}) {
    const mode_t saved = umask(mask);
    const std::string path = dir / ("new" + std::to_string(mask));
    const ErrorCode code = SaveStarterFile(configuration, Utf8ToUtf16(path));
    umask(saved);
    ASSERT_EQ(code, 0u);
    EXPECT_EQ(ModeOf(path), 0666 & ~mask);
  }
}

TEST(StarterConfigurationTest, SymbolicLinkIsWrittenThrough) {
  ScratchDir dir;
  MakeDirs(dir / "real");
  WriteFile(dir / "real/orvikstart.cfg", "Old=1\n");
  ASSERT_EQ(symlink("real/orvikstart.cfg", (dir / "link.cfg").c_str()), 0);
  StarterConfiguration configuration;
  configuration.AddValue(u"New", u"2");
  ASSERT_EQ(SaveStarterFile(configuration, dir.Wide("link.cfg")), 0u);
  struct stat st{};
  ASSERT_EQ(lstat((dir / "link.cfg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir / "real/orvikstart.cfg"), "New=2\n");
  EXPECT_EQ(ListDir(dir / "real"), Values{"orvikstart.cfg"});
}

TEST(StarterConfigurationTest, UnwritablePlacesFailWithoutLeavingFiles) {
  ScratchDir dir;
  StarterConfiguration configuration;
  configuration.AddValue(u"K", u"v");
  // No directory to create the new file in: cannot open.
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("missing/orvikstart.cfg")), kStarterCannotOpen);
  WriteFile(dir / "file", "x");
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("file/orvikstart.cfg")), kStarterCannotOpen);
  EXPECT_EQ(SaveStarterFile(configuration, u""), kStarterCannotOpen);
  // A directory, a FIFO or a device in the file's place is no file to write
  // into, and is never replaced by one.
  MakeDirs(dir / "taken.cfg");
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("taken.cfg")), kStarterCannotOpen);
  ASSERT_EQ(mkfifo((dir / "fifo.cfg").c_str(), 0600), 0);
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("fifo.cfg")), kStarterCannotOpen);
  ASSERT_EQ(symlink("/dev/null", (dir / "null.cfg").c_str()), 0);
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("null.cfg")), kStarterCannotOpen);
  struct stat st{};
  EXPECT_TRUE(stat((dir / "taken.cfg").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_TRUE(stat((dir / "fifo.cfg").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
  EXPECT_EQ(ListDir(dir.Path()), (Values{"fifo.cfg", "file", "null.cfg", "taken.cfg"}));
  EXPECT_EQ(ListDir(dir / "taken.cfg"), Values{});
}

// A file the user may not write is not theirs to replace, even though the
// directory would let a new file take its name. Permission bits do not stop
// root, so the save runs in a child under a user id nobody has.
TEST(StarterConfigurationTest, FileThatMayNotBeWrittenIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take an unknown user id";
  uid_t unknown = 54321;
  while (getpwuid(unknown)) ++unknown;
  ScratchDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
  const std::string others = dir / "others.cfg", readOnly = dir / "readonly.cfg";
  WriteFile(others, "Old=root\n");  // root's, 0644 after chmod
  ASSERT_EQ(chmod(others.c_str(), 0644), 0);
  WriteFile(readOnly, "Old=mine\n");
  ASSERT_EQ(chown(readOnly.c_str(), unknown, unknown), 0);
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(unknown) != 0 || setuid(unknown) != 0) _exit(10);
    StarterConfiguration configuration;
    configuration.AddValue(u"New", u"1");
    const ErrorCode a = SaveStarterFile(configuration, Utf8ToUtf16(others));
    const ErrorCode b = SaveStarterFile(configuration, Utf8ToUtf16(readOnly));
    _exit(static_cast<int>(a * 4 + b));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(kStarterCannotOpen * 4 + kStarterCannotOpen));
  EXPECT_EQ(ReadFile(others), "Old=root\n");
  EXPECT_EQ(ReadFile(readOnly), "Old=mine\n");
  struct stat st{};
  ASSERT_EQ(stat(others.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(ModeOf(others), 0644u);
  EXPECT_EQ(ModeOf(readOnly), 0444u);
  EXPECT_EQ(ListDir(dir.Path()), (Values{"others.cfg", "readonly.cfg"}));
}

TEST(StarterConfigurationTest, DanglingLinkGetsItsFileWhereItPoints) {
  ScratchDir dir;
  MakeDirs(dir / "real");
  MakeDirs(dir / "hop");
  StarterConfiguration configuration;
  configuration.AddValue(u"New", u"2");
  // Relative text counts from the link's own directory, at every hop.
  ASSERT_EQ(symlink("real/orvikstart.cfg", (dir / "relative.cfg").c_str()), 0);
  ASSERT_EQ(symlink("hop/second", (dir / "chain.cfg").c_str()), 0);
  ASSERT_EQ(symlink("../real/chained.cfg", (dir / "hop/second").c_str()), 0);
  ASSERT_EQ(symlink((dir / "real/absolute.cfg").c_str(), (dir / "absolute.cfg").c_str()), 0);
  for (const std::string link : {"relative.cfg", "chain.cfg", "absolute.cfg"}) {
    EXPECT_EQ(SaveStarterFile(configuration, dir.Wide(link)), 0u) << link;
    struct stat st{};
    ASSERT_EQ(lstat((dir / link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
    StarterConfiguration reread;
    EXPECT_EQ(LoadStarterFile(dir.Wide(link), reread), StarterRead::Whole) << link;
    EXPECT_EQ(EntriesOf(reread), (Pairs{{"New", {"2"}}})) << link;
  }
  EXPECT_EQ(ListDir(dir / "real"), (Values{"absolute.cfg", "chained.cfg", "orvikstart.cfg"}));
  EXPECT_EQ(ReadFile(dir / "real/chained.cfg"), "New=2\n");
  EXPECT_EQ(ListDir(dir / "hop"), Values{"second"});

  // Where the file cannot be made, or the links never end, the link stays.
  ASSERT_EQ(symlink("missing/orvikstart.cfg", (dir / "nodir.cfg").c_str()), 0);
  ASSERT_EQ(symlink("loop2.cfg", (dir / "loop1.cfg").c_str()), 0);
  ASSERT_EQ(symlink("loop1.cfg", (dir / "loop2.cfg").c_str()), 0);
  for (const std::string link : {"nodir.cfg", "loop1.cfg"}) {
    EXPECT_EQ(SaveStarterFile(configuration, dir.Wide(link)), kStarterCannotOpen) << link;
    struct stat st{};
    ASSERT_EQ(lstat((dir / link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
  }
  EXPECT_EQ(ListDir(dir.Path()), (Values{"absolute.cfg", "chain.cfg", "hop", "loop1.cfg", "loop2.cfg",
                                         "nodir.cfg", "real", "relative.cfg"}));
}

// Each save runs in a child process with one libc call made to fail.
class StarterSaveFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "orvikstart.cfg";
    WriteFile(path_, kOld);
    chmod(path_.c_str(), 0640);
  }
  FaultRun Save(long nth, int error, const std::string& functions) {
    return RunWithFault({STARTER_TOOL, "save", path_, "Other=1", "ConfigurationTemplatesLocation=/srv/New",
                         "ConfigurationTemplatesLocation=/srv/T"},
                        nth, error, functions);
  }
  // Either the new text under the old bits, or the old file untouched; never a stray file.
  void ExpectWholeOldOrNew(const FaultRun& run, const std::string& context) {
    SCOPED_TRACE(context + " failed " + run.failed);
    ASSERT_EQ(run.process.status, 0) << run.process.err;
    const std::string code = run.process.out;
    const std::string content = ReadFile(path_);
    if (code == "0\n") {
      EXPECT_EQ(content, kNew);
    } else {
      EXPECT_TRUE(code == "1\n" || code == "2\n") << code;
      EXPECT_EQ(content, kOld);
    }
    EXPECT_EQ(ModeOf(path_), 0640u);
    EXPECT_EQ(ListDir(dir_.Path()), Values{"orvikstart.cfg"});
  }

  static constexpr const char* kOld = "Other=0\nConfigurationTemplatesLocation=/srv/T\n";
  static constexpr const char* kNew =
      "Other=1\nConfigurationTemplatesLocation=/srv/New\nConfigurationTemplatesLocation=/srv/T\n";
  ScratchDir dir_;
  std::string path_;
};

TEST_F(StarterSaveFaultTest, EachFailingStepGivesItsCodeAndKeepsTheOldFile) {
  struct Case {
    const char* function;
    long nth;  // the first close is the write probe's, whose failure changes nothing
    int error;
    const char* code;
  };
  for (const Case& c : {Case{"open", 1, EACCES, "1\n"}, Case{"open", 1, EMFILE, "1\n"},
                        Case{"write", 1, ENOSPC, "2\n"}, Case{"fsync", 1, EIO, "2\n"},
                        Case{"close", 2, EIO, "2\n"}, Case{"rename", 1, EXDEV, "2\n"},
                        Case{"fchmod", 1, EPERM, "2\n"}}) {
    WriteFile(path_, kOld);
    const FaultRun run = Save(c.nth, c.error, c.function);
    EXPECT_EQ(run.failed, c.function);
    EXPECT_EQ(run.process.out, c.code) << c.function;
    ExpectWholeOldOrNew(run, c.function);
  }
}

TEST_F(StarterSaveFaultTest, EveryFailedCallLeavesOldOrNewFileWhole) {
  const std::string functions = "open,write,fsync,close,rename,fchmod,fstat,stat,lstat";
  const FaultRun clean = Save(0, 0, functions);
  ExpectWholeOldOrNew(clean, "no fault");
  ASSERT_EQ(clean.process.out, "0\n");
  ASSERT_GT(clean.calls, 5);
  long injected = 0, failures = 0;
  for (const int error : {EIO, ENOSPC}) {
    for (long nth = 1; nth <= clean.calls; ++nth) {
      WriteFile(path_, kOld);
      const FaultRun run = Save(nth, error, functions);
      ASSERT_NE(run.failed, "-") << "call " << nth;
      ++injected;
      if (run.process.out != "0\n") ++failures;
      ExpectWholeOldOrNew(run, "call " + std::to_string(nth) + " errno " + std::to_string(error));
    }
  }
  std::printf("[ info ] %ld faults injected into saves of %ld watched calls; %ld saves failed cleanly\n",
              injected, clean.calls, failures);
  EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace setup::test
