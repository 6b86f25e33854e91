// The installation engine on Windows, against real trees: what a run
// installs, skips and replaces, and that a failed or cancelled run puts the
// template directory back exactly as it was (contents, times, read-only
// marks), when another program holds a file open, when the workspace and the
// templates lie on two drives, and for names in Cyrillic and CJK.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TreeSnapshot.h"
#include "WinFiles.h"
#include "core/InstallationEngine.h"
#include "core/KitReader.h"
#include "core/WorkerChannel.h"
#include "kit/KitTestUtil.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::Differences;
using enginetest::PutFile;
using enginetest::SnapshotOf;
using enginetest::Tree;
using test::ScratchDir;

constexpr uint64_t kOld = 130000000000000001ULL;  // 2012, with a fraction of a second
constexpr uint64_t kKit = 132000000001234567ULL;  // 2019
constexpr uint64_t kNew = 134000000007654321ULL;  // 2025

std::vector<std::string> Workspaces(const std::string& directory) {
  std::vector<std::string> found;
  for (const std::string& name : test::ListDir(directory)) {
    if (name.rfind("v8stp", 0) == 0) found.push_back(name);
  }
  return found;
}

// A directory of its own on drive C: for one test, removed afterwards. Under
// Wine drive C: is the prefix's, inside the build tree.
class DriveCScratch {
 public:
  DriveCScratch() {
    static std::atomic<int> counter{0};
    const std::string base = "C:\\setup-test-scratch";
    CreateDirectoryW(test::WidePath(base).c_str(), nullptr);
    const std::string candidate = base + "\\" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    if (CreateDirectoryW(test::WidePath(candidate).c_str(), nullptr)) path_ = candidate;
  }
  ~DriveCScratch() {
    if (path_.empty()) return;
    test::RemoveTree(path_);
    RemoveDirectoryW(L"C:\\setup-test-scratch");  // only once it is empty
  }
  DriveCScratch(const DriveCScratch&) = delete;
  DriveCScratch& operator=(const DriveCScratch&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class EngineWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_ / "tmp";
    test::MakeDirs(tmp_);
    tmpScope_ = std::make_unique<test::ScopedTemporaryDirectory>(tmp_);
    source_ = dir_ / "source";
    target_ = dir_ / "templates";
    PutFile(source_ + "\\readme.txt", "Read me\r\n", kKit);
    PutFile(source_ + "\\1c\\base.cfg", std::string(3 << 20, 'b'), kKit);
    PutFile(source_ + "\\1c\\reports\\report.xml", "<report/>", kKit);
    PutFile(source_ + "\\1c\\reports\\empty.dat", "", kKit);
    PutFile(source_ + "\\docs\\a\\b\\c\\deep.txt", "deep", kKit);
    PutFile(source_ + "\\docs\\notes.txt", "notes", kKit);
  }
  void TearDown() override {
    kit_.Close();
    tmpScope_.reset();
  }

  void ReadKit() {
    kittest::PackTree(source_, dir_ / "orvikv8.okd");
    ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "orvikv8.okd")), 0u);
  }

  ErrorCode Run(const std::string& destination, EngineSettings settings = {}) {
    settings.completionPause = std::chrono::milliseconds(0);
    channel_.Start(&kit_, Utf8ToUtf16(destination));
    return RunInstallation(channel_, settings);
  }

  // Settings that cancel the run right after its last entry, so that
  // everything it did is rolled back.
  EngineSettings CancelAtTheEnd() {
    EngineSettings settings;
    settings.onEntryDone = [this](size_t i, FileAction) {
      if (i + 1 == kit_.Files().size()) channel_.RequestCancel();
    };
    return settings;
  }

  // What a completed run leaves: the target as it was, with every kit file
  // that was missing or older replaced by the kit's.
  Tree Installed(const Tree& before) {
    Tree expected = before;
    for (const auto& [path, node] : SnapshotOf(source_)) {
      auto it = before.find(path);
      if (node.type == 'd') {
        expected[path] = node;
      } else if (it == before.end() || it->second.writeTime < node.writeTime) {
        expected[path] = node;
      }
    }
    return expected;
  }

  ScratchDir dir_;
  std::string tmp_, source_, target_;
  std::unique_ptr<test::ScopedTemporaryDirectory> tmpScope_;
  KitReader kit_;
  WorkerChannel channel_{u"Preparing to copy..."};
};

TEST_F(EngineWinTest, OlderFilesAreReplacedNewerOnesKeptAndTheWorkspaceGoes) {
  ReadKit();
  PutFile(target_ + "\\readme.txt", "same time, other bytes", kKit);  // as new: stays
  PutFile(target_ + "\\docs\\notes.txt", "newer", kNew);             // newer: stays
  PutFile(target_ + "\\1c\\base.cfg", "older", kOld);                // older: replaced
  PutFile(target_ + "\\1c\\reports\\report.xml", "older by 100 ns", kKit - 1);
  PutFile(target_ + "\\mine.txt", "the user's own", kOld);           // not in the kit
  const Tree before = SnapshotOf(target_);
  const Tree expected = Installed(before);
  ASSERT_EQ(expected.at("1c/base.cfg").content, std::string(3 << 20, 'b'));
  ASSERT_EQ(expected.at("docs/notes.txt").content, "newer");

  // While the run goes on, a replaced file's old version waits in the workspace.
  bool sawSaved = false;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t, FileAction) {
    if (test::Exists(tmp_ + "\\v8stp0\\saved\\1c\\base.cfg")) sawSaved = test::ReadFile(tmp_ + "\\v8stp0\\saved\\1c\\base.cfg") == "older";
  };
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_TRUE(sawSaved);
  const Tree after = SnapshotOf(target_);
  EXPECT_EQ(after, expected) << Differences(expected, after);
  EXPECT_TRUE(Workspaces(tmp_).empty());
  const WorkerStatus status = channel_.ReadStatus();
  EXPECT_EQ(status.code, 0u);
  EXPECT_EQ(status.percentage, 100u);

  // A second run finds everything up to date and changes nothing.
  EXPECT_EQ(Run(target_), 0u);
  EXPECT_EQ(SnapshotOf(target_), after);
}

TEST_F(EngineWinTest, StatusTextsArePathsWithBackslashes) {
  // Kits name their files with either separator; the status always shows
  // the path as Windows writes it.
  kittest::KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Vendor", u"readme.txt"}};
  model.files = {{u"docs/a.txt", kKit, "a"}, {u"docs\\b.txt", kKit, "b"}, {u"c.txt", kKit, "c"}};
  test::WriteFile(dir_ / "mixed.okd", kittest::DeflateRaw(model.Image()));
  ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "mixed.okd")), 0u);
  std::vector<WorkerStatus> seen;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t, FileAction) { seen.push_back(channel_.ReadStatus()); };
  EXPECT_EQ(Run(target_, settings), 0u);
  ASSERT_EQ(seen.size(), 3u);
  const std::u16string base = Utf8ToUtf16(target_) + u"\\";
  EXPECT_EQ(seen[0].text, base + u"docs\\a.txt");
  EXPECT_EQ(seen[1].text, base + u"docs\\b.txt");
  EXPECT_EQ(seen[2].text, base + u"c.txt");
  EXPECT_EQ(seen[1].percentage, 33u);
  EXPECT_EQ(test::ReadFile(target_ + "\\docs\\b.txt"), "b");
}

// Another program (an editor, a virus scanner) holds one of the files the run
// must replace, without sharing: moving it aside fails with 32, the run
// fails with that code, and everything done before it is undone.
TEST_F(EngineWinTest, AFileHeldOpenElsewhereFailsTheRunWithThirtyTwoAndItIsRolledBack) {
  ReadKit();
  PutFile(target_ + "\\1c\\base.cfg", "older", kOld);
  PutFile(target_ + "\\docs\\notes.txt", "older, held", kOld);
  PutFile(target_ + "\\readme.txt", "older", kOld);
  PutFile(target_ + "\\mine.txt", "the user's own", kOld);
  const Tree before = SnapshotOf(target_);
  size_t installed = 0;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t, FileAction) { ++installed; };
  ErrorCode code = 0;
  {
    test::HeldOpen held(target_ + "\\docs\\notes.txt");
    ASSERT_TRUE(held.Valid());
    code = Run(target_, settings);
  }
  EXPECT_EQ(code, static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  EXPECT_GT(installed, 2u) << "the held file should come after others were installed";
  const Tree after = SnapshotOf(target_);
  EXPECT_EQ(after, before) << Differences(before, after);
  EXPECT_TRUE(Workspaces(tmp_).empty());
  const WorkerStatus status = channel_.ReadStatus();
  EXPECT_EQ(status.code, static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(status.text, u"Installation error");

  // Held open but newer than the kit's: it is only looked at, and the run
  // goes through.
  PutFile(target_ + "\\docs\\notes.txt", "newer, held", kNew);
  const Tree withNewer = SnapshotOf(target_);
  {
    test::HeldOpen held(target_ + "\\docs\\notes.txt");
    ASSERT_TRUE(held.Valid());
    code = Run(target_);
  }
  EXPECT_EQ(code, 0u);
  const Tree expected = Installed(withNewer);
  EXPECT_EQ(SnapshotOf(target_), expected) << Differences(expected, SnapshotOf(target_));
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

TEST_F(EngineWinTest, AnOlderFolderWhereTheKitHasAFileFailsWithOneEightyThree) {
  ReadKit();
  PutFile(target_ + "\\1c\\base.cfg", "older", kOld);
  PutFile(target_ + "\\docs\\notes.txt\\inside\\keep", "keep", kOld);
  ASSERT_TRUE(test::SetWriteTime(target_ + "\\docs\\notes.txt", kOld));
  const Tree before = SnapshotOf(target_);
  EXPECT_EQ(Run(target_), kErrorAlreadyExists);
  const Tree after = SnapshotOf(target_);
  EXPECT_EQ(after, before) << Differences(before, after);
  EXPECT_EQ(channel_.ReadStatus().code, kErrorAlreadyExists);
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

TEST_F(EngineWinTest, CyrillicAndCjkNamesAreInstalledAndRolledBack) {
  PutFile(source_ + "\\Шаблоны\\отчёт.xml", "<отчёт/>", kKit);
  PutFile(source_ + "\\模板\\报告.cfg", "报告", kKit);
  PutFile(source_ + "\\日本語\\テスト\\ファイル.txt", "テスト", kKit);
  ReadKit();
  PutFile(target_ + "\\Шаблоны\\отчёт.xml", "старый", kOld);
  PutFile(target_ + "\\模板\\旧.cfg", "旧", kOld);
  const Tree before = SnapshotOf(target_);

  EXPECT_EQ(Run(target_, CancelAtTheEnd()), kErrorCancelled);
  Tree after = SnapshotOf(target_);
  EXPECT_EQ(after, before) << Differences(before, after);
  EXPECT_TRUE(Workspaces(tmp_).empty());

  EXPECT_EQ(Run(target_), 0u);
  after = SnapshotOf(target_);
  const Tree expected = Installed(before);
  EXPECT_EQ(after, expected) << Differences(expected, after);
  EXPECT_EQ(test::ReadFile(target_ + "\\Шаблоны\\отчёт.xml"), "<отчёт/>");
  EXPECT_EQ(test::ReadFile(target_ + "\\日本語\\テスト\\ファイル.txt"), "テスト");
  EXPECT_EQ(test::ReadFile(target_ + "\\模板\\旧.cfg"), "旧");
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// An older read-only file: a rolled-back run brings it back read-only, and a
// completed one replaces it and still leaves no workspace behind (the old
// version must go with the workspace, read-only or not).
TEST_F(EngineWinTest, AReadOnlyTargetFileComesBackReadOnlyOrIsReplacedCleanly) {
  ReadKit();
  PutFile(target_ + "\\1c\\base.cfg", "older, read-only", kOld);
  ASSERT_TRUE(test::SetReadOnly(target_ + "\\1c\\base.cfg"));
  PutFile(target_ + "\\docs\\notes.txt", "older", kOld);
  const Tree before = SnapshotOf(target_);
  ASSERT_TRUE(before.at("1c/base.cfg").readOnly);

  EXPECT_EQ(Run(target_, CancelAtTheEnd()), kErrorCancelled);
  Tree after = SnapshotOf(target_);
  EXPECT_EQ(after, before) << Differences(before, after);
  EXPECT_TRUE(test::IsReadOnly(target_ + "\\1c\\base.cfg"));
  EXPECT_TRUE(Workspaces(tmp_).empty());

  EXPECT_EQ(Run(target_), 0u);
  after = SnapshotOf(target_);
  EXPECT_EQ(after.at("1c/base.cfg").content, std::string(3 << 20, 'b'));
  EXPECT_EQ(after.at("1c/base.cfg").writeTime, kKit);
  EXPECT_EQ(Workspaces(tmp_), std::vector<std::string>{}) << "the old read-only version was left behind";
}

// The temporary directory on drive C:, the templates on drive D:
// (scripts/wine-env maps D: to a scratch directory).
TEST_F(EngineWinTest, RollbackAcrossTwoDrivesIsComplete) {
  test::DriveDScratch driveD;
  if (driveD.Path().empty()) GTEST_SKIP() << "no drive D: (scripts/wine-env maps one to a scratch directory)";
  DriveCScratch driveC;
  if (driveC.Path().empty()) GTEST_SKIP() << "cannot make a directory on drive C:";
  test::ScopedTemporaryDirectory onC(driveC.Path());
  // The kit's image goes to C: too, and must be closed before that directory
  // can go.
  struct CloseKitFirst {
    KitReader& kit;
    ~CloseKitFirst() { kit.Close(); }
  } closeKitFirst{kit_};
  ReadKit();
  const std::string target = driveD.Path() + "\\templates";
  PutFile(target + "\\1c\\base.cfg", "older", kOld);
  PutFile(target + "\\1c\\reports\\report.xml", "older", kOld);
  ASSERT_TRUE(test::SetReadOnly(target + "\\1c\\reports\\report.xml"));
  PutFile(target + "\\docs\\notes.txt", "newer", kNew);
  PutFile(target + "\\mine.txt", "the user's own", kOld);
  const Tree before = SnapshotOf(target);

  // While the run goes on the saved versions wait beside the templates on
  // D:, moved there, not copied to C:, where a power cut could take them.
  bool savedOnD = false, anythingOnC = false;
  EngineSettings settings = CancelAtTheEnd();
  const auto cancel = settings.onEntryDone;
  settings.onEntryDone = [&](size_t i, FileAction) {
    savedOnD = savedOnD || test::Exists(target + "\\.v8stp0\\saved\\1c\\base.cfg");
    anythingOnC = anythingOnC || !Workspaces(driveC.Path()).empty();
    cancel(i, FileAction::Create);
  };
  EXPECT_EQ(Run(target, settings), kErrorCancelled);
  EXPECT_TRUE(savedOnD);
  EXPECT_FALSE(anythingOnC);
  Tree after = SnapshotOf(target);
  EXPECT_EQ(after, before) << Differences(before, after);
  EXPECT_TRUE(Workspaces(driveC.Path()).empty());

  // A failure half-way (a file held open) rolls back across the drives too.
  {
    test::HeldOpen held(target + "\\mine.txt");
    PutFile(source_ + "\\mine.txt", "the kit's", kKit);
    ReadKit();
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(Run(target), static_cast<ErrorCode>(ERROR_SHARING_VIOLATION));
  }
  after = SnapshotOf(target);
  EXPECT_EQ(after, before) << Differences(before, after);
  EXPECT_TRUE(Workspaces(driveC.Path()).empty());

  EXPECT_EQ(Run(target), 0u);
  after = SnapshotOf(target);
  const Tree expected = Installed(before);
  EXPECT_EQ(after, expected) << Differences(expected, after);
  EXPECT_TRUE(Workspaces(driveC.Path()).empty());
}

// What a run guarantees under a second run and a user at work: a second run
// into the same directory stops before it changes anything, and a file the
// user saves into a folder the run made survives the run's rollback.
TEST_F(EngineWinTest, ASecondRunStopsAtOnceAndARollbackKeepsTheUsersFile) {
  ReadKit();
  ErrorCode second = 0;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i + 1 != kit_.Files().size()) return;
    WorkerChannel other{u""};
    other.Start(&kit_, Utf8ToUtf16(target_));
    EngineSettings quick;
    quick.completionPause = std::chrono::milliseconds(0);
    second = RunInstallation(other, quick);
    test::WriteFile(target_ + "\\docs\\mine.txt", "saved meanwhile");
    channel_.RequestCancel();
  };
  EXPECT_EQ(Run(target_, settings), kErrorCancelled);
  EXPECT_EQ(second, kErrorBusy);
  EXPECT_EQ(test::ReadFile(target_ + "\\docs\\mine.txt"), "saved meanwhile");
  EXPECT_EQ(test::ListDir(target_), std::vector<std::string>{"docs"});
  EXPECT_EQ(test::ListDir(target_ + "\\docs"), std::vector<std::string>{"mine.txt"});
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// A folder of the template directory that is a link (a reparse point) is not
// gone through: the run fails before it changes anything.
TEST_F(EngineWinTest, AFolderThatIsALinkFailsTheRunBeforeAnyChange) {
  ReadKit();
  const std::string elsewhere = dir_ / "elsewhere";
  test::MakeDirs(elsewhere);
  test::MakeDirs(target_);
  const std::wstring link = test::WidePath(target_ + "\\docs");
  // Wine 8 makes the link but shows it as nothing at all, not as a reparse
  // point; there the guarantee cannot be tried.
  if (!CreateSymbolicLinkW(link.c_str(), test::WidePath(elsewhere).c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES ||
      !(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveDirectoryW(link.c_str());
    GTEST_SKIP() << "no directory links that show as reparse points here";
  }
  const Tree before = SnapshotOf(target_);
  EXPECT_EQ(Run(target_), kErrorLinkInPath);
  EXPECT_EQ(SnapshotOf(target_), before) << Differences(SnapshotOf(target_), before);
  EXPECT_TRUE(test::ListDir(elsewhere).empty());
}

}  // namespace
}  // namespace setup
