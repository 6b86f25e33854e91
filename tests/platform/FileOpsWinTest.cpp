// The Windows file layer against the system itself: the codes a caller sees
// (2, 3, 5, 32, 183 and 6), handles, times to 100 ns, directory trees,
// enumeration, moves and removal, with names in Cyrillic and CJK. The files
// are set up through plain Win32 calls, never through the layer under test.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <set>
#include <string>

#include "FileCallFaults.h"
#include "TestSupport.h"
#include "WinFiles.h"
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

std::u16string U(const std::string& utf8) { return Utf8ToUtf16(utf8); }
std::wstring Wide(const std::string& utf8) { return test::WidePath(utf8); }

using test::DriveDScratch;
using test::HeldOpen;
using test::IsReadOnly;
using test::SetReadOnly;

class FileOpsWinTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
};

// ------------------------------------------------------------ error codes

TEST_F(FileOpsWinTest, MissingFilesAndFoldersGiveTwoAndThree) {
  FileHandle h = 0;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("missing.cfg"), kGenericRead, 0, kOpenExisting, h), kErrorFileNotFound);
  EXPECT_EQ(h, kInvalidFileHandle);
  EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);
  EXPECT_EQ(OpenFileHandle(dir_.Wide("no folder/x.cfg"), kGenericRead, 0, kOpenExisting, h), kErrorPathNotFound);
  EXPECT_EQ(GetLastErrorCode(), kErrorPathNotFound);
  // Nothing to move: 2, or 3 when the folder is missing too.
  EXPECT_EQ(MoveFileTo(dir_.Wide("missing.cfg"), dir_.Wide("x")), kErrorFileNotFound);
  EXPECT_EQ(MoveFileTo(dir_.Wide("no folder/x.cfg"), dir_.Wide("x")), kErrorPathNotFound);
  PathInfo info;
  EXPECT_EQ(QueryPathInfo(dir_.Wide("missing.cfg"), info), kErrorFileNotFound);
  EXPECT_EQ(QueryPathInfo(dir_.Wide("no folder/x.cfg"), info), kErrorPathNotFound);
  uint32_t size = 0;
  EXPECT_EQ(QueryFileSize(dir_.Wide("missing.cfg"), size), kErrorFileNotFound);

  // A successful call clears the last error again.
  WriteFile(dir_ / "plain", "x");
  ScopedFileHandle ok;
  ASSERT_EQ(OpenFileHandle(dir_.Wide("plain"), kGenericRead, 0, kOpenExisting, *ok.Out()), 0u);
  EXPECT_EQ(GetLastErrorCode(), 0u);
}

TEST_F(FileOpsWinTest, AccessDeniedIsFive) {
  test::MakeDirs(dir_ / "folder");
  WriteFile(dir_ / "plain", "x");
  // A folder is no file to write, to delete as a file, or to make a file in.
  FileHandle h = 0;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("folder"), kGenericWrite, 0, kOpenExisting, h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastErrorCode(), static_cast<ErrorCode>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(h, kInvalidFileHandle);
  EXPECT_EQ(OpenFileHandle(dir_.Wide("folder"), kGenericWrite, 0, kCreateAlways, h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RemoveFile(dir_.Wide("folder")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastErrorCode(), static_cast<ErrorCode>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(test::IsDirectory(dir_ / "folder"));
  EXPECT_EQ(test::ListDir(dir_ / "folder"), std::vector<std::string>{});
}

TEST_F(FileOpsWinTest, AReadOnlyFileDoesNotOpenForWriting) {
  if (!test::ReadOnlyFilesRefuseWriting(dir_.Path())) {
    GTEST_SKIP() << "this system opens read-only files for writing (Wine run as root)";
  }
  WriteFile(dir_ / "locked.cfg", "keep");
  ASSERT_TRUE(SetReadOnly(dir_ / "locked.cfg"));
  ScopedFileHandle h;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("locked.cfg"), kGenericWrite, 0, kOpenExisting, *h.Out()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastErrorCode(), static_cast<ErrorCode>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenFileHandle(dir_.Wide("locked.cfg"), kGenericWrite, 0, kCreateAlways, *h.Out()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(dir_ / "locked.cfg"), "keep");
  EXPECT_TRUE(IsReadOnly(dir_ / "locked.cfg"));
}

TEST_F(FileOpsWinTest, AFileHeldOpenElsewhereGivesThirtyTwoAndStaysAsItWas) {
  WriteFile(dir_ / "held.cfg", "held");
  WriteFile(dir_ / "other.cfg", "other");
  HeldOpen held(dir_ / "held.cfg");
  ASSERT_TRUE(held.Valid());
  FileHandle h = 0;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("held.cfg"), kGenericRead, kFileShareRead, kOpenExisting, h),
            ERROR_SHARING_VIOLATION);
  EXPECT_EQ(GetLastErrorCode(), static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(MoveFileTo(dir_.Wide("held.cfg"), dir_.Wide("moved.cfg")), ERROR_SHARING_VIOLATION);
  EXPECT_NE(MoveFileTo(dir_.Wide("other.cfg"), dir_.Wide("held.cfg")), 0u);
  EXPECT_EQ(RemoveFile(dir_.Wide("held.cfg")), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(test::ListDir(dir_.Path()), (std::vector<std::string>{"held.cfg", "other.cfg"}));
  EXPECT_EQ(ReadFile(dir_ / "other.cfg"), "other");

  // Looking at it needs no access to its data, so that still works.
  PathInfo info;
  EXPECT_EQ(QueryPathInfo(dir_.Wide("held.cfg"), info), 0u);
  EXPECT_FALSE(info.directory);
  EXPECT_EQ(info.lastWriteTime, test::WriteTimeOf(dir_ / "held.cfg"));
}

TEST_F(FileOpsWinTest, SomethingAlreadyThereIsOneEightyThree) {
  ASSERT_EQ(CreateDirectoryTree(dir_.Wide("a/b/c")), 0u);
  EXPECT_TRUE(test::IsDirectory(dir_ / "a/b/c"));
  // The whole path already there: 183, with and without a trailing separator.
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a/b/c")), kErrorAlreadyExists);
  EXPECT_EQ(GetLastErrorCode(), kErrorAlreadyExists);
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide("a\\b\\c\\")), kErrorAlreadyExists);
  EXPECT_EQ(CreateDirectoryTree(dir_.Wide()), kErrorAlreadyExists);
  EXPECT_EQ(CreateNewDirectory(dir_.Wide("a/b"), DirectoryAccess::Private), kErrorAlreadyExists);
  WriteFile(dir_ / "a/file", "x");
  EXPECT_EQ(CreateNewDirectory(dir_.Wide("a/file"), DirectoryAccess::Shared), kErrorAlreadyExists);
  EXPECT_EQ(ReadFile(dir_ / "a/file"), "x");
  // A file in the way of a level is no success.
  EXPECT_NE(CreateDirectoryTree(dir_.Wide("a/file/below")), 0u);
  EXPECT_NE(CreateDirectoryTree(dir_.Wide("a/file")), 0u);
  EXPECT_NE(CreateDirectoryTree(dir_.Wide("a/file")), kErrorAlreadyExists);
  EXPECT_EQ(CreateDirectoryTree(u""), kErrorInvalidParameter);
}

TEST_F(FileOpsWinTest, TheInvalidHandleIsSix) {
  uint32_t n = 0;
  char byte = 0;
  EXPECT_EQ(WriteToFile(kInvalidFileHandle, &byte, 1, n), kErrorInvalidHandle);
  EXPECT_EQ(ReadFromFile(kInvalidFileHandle, &byte, 1, n), kErrorInvalidHandle);
  EXPECT_EQ(TruncateFileHere(kInvalidFileHandle), kErrorInvalidHandle);
  EXPECT_EQ(GetFileTimes(kInvalidFileHandle, nullptr, nullptr, nullptr), kErrorInvalidHandle);
  const FileTime when = 133000000001234567ULL;
  EXPECT_EQ(SetFileTimes(kInvalidFileHandle, nullptr, nullptr, &when), kErrorInvalidHandle);
  EXPECT_EQ(FlushFileHandle(kInvalidFileHandle), kErrorInvalidHandle);
  EXPECT_EQ(SeekFile(kInvalidFileHandle, 0, kSeekBegin), -1);
  EXPECT_EQ(GetLastErrorCode(), kErrorInvalidHandle);
}

// The hook the engine's fault walk relies on: it must fail exactly the call
// it is told to, with the code it is given, and the layer must pass that
// code on.
TEST_F(FileOpsWinTest, TheFileCallHookFailsTheChosenCallWithTheChosenCode) {
  WriteFile(dir_ / "a.cfg", "a");
  {
    test::FileCallFaults faults(2, ERROR_LOCK_VIOLATION, "CreateFileW");
    ScopedFileHandle first, second;
    EXPECT_EQ(OpenFileHandle(dir_.Wide("a.cfg"), kGenericRead, kFileShareRead, kOpenExisting, *first.Out()), 0u);
    EXPECT_EQ(OpenFileHandle(dir_.Wide("a.cfg"), kGenericRead, kFileShareRead, kOpenExisting, *second.Out()),
              static_cast<ErrorCode>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(GetLastErrorCode(), static_cast<ErrorCode>(ERROR_LOCK_VIOLATION));
    EXPECT_FALSE(second.Valid());
    EXPECT_EQ(faults.Calls(), 2);
    EXPECT_EQ(faults.Failed(), "CreateFileW");
  }
  // Gone with the object: the same call works again.
  ScopedFileHandle again;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("a.cfg"), kGenericRead, kFileShareRead, kOpenExisting, *again.Out()), 0u);
  {
    test::FileCallFaults faults(1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(MoveFileTo(dir_.Wide("missing"), dir_.Wide("b.cfg")), static_cast<ErrorCode>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(faults.Failed(), "MoveFileExW");
  }
}

// ------------------------------------------------------- handles and times

TEST_F(FileOpsWinTest, HandlesReadWriteSeekAndTruncate) {
  const std::string path = dir_ / "data.bin";
  WriteFile(path, "0123456789");
  ScopedFileHandle h;
  // CREATE_ALWAYS empties an existing file on Windows.
  ASSERT_EQ(OpenFileHandle(U(path), kGenericRead | kGenericWrite, 0, kCreateAlways, *h.Out()), 0u);
  EXPECT_EQ(GetLastErrorCode(), 0u);  // not the 183 CreateFileW leaves for an existing file
  uint32_t n = 0;
  EXPECT_EQ(WriteToFile(h.Get(), "abcdef", 6, n), 0u);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(SeekFile(h.Get(), 3, kSeekBegin), 3);
  EXPECT_EQ(TruncateFileHere(h.Get()), 0u);
  EXPECT_EQ(SeekFile(h.Get(), 0, kSeekEnd), 3);
  EXPECT_EQ(SeekFile(h.Get(), -2, kSeekCurrent), 1);
  char buffer[16] = {};
  EXPECT_EQ(ReadFromFile(h.Get(), buffer, sizeof buffer, n), 0u);
  EXPECT_EQ(std::string(buffer, n), "bc");
  EXPECT_EQ(FlushFileHandle(h.Get()), 0u);
  h.Reset();
  EXPECT_EQ(ReadFile(path), "abc");

  // OPEN_EXISTING does not create; CREATE_NEW refuses an existing file.
  ScopedFileHandle t;
  EXPECT_EQ(OpenFileHandle(dir_.Wide("none"), kGenericWrite, 0, kOpenExisting, *t.Out()), kErrorFileNotFound);
  EXPECT_EQ(OpenFileHandle(U(path), kGenericWrite, 0, kCreateNew, *t.Out()), static_cast<ErrorCode>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(Exists(dir_ / "none"));
}

TEST_F(FileOpsWinTest, FileTimesKeepHundredNanosecondsBothWays) {
  const std::string path = dir_ / "timed";
  WriteFile(path, "x");
  const FileTime when = 133000000001234567ULL;  // 2022, with 7 digits of fraction
  {
    ScopedFileHandle h;
    ASSERT_EQ(OpenFileHandle(U(path), kGenericWrite, 0, kOpenExisting, *h.Out()), 0u);
    EXPECT_EQ(SetFileTimes(h.Get(), nullptr, nullptr, &when), 0u);
    FileTime write = 0;
    EXPECT_EQ(GetFileTimes(h.Get(), nullptr, nullptr, &write), 0u);
    EXPECT_EQ(write, when);
    EXPECT_EQ(GetFileTimes(h.Get(), nullptr, nullptr, nullptr), 0u);
  }
  // What the system itself says, and what it said is read back the same.
  EXPECT_EQ(test::WriteTimeOf(path), when);
  ASSERT_TRUE(test::SetWriteTime(path, when + 1));
  ScopedFileHandle h;
  ASSERT_EQ(OpenFileHandle(U(path), kGenericRead, kFileShareRead, kOpenExisting, *h.Out()), 0u);
  FileTime write = 0;
  EXPECT_EQ(GetFileTimes(h.Get(), nullptr, nullptr, &write), 0u);
  EXPECT_EQ(write, when + 1);
  PathInfo info;
  EXPECT_EQ(QueryPathInfo(U(path), info), 0u);
  EXPECT_EQ(info.lastWriteTime, when + 1);
}

// -------------------------------------------------- the file system itself

TEST_F(FileOpsWinTest, TheTemporaryDirectoryIsTmpWithOneSeparator) {
  std::u16string temp;
  {
    test::ScopedTemporaryDirectory scope(dir_.Path());
    EXPECT_EQ(GetTempDirectory(temp), 0u);
    EXPECT_EQ(temp, dir_.Wide() + u"\\");
  }
  {
    test::ScopedTemporaryDirectory scope(dir_.Path() + "\\");
    EXPECT_EQ(GetTempDirectory(temp), 0u);
    EXPECT_EQ(temp, dir_.Wide() + u"\\");
  }
  // TestMain's own directory is back.
  EXPECT_EQ(GetTempDirectory(temp), 0u);
  EXPECT_EQ(temp, U(test::TemporaryDirectory()) + u"\\");
}

TEST_F(FileOpsWinTest, TempFilesAreNewUniqueAndOnlyWhereAsked) {
  std::set<std::u16string> paths;
  for (int i = 0; i < 20; ++i) {
    std::u16string path;
    ASSERT_EQ(CreateTempFile(dir_.Wide(), u"Orvik", path), 0u);
    EXPECT_EQ(path.rfind(dir_.Wide() + u"\\Orvik", 0), 0u) << Utf16ToUtf8(path);
    EXPECT_EQ(ReadFile(Utf16ToUtf8(path)), "");
    paths.insert(path);
  }
  EXPECT_EQ(paths.size(), 20u);
  std::u16string path = u"unchanged";
  EXPECT_EQ(CreateTempFile(dir_.Wide("missing"), u"odk", path), kErrorPathNotFound);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(test::ListDir(dir_.Path()).size(), 20u);
}

TEST_F(FileOpsWinTest, CyrillicAndCjkNamesGoThroughEveryOperation) {
  const std::string tree = dir_ / "Шаблоны/模板";
  ASSERT_EQ(CreateDirectoryTree(U(tree)), 0u);
  EXPECT_TRUE(test::IsDirectory(tree));
  WriteFile(tree + "\\отчёт.xml", "<отчёт/>");
  ASSERT_EQ(MoveFileTo(U(tree + "\\отчёт.xml"), U(tree + "\\報告.xml")), 0u);
  EXPECT_EQ(ReadFile(tree + "\\報告.xml"), "<отчёт/>");
  FileFinder finder;
  std::set<std::u16string> names;
  for (bool more = finder.FindFirst(U(tree + "\\*")); more; more = finder.FindNext()) names.insert(finder.FoundName());
  EXPECT_EQ(names, (std::set<std::u16string>{u".", u"..", u"報告.xml"}));
  std::u16string temp;
  ASSERT_EQ(CreateTempFile(U(tree), u"Жук", temp), 0u);
  EXPECT_TRUE(Exists(Utf16ToUtf8(temp)));
  EXPECT_EQ(RemoveFile(temp), 0u);
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("Шаблоны")), 0u);
  EXPECT_FALSE(Exists(dir_ / "Шаблоны"));
}

TEST_F(FileOpsWinTest, FinderEnumeratesWithoutRegardToCaseAndTestsPlainPaths) {
  WriteFile(dir_ / "a.cfg", "");
  WriteFile(dir_ / "B.CFG", "");
  WriteFile(dir_ / "c.txt", "");
  test::MakeDirs(dir_ / "sub");
  FileFinder finder;
  std::set<std::u16string> names, directories;
  for (bool more = finder.FindFirst(dir_.Wide("*")); more; more = finder.FindNext()) {
    names.insert(finder.FoundName());
    if (finder.FoundAttributes() == kFileAttributeDirectory) directories.insert(finder.FoundName());
    EXPECT_FALSE(finder.FoundIsSymbolicLink()) << Utf16ToUtf8(finder.FoundName());
  }
  EXPECT_EQ(names, (std::set<std::u16string>{u".", u"..", u"a.cfg", u"B.CFG", u"c.txt", u"sub"}));
  EXPECT_EQ(directories, (std::set<std::u16string>{u".", u"..", u"sub"}));
  EXPECT_FALSE(finder.FindNext());

  names.clear();
  for (bool more = finder.FindFirst(dir_.Wide("*.cfg")); more; more = finder.FindNext()) names.insert(finder.FoundName());
  EXPECT_EQ(names, (std::set<std::u16string>{u"a.cfg", u"B.CFG"}));

  EXPECT_TRUE(finder.FindFirst(dir_.Wide("sub")));
  EXPECT_EQ(finder.FoundAttributes(), kFileAttributeDirectory);
  EXPECT_FALSE(finder.FindNext());
  EXPECT_TRUE(finder.FindFirst(dir_.Wide("A.CFG")));
  EXPECT_EQ(finder.FoundAttributes(), 0u);
  EXPECT_FALSE(finder.FindFirst(dir_.Wide("missing")));
  EXPECT_FALSE(finder.FindFirst(dir_.Wide("missing\\*")));
  EXPECT_TRUE(finder.FindFirst(u"C:\\"));  // a drive's root is found too
}

TEST_F(FileOpsWinTest, MovesReplaceTheTargetAndKeepTimeAndAttributes) {
  WriteFile(dir_ / "from", "new");
  WriteFile(dir_ / "to", "old");
  ASSERT_TRUE(test::SetWriteTime(dir_ / "from", 130000000000000001ULL));
  ASSERT_TRUE(SetReadOnly(dir_ / "from"));
  EXPECT_EQ(MoveFileTo(dir_.Wide("from"), dir_.Wide("to")), 0u);
  EXPECT_EQ(ReadFile(dir_ / "to"), "new");
  EXPECT_FALSE(Exists(dir_ / "from"));
  EXPECT_EQ(test::WriteTimeOf(dir_ / "to"), 130000000000000001ULL);
  EXPECT_TRUE(IsReadOnly(dir_ / "to"));
  // A file cannot replace a folder; nothing changes.
  test::MakeDirs(dir_ / "d/inner");
  EXPECT_NE(MoveFileTo(dir_.Wide("to"), dir_.Wide("d")), 0u);
  EXPECT_EQ(ReadFile(dir_ / "to"), "new");
  EXPECT_TRUE(test::IsDirectory(dir_ / "d/inner"));
}

// Between two drive letters a move is a copy when the system will not rename
// (different volumes); either way the file arrives whole, with its time and
// its read-only mark, and the source is gone.
TEST_F(FileOpsWinTest, MovesBetweenDrivesArriveWhole) {
  DriveDScratch drive;
  if (drive.Path().empty()) GTEST_SKIP() << "no drive D: to move to (scripts/wine-env maps one)";
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  WriteFile(dir_ / "big", data);
  ASSERT_TRUE(test::SetWriteTime(dir_ / "big", 131000000009999999ULL));
  ASSERT_TRUE(SetReadOnly(dir_ / "big"));
  WriteFile(drive.Path() + "\\moved", "replaced");
  ASSERT_EQ(MoveFileTo(dir_.Wide("big"), U(drive.Path() + "\\moved")), 0u);
  EXPECT_FALSE(Exists(dir_ / "big"));
  EXPECT_EQ(ReadFile(drive.Path() + "\\moved"), data);
  EXPECT_EQ(test::WriteTimeOf(drive.Path() + "\\moved"), 131000000009999999ULL);
  EXPECT_TRUE(IsReadOnly(drive.Path() + "\\moved"));
  EXPECT_EQ(test::ListDir(drive.Path()), std::vector<std::string>{"moved"});
}

TEST_F(FileOpsWinTest, RemovalTakesReadOnlyFilesAndSucceedsForWhatIsGone) {
  EXPECT_EQ(RemoveFile(dir_.Wide("missing")), 0u);
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("missing")), 0u);
  WriteFile(dir_ / "ro.cfg", "x");
  ASSERT_TRUE(SetReadOnly(dir_ / "ro.cfg"));
  EXPECT_EQ(RemoveFile(dir_.Wide("ro.cfg")), 0u);
  EXPECT_FALSE(Exists(dir_ / "ro.cfg"));

  test::MakeDirs(dir_ / "tree/a/b");
  WriteFile(dir_ / "tree/a/b/f", "x");
  WriteFile(dir_ / "tree/a/ro", "x");
  ASSERT_TRUE(SetReadOnly(dir_ / "tree/a/ro"));
  WriteFile(dir_ / "tree/top", "x");
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("tree\\")), 0u);
  EXPECT_FALSE(Exists(dir_ / "tree"));

  // A file held open stays, and says why; the rest of the tree still goes.
  test::MakeDirs(dir_ / "t2/sub");
  WriteFile(dir_ / "t2/sub/held", "x");
  WriteFile(dir_ / "t2/other", "x");
  {
    HeldOpen held(dir_ / "t2/sub/held");
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("t2")), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Exists(dir_ / "t2/sub/held"));
    EXPECT_FALSE(Exists(dir_ / "t2/other"));
  }
  EXPECT_EQ(RemoveDirectoryTree(dir_.Wide("t2")), 0u);
  EXPECT_FALSE(Exists(dir_ / "t2"));
}

TEST_F(FileOpsWinTest, SizesAndFreeSpace) {
  uint32_t size = 0;
  WriteFile(dir_ / "small", "12345");
  EXPECT_EQ(QueryFileSize(dir_.Wide("small"), size), 0u);
  EXPECT_EQ(size, 5u);
  {
    HeldOpen held(dir_ / "small");
    ASSERT_TRUE(held.Valid());
    size = 0;
    EXPECT_EQ(QueryFileSize(dir_.Wide("small"), size), 0u);
    EXPECT_EQ(size, 5u);
  }
  uint64_t bytes = 0;
  EXPECT_EQ(QueryFreeSpace(bytes), 0u);
  ULARGE_INTEGER available{}, total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(Wide(test::TemporaryDirectory() + "\\").c_str(), &available, &total, nullptr));
  EXPECT_GT(bytes, 0u);
  EXPECT_LE(bytes, total.QuadPart);
}

// ------------------------------------------------- application-data folders

std::u16string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::u16string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) {
    for (const wchar_t* p = path; *p; ++p) folder.push_back(static_cast<char16_t>(*p));
  }
  CoTaskMemFree(path);
  return folder;
}

TEST(ApplicationDataWin, FoldersAreTheShellsKnownFoldersWithASeparator) {
  const std::u16string roaming = KnownFolder(FOLDERID_RoamingAppData);
  const std::u16string common = KnownFolder(FOLDERID_ProgramData);
  ASSERT_FALSE(roaming.empty());
  ASSERT_FALSE(common.empty());
  EXPECT_EQ(ApplicationDataFolder(false), roaming + u"\\");
  EXPECT_EQ(ApplicationDataFolder(true), common + u"\\");
  const StarterLocations places = StarterFileLocations();
  EXPECT_EQ(places.userFile, roaming + u"\\Orvik\\OrvikStart\\orvikstart.cfg");
  EXPECT_EQ(places.allUsersFile, common + u"\\Orvik\\OrvikStart\\orvikstart.cfg");
  EXPECT_EQ(places.alternateFile, roaming + u"\\Orvik\\OrvikStartt\\orvikstart.cfg");
  EXPECT_EQ(places.defaultTemplateDirectory, roaming + u"\\Orvik\\orvikv8\\tmplts\\");
}

TEST(ApplicationDataWin, NetworkPathsAreTheUncOnes) {
  EXPECT_TRUE(IsNetworkPath(u"\\\\server\\share\\T"));
  EXPECT_TRUE(IsNetworkPath(u"//server/share/T"));
  EXPECT_FALSE(IsNetworkPath(u"C:\\T"));
  EXPECT_FALSE(IsNetworkPath(u"templates"));
  EXPECT_FALSE(IsNetworkPath(u""));
}

}  // namespace
}  // namespace setup
