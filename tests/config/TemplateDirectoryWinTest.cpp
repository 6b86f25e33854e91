// The template directory proposal and its write-back on Windows, with the
// starter files where the starter program keeps them: in the roaming and the
// common application-data folders.
//
// Those folders are the shell's known folders, which follow neither the
// environment nor anything else a test could set for its own process (under
// Wine they are the prefix's, inside the build tree). So each test moves any
// Orvik folder found there aside, works with the real places, removes what it
// made and puts the saved folder back; ctest runs these tests one at a time
// (RESOURCE_LOCK in CMakeLists.txt).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "ConfigTestUtil.h"
#include "WinFiles.h"
#include "core/TemplateDirectory.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

using Lines = std::vector<std::string>;

std::string U8(const std::u16string& text) { return Utf16ToUtf8(text); }

std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::u16string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) {
    for (const wchar_t* p = path; *p; ++p) folder.push_back(static_cast<char16_t>(*p));
  }
  CoTaskMemFree(path);
  return U8(folder);
}

std::string Locations(const Lines& directories) {
  std::string text;
  for (const auto& d : directories) text += "ConfigurationTemplatesLocation=" + d + "\r\n";
  return text;
}

Lines ListOf(const TemplateDirectoryState& state) {
  Lines lines;
  for (const auto& d : state.starterDirectories) lines.push_back(U8(d));
  return lines;
}

// Moves `folder` aside (to a sibling, so it stays on its volume) for the
// object's lifetime; what stands at `folder` at the end is removed and the
// saved folder comes back.
class FolderSetAside {
 public:
  explicit FolderSetAside(std::string folder) : folder_(std::move(folder)), saved_(folder_ + ".setup-test-saved") {}
  // False, with the reason, when the folder cannot be set aside safely.
  bool SetAside(std::string& why) {
    if (Exists(saved_)) {
      why = saved_ + " is left from an earlier run; put it back by hand";
      return false;
    }
    if (Exists(folder_) && !MoveFileW(WidePath(folder_).c_str(), WidePath(saved_).c_str())) {
      why = "cannot move " + folder_ + " aside (" + std::to_string(GetLastError()) + ")";
      return false;
    }
    active_ = true;
    return true;
  }
  ~FolderSetAside() {
    if (!active_) return;
    RemoveTree(folder_);
    if (Exists(saved_)) MoveFileW(WidePath(saved_).c_str(), WidePath(folder_).c_str());
  }
  FolderSetAside(const FolderSetAside&) = delete;
  FolderSetAside& operator=(const FolderSetAside&) = delete;

 private:
  std::string folder_, saved_;
  bool active_ = false;
};

class TemplateDirectoryWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    roaming_ = KnownFolder(FOLDERID_RoamingAppData);
    common_ = KnownFolder(FOLDERID_ProgramData);
    ASSERT_FALSE(roaming_.empty());
    ASSERT_FALSE(common_.empty());
    for (const std::string& base : {roaming_, common_}) {
      setAside_.push_back(std::make_unique<FolderSetAside>(base + "\\Orvik"));
      std::string why;
      ASSERT_TRUE(setAside_.back()->SetAside(why)) << why;
    }
  }

  TemplateDirectoryState Locate() {
    TemplateDirectoryState state;
    LocateTemplateDirectory(state);
    return state;
  }
  std::string UserFile() const { return roaming_ + "\\Orvik\\OrvikStart\\orvikstart.cfg"; }
  std::string AllUsersFile() const { return common_ + "\\Orvik\\OrvikStart\\orvikstart.cfg"; }
  std::string AlternateFile() const { return roaming_ + "\\Orvik\\OrvikStartt\\orvikstart.cfg"; }
  static void Put(const std::string& path, const std::string& bytes) {
    MakeDirs(path.substr(0, path.rfind('\\')));
    WriteFile(path, bytes);
  }
  // A directory of the scratch tree, made.
  std::string Dir(const std::string& name) {
    const std::string path = scratch_ / name;
    MakeDirs(path);
    return path;
  }

  ScratchDir scratch_;
  std::string roaming_, common_;
  std::vector<std::unique_ptr<FolderSetAside>> setAside_;
};

TEST_F(TemplateDirectoryWinTest, WithoutStarterFilesTheRoamingDefaultIsProposedAndTheUserFileMade) {
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), roaming_ + "\\Orvik\\orvikv8\\tmplts\\");
  EXPECT_TRUE(state.starterDirectories.empty());
  EXPECT_FALSE(state.alternateFilePresent);
  EXPECT_FALSE(state.listFromAlternateFile);
  EXPECT_FALSE(Exists(roaming_ + "\\Orvik"));  // looking writes nothing
  EXPECT_FALSE(Exists(common_ + "\\Orvik"));

  EXPECT_EQ(RecordInstalledDirectory(state, u"E:\\New\\"), 0u);
  EXPECT_EQ(ReadFile(UserFile()), Utf16LE(u"ConfigurationTemplatesLocation=E:\\New\r\n"));
  EXPECT_FALSE(Exists(AllUsersFile()));
  EXPECT_FALSE(Exists(AlternateFile()));
}

TEST_F(TemplateDirectoryWinTest, TheFirstListedDirectoryThatTakesFilesIsProposedWithBackslashes) {
  const std::string t = Dir("T"), u = Dir("U");
  std::string slashed = t;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  Put(UserFile(), Locations({scratch_ / "missing", "\\\\server\\share\\T", "http://example.com/T", slashed, u}));
  const TemplateDirectoryState state = Locate();
  // A network place is never proposed, however it is listed.
  EXPECT_EQ(U8(state.templateDirectory), t);
  EXPECT_EQ(ListOf(state), (Lines{scratch_ / "missing", "\\\\server\\share\\T", "http:\\\\example.com\\T", t, u}));
  EXPECT_EQ(ListDir(t), Lines{});  // the probe is gone again
  EXPECT_EQ(ListDir(scratch_.Path()), (Lines{"T", "U"}));
}

// D:/T as a user may type it is proposed as D:\T; scripts/wine-env maps D: to
// a scratch directory, where the test makes T for itself.
TEST_F(TemplateDirectoryWinTest, DriveLetterPathsWithSlashesAreProposedWithBackslashes) {
  if (GetDriveTypeW(L"D:\\") != DRIVE_FIXED) GTEST_SKIP() << "no drive D: (scripts/wine-env maps one)";
  const bool made = !Exists("D:\\T");
  if (made) {
    ASSERT_TRUE(CreateDirectoryW(L"D:\\T", nullptr));
  }
  Put(UserFile(), Locations({"C:\\missing-setup-test-directory", "D:/T"}));
  const TemplateDirectoryState state = Locate();
  const Lines entries = ListDir("D:\\T");
  if (made) RemoveDirectoryW(L"D:\\T");
  EXPECT_EQ(U8(state.templateDirectory), "D:\\T");
  EXPECT_EQ(ListOf(state), (Lines{"C:\\missing-setup-test-directory", "D:\\T"}));
  EXPECT_EQ(entries, Lines{});
}

TEST_F(TemplateDirectoryWinTest, ADirectoryListedTwiceIsKeptOnceAsFirstWritten) {
  Put(UserFile(), Locations({"D:\\T", "D:/T/"}));
  Put(AllUsersFile(), Locations({"d:\\t\\", "E:\\B"}) + "configurationtemplateslocation=e:\\b\\\r\n");
  EXPECT_EQ(ListOf(Locate()), (Lines{"D:\\T", "E:\\B"}));
}

TEST_F(TemplateDirectoryWinTest, OnlyTheAlternateFileListingADirectoryIsRewritten) {
  const std::string t = Dir("T");
  Put(AlternateFile(), "Other=1\r\n" + Locations({t}));
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(U8(state.templateDirectory), t);
  EXPECT_TRUE(state.alternateFilePresent);
  EXPECT_TRUE(state.listFromAlternateFile);

  EXPECT_EQ(RecordInstalledDirectory(state, u"E:\\New\\"), 0u);
  EXPECT_EQ(ReadFile(AlternateFile()), "Other=1\r\n" + Locations({"E:\\New", t}));  // still ANSI
  EXPECT_FALSE(Exists(UserFile()));
}

TEST_F(TemplateDirectoryWinTest, UserAndAlternateFilesBothReceiveTheListAndAllUsersIsOnlyRead) {
  const std::string allUsers = Locations({"G:\\Shared"}) + "Shared=1\r\n";
  Put(UserFile(), Utf16LE(Utf8ToUtf16(Locations({"D:\\Шаблоны"}))));
  Put(AllUsersFile(), allUsers);
  Put(AlternateFile(), Locations({"A:\\Alt"}) + "Keep=1\r\n");
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(ListOf(state), (Lines{"D:\\Шаблоны", "G:\\Shared"}));
  EXPECT_TRUE(state.alternateFilePresent);
  EXPECT_FALSE(state.listFromAlternateFile);

  EXPECT_EQ(RecordInstalledDirectory(state, u"E:\\模板\\"), 0u);
  const std::string list = Locations({"E:\\模板", "D:\\Шаблоны", "G:\\Shared"});
  EXPECT_EQ(ReadFile(UserFile()), Utf16LE(Utf8ToUtf16(list)));
  // The alternate file had no mark, but what it now holds cannot be said in
  // the ANSI code page: rather than stand-ins for the letters, it becomes
  // UTF-16 with a mark, every value whole.
  EXPECT_EQ(ReadFile(AlternateFile()), Utf16LE(Utf8ToUtf16(list + "Keep=1\r\n")));
  StarterConfiguration alternate;
  EXPECT_EQ(LoadStarterFile(Utf8ToUtf16(AlternateFile()), alternate), StarterRead::Whole);
  EXPECT_EQ(alternate.ValuesOf(kTemplatesLocationKey),
            (std::vector<std::u16string>{u"E:\\模板", u"D:\\Шаблоны", u"G:\\Shared"}));
  EXPECT_EQ(alternate.ValuesOf(u"Keep"), std::vector<std::u16string>{u"1"});
  EXPECT_EQ(ReadFile(AllUsersFile()), allUsers);
}

TEST_F(TemplateDirectoryWinTest, TheInstalledDirectoryGoesFirstAndOtherLinesStay) {
  const std::string before = "First=1\r\nconfigurationTemplatesLocation=D:\\T\r\n\r\nLast=2";
  Put(UserFile(), before);
  TemplateDirectoryState state = Locate();
  EXPECT_EQ(RecordInstalledDirectory(state, u"E:\\New\\"), 0u);
  EXPECT_EQ(ReadFile(UserFile()),
            "First=1\r\nconfigurationTemplatesLocation=E:\\New\r\nconfigurationTemplatesLocation=D:\\T\r\nLast=2\r\n");

  Put(UserFile(), before);
  state = Locate();
  EXPECT_EQ(RecordInstalledDirectory(state, u"D:\\T\\"), 0u);
  EXPECT_EQ(ReadFile(UserFile()), "First=1\r\nconfigurationTemplatesLocation=D:\\T\r\nLast=2\r\n");
  EXPECT_EQ(ListDir(roaming_ + "\\Orvik\\OrvikStart"), Lines{"orvikstart.cfg"});
}

// A user file another program holds open cannot be rewritten: the user is not
// told, the file stays as it was, and the alternate file is left alone too.
TEST_F(TemplateDirectoryWinTest, AUserFileHeldOpenIsLeftAloneAndSoIsTheAlternate) {
  const std::string user = Locations({"D:\\U"}), alternate = "Keep=1\r\n";
  Put(UserFile(), user);
  Put(AlternateFile(), alternate);
  TemplateDirectoryState state = Locate();
  ErrorCode code = 0;
  {
    HeldOpen held(UserFile());
    ASSERT_TRUE(held.Valid());
    code = RecordInstalledDirectory(state, u"E:\\New");
  }
  EXPECT_NE(code, 0u);
  EXPECT_EQ(ReadFile(UserFile()), user);
  EXPECT_EQ(ReadFile(AlternateFile()), alternate);
  EXPECT_EQ(ListDir(roaming_ + "\\Orvik\\OrvikStart"), Lines{"orvikstart.cfg"});
}

// Only an absolute path names one place whatever the working directory: a
// relative entry, one on the current drive's root ("\\T") and one on a
// drive's current directory ("C:T") stay listed but are never proposed.
TEST_F(TemplateDirectoryWinTest, RelativeEntriesAreListedButNeverProposed) {
  const std::string t = Dir("T");
  const Lines listed{"T", "\\T", t.substr(0, 2) + "T", "file://" + t};
  Put(UserFile(), Locations(listed));
  const std::string work = scratch_.Path();
  wchar_t previous[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(WidePath(work).c_str()));
  const TemplateDirectoryState state = Locate();
  TemplateDirectoryState recorded = state;
  const ErrorCode code = RecordInstalledDirectory(recorded, u"New");
  SetCurrentDirectoryW(previous);
  // The "file://" entry (listed with backslashes by now) is probed as the
  // directory it names.
  EXPECT_EQ(U8(state.templateDirectory), t);
  const Lines turned{"T", "\\T", t.substr(0, 2) + "T", "file:\\\\" + t};
  EXPECT_EQ(ListOf(state), turned);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(ReadFile(UserFile()), Locations({work + "\\New", turned[0], turned[1], turned[2], turned[3]}));
}

// What is not a text file this program may rewrite is kept as it was, and
// the write-back says it did not happen.
TEST_F(TemplateDirectoryWinTest, AStarterFileThatIsNoTextFileToRewriteIsKept) {
  std::string noMark = Utf16LE(Utf8ToUtf16(Locations({"D:\\U"}) + "Other=1\r\n"));
  noMark.erase(0, 2);
  const std::string oversize = Locations({"D:\\U"}) + std::string(kStarterFileSizeLimit, '#');
  struct Row {
    const char* name;
    bool folder;
    std::string bytes;
  };
  const Row rows[] = {
      {"folder", true, ""},
      {"over the size limit", false, oversize},
      {"UTF-16 without its mark", false, noMark},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RemoveTree(roaming_ + "\\Orvik");
    if (row.folder) {
      MakeDirs(UserFile());
    } else {
      Put(UserFile(), row.bytes);
    }
    TemplateDirectoryState state = Locate();
    EXPECT_EQ(RecordInstalledDirectory(state, u"E:\\New"), kStarterNotRewritten);
    if (row.folder) {
      EXPECT_TRUE(IsDirectory(UserFile()));
    } else {
      EXPECT_EQ(ReadFile(UserFile()), row.bytes);
    }
    EXPECT_EQ(ListDir(roaming_ + "\\Orvik\\OrvikStart"), Lines{"orvikstart.cfg"});
  }
}

}  // namespace
}  // namespace setup::test
