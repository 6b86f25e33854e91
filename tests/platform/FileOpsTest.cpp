// The Linux file layer: codes, handles, times, enumeration and the tree operations.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "platform/ApplicationData.h"
#include "platform/FileFinder.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using test::Exists;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

std::u16string W(const std::string& s) { return Utf8ToUtf16(s); }

// Runs one operation of the fileops tool under the fault-injection library.
ErrorCode ToolWithRules(const std::vector<std::string>& args, const std::string& rules) {
  std::vector<std::string> argv{FILEOPS_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  const test::FaultRun run = test::RunWithFault(argv, 0, 0, "", {{"FAULTINJECT_RULES", rules}});
  EXPECT_EQ(run.process.status, 0) << run.process.err;
  return static_cast<ErrorCode>(std::strtoul(run.process.out.c_str(), nullptr, 10));
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode;
}

struct timespec MtimeOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mtim;
}

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override { std::setlocale(LC_ALL, "C.UTF-8"); }
  ScratchDir dir_;
};

TEST_F(FileOpsTest, FailuresCarryWindowsCodesAndSetTheLastError) {
  FileHandle h = 0;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("missing"), kGenericRead, 0, kOpenExisting, h), kErrorFileNotFound);
  EXPECT_EQ(h, kInvalidFileHandle);
  EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);

  WriteFile(dir_ / "plain", "x");
  EXPECT_EQ(OpenFileHandle(dir_.Wide("plain/below"), kGenericRead, 0, kOpenExisting, h),
            kErrorPathNotFound);
  EXPECT_EQ(GetLastErrorCode(), kErrorPathNotFound);
  EXPECT_EQ(OpenFileHandle(dir_.Wide(""), kGenericWrite, 0, kOpenExisting, h), kErrorInvalidParameter);

  // The invalid handle gives 6 everywhere, -1 from a seek.
  uint32_t n = 0;
  char byte = 0;
  EXPECT_EQ(WriteToFile(kInvalidFileHandle, &byte, 1, n), kErrorInvalidHandle);
  EXPECT_EQ(ReadFromFile(kInvalidFileHandle, &byte, 1, n), kErrorInvalidHandle);
  EXPECT_EQ(TruncateFileHere(kInvalidFileHandle), kErrorInvalidHandle);
  EXPECT_EQ(GetFileTimes(kInvalidFileHandle, nullptr, nullptr, nullptr), kErrorInvalidHandle);
  EXPECT_EQ(SeekFile(kInvalidFileHandle, 0, kSeekBegin), -1);
  EXPECT_EQ(GetLastErrorCode(), kErrorInvalidHandle);

  // A successful operation clears the last error.
  ScopedFileHandle ok;
  ASSERT_EQ(OpenFileHandle(dir_.Wide("plain"), kGenericRead, 0, kOpenExisting, *ok.Out()), 0u);
  EXPECT_EQ(GetLastErrorCode(), 0u);

  // Writing to a read-only handle is some other failure: 87.
  EXPECT_EQ(WriteToFile(ok.Get(), "y", 1, n), kErrorInvalidParameter);

  // A full device is 112, so callers can talk about space.
  ScopedFileHandle full;
  ASSERT_EQ(OpenFileHandle(u"/dev/full", kGenericWrite, 0, kOpenExisting, *full.Out()), 0u);
  EXPECT_EQ(WriteToFile(full.Get(), "abc", 3, n), kErrorDiskFull);
  EXPECT_EQ(GetLastErrorCode(), kErrorDiskFull);

  // Each thread has its own, as on Windows: a success elsewhere meanwhile
  // neither hides this thread's failure nor shows in it.
  std::thread([&] {
    ScopedFileHandle other;
    EXPECT_EQ(OpenFileHandle(dir_.Wide("plain"), kGenericRead, 0, kOpenExisting, *other.Out()), 0u);
    EXPECT_EQ(GetLastErrorCode(), 0u);
  }).join();
  EXPECT_EQ(GetLastErrorCode(), kErrorDiskFull);
}

TEST_F(FileOpsTest, HandlesReadWriteSeekAndTruncateLikeTheirWin32Namesakes) {
  const std::string path = dir_ / "data.bin";
  WriteFile(path, "0123456789");
  ScopedFileHandle h;
  // CREATE_ALWAYS keeps the old tail until the writer truncates.
  ASSERT_EQ(OpenFileHandle(W(path), kGenericRead | kGenericWrite, 0, kCreateAlways, *h.Out()), 0u);
  uint32_t n = 0;
  EXPECT_EQ(WriteToFile(h.Get(), "abc", 3, n), 0u);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(ReadFile(path), "abc3456789");
  EXPECT_EQ(TruncateFileHere(h.Get()), 0u);
  EXPECT_EQ(ReadFile(path), "abc");

  EXPECT_EQ(SeekFile(h.Get(), 1, kSeekBegin), 1);
  EXPECT_EQ(SeekFile(h.Get(), 1, kSeekCurrent), 2);
  EXPECT_EQ(SeekFile(h.Get(), 0, kSeekEnd), 3);
  EXPECT_EQ(SeekFile(h.Get(), 0, 7), 0);  // an unknown method counts from the start
  char buffer[16] = {};
  EXPECT_EQ(ReadFromFile(h.Get(), buffer, sizeof buffer, n), 0u);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(buffer, n), "abc");

  // A new file gets 0660 before the umask.
  const mode_t old = umask(0);
  ScopedFileHandle fresh;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("new"), kGenericWrite, 0, kCreateAlways, *fresh.Out()), 0u);
  umask(old);
  EXPECT_EQ(ModeOf(dir_ / "new") & 0777, 0660u);

  // TRUNCATE_EXISTING cuts on opening; OPEN_EXISTING does not create.
  ScopedFileHandle t;
  EXPECT_EQ(OpenFileHandle(W(path), kGenericWrite, 0, kTruncateExisting, *t.Out()), 0u);
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_EQ(OpenFileHandle(dir_.Wide("none"), kGenericWrite, 0, kOpenExisting, *t.Out()), kErrorFileNotFound);
}

TEST_F(FileOpsTest, ReadFromFileGathersEverythingUntilTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Three separate writes arrive as one read of the full count.
  ASSERT_EQ(write(fds[1], "ab", 2), 2);
  ASSERT_EQ(write(fds[1], "cd", 2), 2);
  ASSERT_EQ(write(fds[1], "e", 1), 1);
  close(fds[1]);
  char buffer[8] = {};
  uint32_t n = 0;
  EXPECT_EQ(ReadFromFile(fds[0], buffer, 4, n), 0u);
  EXPECT_EQ(std::string(buffer, n), "abcd");
  EXPECT_EQ(ReadFromFile(fds[0], buffer, 8, n), 0u);
  EXPECT_EQ(std::string(buffer, n), "e");
  EXPECT_EQ(ReadFromFile(fds[0], buffer, 8, n), 0u);
  EXPECT_EQ(n, 0u);
  close(fds[0]);
}

TEST_F(FileOpsTest, PositionalReadsAndExclusiveCreation) {
  const std::string path = dir_ / "data";
  WriteFile(path, "0123456789");
  ScopedFileHandle file;
  ASSERT_EQ(OpenFileHandle(W(path), kGenericRead, 0, kOpenExisting, *file.Out()), 0u);
  char buffer[16] = {};
  uint32_t n = 0;
  EXPECT_EQ(ReadFromFileAt(file.Get(), 3, buffer, 4, n), 0u);
  EXPECT_EQ(std::string(buffer, n), "3456");
  EXPECT_EQ(ReadFromFileAt(file.Get(), 8, buffer, 16, n), 0u);  // short at the end
  EXPECT_EQ(std::string(buffer, n), "89");
  EXPECT_EQ(ReadFromFileAt(file.Get(), 10, buffer, 16, n), 0u);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SeekFile(file.Get(), 0, kSeekCurrent), 0);  // the position is left alone
  EXPECT_EQ(ReadFromFileAt(kInvalidFileHandle, 0, buffer, 4, n), kErrorInvalidHandle);
  EXPECT_EQ(GetLastErrorCode(), kErrorInvalidHandle);

  // Positional writes leave the position alone too, and may run past the end.
  ScopedFileHandle written;
  ASSERT_EQ(OpenFileHandle(W(path), kGenericWrite, 0, kOpenExisting, *written.Out()), 0u);
  EXPECT_EQ(WriteToFileAt(written.Get(), 8, "abcd", 4, n), 0u);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(SeekFile(written.Get(), 0, kSeekCurrent), 0);
  EXPECT_EQ(ReadFile(path), "01234567abcd");
  ScopedFileHandle full;
  ASSERT_EQ(OpenFileHandle(u"/dev/full", kGenericWrite, 0, kOpenExisting, *full.Out()), 0u);
  EXPECT_EQ(WriteToFileAt(full.Get(), 0, "abc", 3, n), kErrorDiskFull);
  WriteFile(path, "0123456789");

  // CREATE_NEW makes a file only where nothing stands, a link to nothing included.
  ScopedFileHandle created;
  EXPECT_EQ(OpenFileHandle(W(path), kGenericWrite, 0, kCreateNew, *created.Out()), kErrorFileExists);
  EXPECT_EQ(GetLastErrorCode(), kErrorFileExists);
  EXPECT_EQ(ReadFile(path), "0123456789");
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_EQ(OpenFileHandle(W(dir_ / "link"), kGenericWrite, 0, kCreateNew, *created.Out()), kErrorFileExists);
  EXPECT_FALSE(Exists(dir_ / "nowhere"));
  EXPECT_EQ(OpenFileHandle(W(dir_ / "new"), kGenericWrite, 0, kCreateNew, *created.Out()), 0u);
  EXPECT_TRUE(created.Valid());
}

TEST_F(FileOpsTest, PathInfoFollowsLinksAndCountsALinkToNothingAsOld) {
  const std::string file = dir_ / "file", folder = dir_ / "folder";
  WriteFile(file, "x");
  test::MakeDirs(folder);
  struct timespec times[2] = {{1600000000, 123456700}, {1600000000, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_EQ(symlink(file.c_str(), (dir_ / "to-file").c_str()), 0);
  ASSERT_EQ(symlink(folder.c_str(), (dir_ / "to-folder").c_str()), 0);
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), (dir_ / "to-nothing").c_str()), 0);
  PathInfo info;
  ASSERT_EQ(QueryPathInfo(W(file), info), 0u);
  EXPECT_FALSE(info.directory);
  EXPECT_EQ(info.lastWriteTime, FileTimeFromUnix(1600000000, 123456700));
  info = {};
  ASSERT_EQ(QueryPathInfo(W(dir_ / "to-file"), info), 0u);
  EXPECT_EQ(info.lastWriteTime, FileTimeFromUnix(1600000000, 123456700));
  ASSERT_EQ(QueryPathInfo(W(dir_ / "to-folder"), info), 0u);
  EXPECT_TRUE(info.directory);
  ASSERT_EQ(QueryPathInfo(W(dir_ / "to-nothing"), info), 0u);
  EXPECT_FALSE(info.directory);
  EXPECT_EQ(info.lastWriteTime, 0u);
  EXPECT_EQ(QueryPathInfo(W(dir_ / "missing"), info), kErrorFileNotFound);
  EXPECT_EQ(QueryPathInfo(W(file + "/below"), info), kErrorPathNotFound);
}

TEST_F(FileOpsTest, FileTimesKeepHundredNanosecondPrecision) {
  EXPECT_EQ(FileTimeFromUnix(0, 0), 116444736000000000ULL);
  int64_t s = 0, ns = 0;
  FileTimeToUnix(116444736000000000ULL + 12345678901234567ULL, s, ns);
  EXPECT_EQ(FileTimeFromUnix(s, ns), 116444736000000000ULL + 12345678901234567ULL);
  FileTimeToUnix(116444736000000000ULL - 1, s, ns);  // just before 1970
  EXPECT_EQ(s, -1);
  EXPECT_EQ(ns, 999999900);
  EXPECT_EQ(FileTimeFromUnix(-20000000000LL, 0), 0u);  // before 1601: held at the origin

  // Every 64-bit time converts, the latest ones too: from 2^63 up a signed
  // difference to 1970 would wrap around into the distant past.
  struct Conversion {
    FileTime time;
    int64_t seconds, nanoseconds;
  };
  for (const Conversion& c : {Conversion{0, -11644473600, 0}, Conversion{kFileTimeUnixEpoch, 0, 0},
                              Conversion{0x7FFFFFFFFFFFFFFFULL, 910692730085, 477580700},
                              Conversion{0x8000000000000000ULL, 910692730085, 477580800},
                              Conversion{0xFFFFFFFFFFFFFFFFULL, 1833029933770, 955161500}}) {
    FileTimeToUnix(c.time, s, ns);
    EXPECT_EQ(s, c.seconds) << c.time;
    EXPECT_EQ(ns, c.nanoseconds) << c.time;
    EXPECT_EQ(FileTimeFromUnix(s, ns), c.time) << c.time;
  }
  // Past the last FileTime the conversion holds at it.
  EXPECT_EQ(FileTimeFromUnix(INT64_MAX, 999999999), 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(FileTimeFromUnix(1833029933771, 0), 0xFFFFFFFFFFFFFFFFULL);

  const std::string path = dir_ / "timed";
  WriteFile(path, "x");
  ScopedFileHandle h;
  ASSERT_EQ(OpenFileHandle(W(path), kGenericWrite, 0, kOpenExisting, *h.Out()), 0u);
  const FileTime when = 133000000001234567ULL;  // 2022, with a fraction of a second
  EXPECT_EQ(SetFileTimes(h.Get(), nullptr, nullptr, &when), 0u);
  FileTime creation = 0, access = 0, write = 0;
  EXPECT_EQ(GetFileTimes(h.Get(), &creation, &access, &write), 0u);
  EXPECT_EQ(write, when);
  EXPECT_EQ(access, when);  // the access time follows the last-write time
  EXPECT_GT(creation, when);
  EXPECT_EQ(GetFileTimes(h.Get(), nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(SetFileTimes(kInvalidFileHandle, nullptr, nullptr, &when), kErrorInvalidHandle);
}

TEST_F(FileOpsTest, PathHelpers) {
  EXPECT_TRUE(IsRootPath(u"/"));
  EXPECT_FALSE(IsRootPath(u"//"));
  EXPECT_FALSE(IsRootPath(u""));
  EXPECT_FALSE(IsRootPath(u"/home"));
  EXPECT_EQ(EnsureTrailingSeparator(u""), u"");
  EXPECT_EQ(EnsureTrailingSeparator(u"/a"), u"/a/");
  EXPECT_EQ(EnsureTrailingSeparator(u"/a/"), u"/a/");
  EXPECT_EQ(EnsureTrailingSeparator(u"c:\\a\\"), u"c:\\a\\");

  const std::string saved = std::getenv("TMPDIR");
  std::u16string temp;
  setenv("TMPDIR", (dir_.Path() + "/").c_str(), 1);
  EXPECT_EQ(GetTempDirectory(temp), 0u);
  EXPECT_EQ(temp, dir_.Wide() + u"/");  // no second "/"
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  GetTempDirectory(temp);
  EXPECT_EQ(temp, dir_.Wide() + u"/");
  WriteFile(dir_ / "file", "");
  setenv("TMPDIR", (dir_ / "file").c_str(), 1);
  GetTempDirectory(temp);
  EXPECT_EQ(temp, u"/tmp/");
  unsetenv("TMPDIR");
  GetTempDirectory(temp);
  EXPECT_EQ(temp, u"/tmp/");
  setenv("TMPDIR", saved.c_str(), 1);

  const std::string home = std::getenv("HOME");
  setenv("HOME", (dir_ / "home dir").c_str(), 1);
  EXPECT_EQ(ApplicationDataFolder(false), dir_.Wide("home dir"));
  EXPECT_EQ(ApplicationDataFolder(true), dir_.Wide("home dir/.orvikv8/"));
  setenv("HOME", "/", 1);
  EXPECT_EQ(ApplicationDataFolder(true), u"/.orvikv8/");
  setenv("HOME", home.c_str(), 1);
}

TEST_F(FileOpsTest, FinderEnumeratesWithMasksAndTestsPlainPathsLiterally) {
  WriteFile(dir_ / "a.cfg", "");
  WriteFile(dir_ / ".hidden", "");
  WriteFile(dir_ / "a?c", "");
  WriteFile(dir_ / "[x]", "");
  WriteFile(dir_ / "B.CFG", "");
  test::MakeDirs(dir_ / "sub");
  ASSERT_EQ(symlink("sub", (dir_ / "link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir_ / "dangling").c_str()), 0);
  WriteFile(dir_ / "zz-after-links", "");

  FileFinder finder;
  std::set<std::u16string> names;
  std::set<std::u16string> directories;
  for (bool more = finder.FindFirst(dir_.Wide("*")); more; more = finder.FindNext()) {
    names.insert(finder.FoundName());
    if (finder.FoundAttributes() == kFileAttributeDirectory) directories.insert(finder.FoundName());
  }
  // "." and ".." and hidden files come too; a dangling link does not end the walk.
  EXPECT_EQ(names, (std::set<std::u16string>{u".", u"..", u".hidden", u"a.cfg", u"a?c", u"[x]", u"B.CFG",
                                             u"sub", u"link-to-dir", u"dangling", u"zz-after-links"}));
  EXPECT_EQ(directories, (std::set<std::u16string>{u".", u"..", u"sub", u"link-to-dir"}));
  EXPECT_FALSE(finder.FindNext());

  names.clear();
  for (bool more = finder.FindFirst(dir_.Wide("*.cfg")); more; more = finder.FindNext()) {
    names.insert(finder.FoundName());
  }
  EXPECT_EQ(names, std::set<std::u16string>{u"a.cfg"});  // case-sensitive

  // "?" and "[" are literal in a plain path; no enumeration follows.
  EXPECT_TRUE(finder.FindFirst(dir_.Wide("a?c")));
  EXPECT_EQ(finder.FoundName(), u"a?c");
  EXPECT_FALSE(finder.FindNext());
  EXPECT_TRUE(finder.FindFirst(dir_.Wide("[x]")));
  EXPECT_FALSE(finder.FindFirst(dir_.Wide("a?")));
  EXPECT_TRUE(finder.FindFirst(dir_.Wide("sub")));
  EXPECT_EQ(finder.FoundAttributes(), kFileAttributeDirectory);
  EXPECT_TRUE(finder.FindFirst(dir_.Wide("a.cfg")));
  EXPECT_EQ(finder.FoundAttributes(), 0u);
  EXPECT_FALSE(finder.FindFirst(dir_.Wide("missing")));
  EXPECT_FALSE(finder.FindFirst(dir_.Wide("missing/*")));
  EXPECT_TRUE(finder.FindFirst(dir_.Wide("link-to-dir")));
  EXPECT_EQ(finder.FoundAttributes(), kFileAttributeDirectory);
}

TEST_F(FileOpsTest, TempFilesArePrivateUniqueAndOnlyWhereAsked) {
  std::set<std::u16string> paths;
  for (int i = 0; i < 20; ++i) {
    std::u16string path;
    ASSERT_EQ(CreateTempFile(dir_.Wide(), u"odk", path), 0u);
    EXPECT_EQ(path.rfind(dir_.Wide() + u"/odk", 0), 0u);
    const std::string native = Utf16ToUtf8(path);
    EXPECT_EQ(ModeOf(native) & 0777, 0600u);
    EXPECT_EQ(ReadFile(native), "");
    paths.insert(path);
  }
  EXPECT_EQ(paths.size(), 20u);

  std::u16string path = u"unchanged";
  EXPECT_NE(CreateTempFile(dir_.Wide("missing"), u"odk", path), 0u);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(test::ListDir(dir_.Path()).size(), 20u);  // nothing was made anywhere else here
}

TEST_F(FileOpsTest, DirectoryTreesAreMadeLevelByLevel) {
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a/b/c/")), 0u);
  EXPECT_TRUE(S_ISDIR(ModeOf(dir_ / "a/b/c")));
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a/b/c")), 0u);  // existing: success
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a/b/d"), DirectoryAccess::Private), 0u);
  EXPECT_EQ(ModeOf(dir_ / "a/b/d") & 0777, 0700u);
  WriteFile(dir_ / "a/file", "");
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a/file/x")), kErrorPathNotFound);
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a/file")), kErrorPathNotFound);
  EXPECT_EQ(CreateDirectoryTree(u""), kErrorInvalidParameter);
}

TEST_F(FileOpsTest, ShellSpecialCharactersInPathsAreJustCharacters) {
  const std::string nasty = "q\"uo$(touch pwned)`id` \\back\nline $HOME 'x' ;&|*";
  const std::string dir = dir_ / nasty;
  ASSERT_EQ(CreateDirectoryTree(W(dir + "/" + nasty)), 0u);
  EXPECT_TRUE(S_ISDIR(ModeOf(dir + "/" + nasty)));
  std::u16string temp;
  ASSERT_EQ(CreateTempFile(W(dir), W("pre$`\""), temp), 0u);
  EXPECT_EQ(Utf16ToUtf8(temp).rfind(dir + "/pre$`\"", 0), 0u);
  WriteFile(dir + "/" + nasty + "/f", "payload");
  ASSERT_EQ(MoveFileTo(W(dir + "/" + nasty + "/f"), W(dir + "/moved " + nasty)), 0u);
  EXPECT_EQ(ReadFile(dir + "/moved " + nasty), "payload");
  EXPECT_EQ(RemoveFile(W(dir + "/moved " + nasty)), 0u);
  EXPECT_FALSE(Exists(dir + "/moved " + nasty));
  EXPECT_EQ(RemoveDirectoryTree(W(dir)), 0u);
  EXPECT_FALSE(Exists(dir));
  EXPECT_FALSE(Exists("pwned"));
  EXPECT_FALSE(Exists(dir_ / "pwned"));
}

TEST_F(FileOpsTest, MovesReplaceAndReportFailuresHonestly) {
  WriteFile(dir_ / "from", "new");
  WriteFile(dir_ / "to", "old");
  EXPECT_EQ(MoveFileTo(dir_.Wide("from"), dir_.Wide("to")), 0u);
  EXPECT_EQ(ReadFile(dir_ / "to"), "new");
  EXPECT_FALSE(Exists(dir_ / "from"));
  // Nothing to move: 2, or 3 when a component is not a directory.
  EXPECT_EQ(MoveFileTo(dir_.Wide("from"), dir_.Wide("x")), kErrorFileNotFound);
  EXPECT_EQ(MoveFileTo(dir_.Wide("to/below"), dir_.Wide("x")), kErrorPathNotFound);
  // A real failure is not success: a file cannot replace a directory.
  test::MakeDirs(dir_ / "d/inner");
  EXPECT_EQ(MoveFileTo(dir_.Wide("to"), dir_.Wide("d")), kErrorInvalidParameter);
  EXPECT_EQ(ReadFile(dir_ / "to"), "new");
}

TEST_F(FileOpsTest, MoveAcrossFileSystemsCopiesDataModeAndTimes) {
  const std::string from = dir_ / "from", to = dir_ / "to";
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  WriteFile(from, data);
  chmod(from.c_str(), 0640);
  const struct timespec times[2] = {{1000000000, 123456700}, {1500000000, 987654300}};
  ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
  WriteFile(to, "replaced");

  // rename says EXDEV, as it does between two file systems.
  EXPECT_EQ(ToolWithRules({"move", from, to}, "rename:1:18"), 0u);
  EXPECT_FALSE(Exists(from));
  EXPECT_EQ(ReadFile(to), data);
  EXPECT_EQ(ModeOf(to) & 0777, 0640u);
  EXPECT_EQ(MtimeOf(to).tv_sec, 1500000000);
  EXPECT_EQ(MtimeOf(to).tv_nsec, 987654300);
  EXPECT_EQ(test::ListDir(dir_.Path()), std::vector<std::string>{"to"});

  // Symbolic links are moved as links.
  ASSERT_EQ(symlink("target text", from.c_str()), 0);
  EXPECT_EQ(ToolWithRules({"move", from, dir_ / "link"}, "rename:1:18"), 0u);
  char buffer[64] = {};
  EXPECT_EQ(readlink((dir_ / "link").c_str(), buffer, sizeof buffer), 11);
  EXPECT_FALSE(Exists(from));
}

TEST_F(FileOpsTest, FailedCopyAcrossFileSystemsLeavesSourceAndTargetAlone) {
  const std::string from = dir_ / "from", to = dir_ / "to";
  WriteFile(from, std::string(3 << 20, 'n'));
  WriteFile(to, "old target");
  // Disk full halfway through the copy, then a failed flush.
  for (const char* rule : {"rename:1:18,write:2:28", "rename:1:18,fsync:1:5", "rename:1:18,read:2:5"}) {
    const ErrorCode code = ToolWithRules({"move", from, to}, rule);
    EXPECT_NE(code, 0u) << rule;
    EXPECT_EQ(ReadFile(from), std::string(3 << 20, 'n')) << rule;
    EXPECT_EQ(ReadFile(to), "old target") << rule;
    EXPECT_EQ(test::ListDir(dir_.Path()), (std::vector<std::string>{"from", "to"})) << rule;
  }
  EXPECT_EQ(ToolWithRules({"move", from, to}, "rename:1:18,write:1:28"), kErrorDiskFull);
}

TEST_F(FileOpsTest, RemovalSucceedsWhenThePathIsGoneAndNeverFollowsLinks) {
  EXPECT_EQ(RemoveFile(dir_.Wide("missing")), 0u);
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("missing")), 0u);
  test::MakeDirs(dir_ / "d");
  EXPECT_EQ(RemoveFile(dir_.Wide("d")), kErrorInvalidParameter);  // not a file: a failure
  EXPECT_TRUE(Exists(dir_ / "d"));

  // A tree with a link to precious data outside it.
  test::MakeDirs(dir_ / "precious");
  WriteFile(dir_ / "precious/keep", "keep");
  test::MakeDirs(dir_ / "tree/a/b");
  WriteFile(dir_ / "tree/a/b/f", "x");
  WriteFile(dir_ / "tree/.hidden", "x");
  ASSERT_EQ(symlink((dir_ / "precious").c_str(), (dir_ / "tree/a/link").c_str()), 0);
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("tree/")), 0u);
  EXPECT_FALSE(Exists(dir_ / "tree"));
  EXPECT_EQ(ReadFile(dir_ / "precious/keep"), "keep");

  // A link given directly is removed, not its target.
  ASSERT_EQ(symlink((dir_ / "precious").c_str(), (dir_ / "top-link").c_str()), 0);
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("top-link")), 0u);
  EXPECT_FALSE(Exists(dir_ / "top-link"));
  EXPECT_EQ(ReadFile(dir_ / "precious/keep"), "keep");

  // Failures are reported, and the rest of the tree is still removed.
  test::MakeDirs(dir_ / "t2/sub");
  WriteFile(dir_ / "t2/sub/a", "");
  EXPECT_EQ(ToolWithRules({"remove-tree", dir_ / "t2"}, "unlink:1:5"), kErrorReadFault);
  EXPECT_TRUE(Exists(dir_ / "t2"));
  // A refusal, a read-only medium and a failing device each keep their meaning.
  for (const auto& [error, code] : {std::pair{EACCES, kErrorAccessDenied}, std::pair{EPERM, kErrorAccessDenied},
                                    std::pair{EROFS, kErrorAccessDenied}, std::pair{EIO, kErrorReadFault},
                                    std::pair{EBUSY, kErrorInvalidParameter}}) {
    EXPECT_EQ(ToolWithRules({"remove-file", dir_ / "t2/sub/a"}, "unlink:1:" + std::to_string(error)), code) << error;
  }
  EXPECT_EQ(ToolWithRules({"remove-tree", dir_ / "t2"}, ""), 0u);
  EXPECT_FALSE(Exists(dir_ / "t2"));
}

TEST_F(FileOpsTest, SizesAndFreeSpace) {
  uint32_t size = 0;
  WriteFile(dir_ / "small", "12345");
  EXPECT_EQ(QueryFileSize(dir_.Wide("small"), size), 0u);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(QueryFileSize(dir_.Wide("missing"), size), kErrorFailure);
  // A sparse 5 GiB file is held at the 32-bit limit.
  const std::string big = dir_ / "big";
  WriteFile(big, "");
  ASSERT_EQ(truncate(big.c_str(), 5LL << 30), 0);
  EXPECT_EQ(QueryFileSize(W(big), size), 0u);
  EXPECT_EQ(size, 4294967295u);

  // Free space counts what this user may fill, not root's reserve.
  uint64_t bytes = 0;
  EXPECT_EQ(QueryFreeSpace(bytes), 0u);
  struct statvfs fs;
  ASSERT_EQ(statvfs(std::getenv("TMPDIR"), &fs), 0);
  EXPECT_GT(bytes, 0u);
  EXPECT_LE(bytes, static_cast<uint64_t>(fs.f_bfree) * fs.f_frsize);
  EXPECT_EQ(ToolWithRules({"free", "-"}, "statvfs:1:5"), kErrorReadFault);
  EXPECT_EQ(ToolWithRules({"free", "-"}, "statvfs:1:2"), kErrorFileNotFound);
}

}  // namespace
}  // namespace setup
