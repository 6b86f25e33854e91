// Recovery at start-up, in one process on both builds: a run that "dies" is
// one whose rollback log (and with it the journal's lock) goes away without a
// rollback, leaving its changes, its workspace and its journal behind.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TreeSnapshot.h"
#include "core/InstallationEngine.h"
#include "core/Journal.h"
#include "core/Recovery.h"
#include "platform/FileLock.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::Differences;
using enginetest::PutFile;
using enginetest::SnapshotOf;
using enginetest::Tree;

constexpr uint64_t kOld = 130000000000000001ULL;
constexpr uint64_t kKit = 132000000001234567ULL;

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_ / "tmp";
    target_ = dir_ / "templates";
    test::MakeDirs(tmp_);
    tmpScope_ = std::make_unique<test::ScopedTemporaryDirectory>(tmp_);
    PutFile(dir_ / "templates/base.cfg", "old base", kOld);
    PutFile(dir_ / "templates/1c/report.xml", "old report", kOld);
    PutFile(dir_ / "templates/mine.txt", "the user's own", kOld);
    old_ = SnapshotOf(target_);
  }

  std::u16string Target(const std::string& relative = "") const {
    return EnsureTrailingSeparator(Utf8ToUtf16(target_)) + Utf8ToUtf16(test::NativePath(relative));
  }

  // What the engine does for one kit file, journal first.
  void Install(RollbackLog& log, const std::string& relative, const std::string& content) {
    const std::u16string native = Utf8ToUtf16(test::NativePath(relative));
    const std::u16string target = Target(relative);
    PathInfo info;
    const bool there = log.tree.Inspect(native, info) == 0;
    if (there) {
      ASSERT_EQ(log.journal.Record(JournalRecord::Moved, target), 0u);
      ASSERT_EQ(SaveExisting(log, native), 0u);
    }
    ASSERT_EQ(CreateDirectories(log, ParentPath(native)), 0u);
    if (!there) {
      ASSERT_EQ(log.journal.Record(JournalRecord::NewFile, target), 0u);
    }
    PutFile(Utf16ToUtf8(target), content, kKit);
  }

  void Begin(RollbackLog& log) {
    ASSERT_EQ(CreateWorkspace(log, Target()), 0u);
    ASSERT_EQ(OpenTemplateDirectory(log), 0u);
  }

  // A run that dies half-way: one file replaced, one created, one created in
  // two folders it made; `done` when it got as far as its "done" record.
  void DieHalfWay(bool done) {
    RollbackLog log;
    Begin(log);
    Install(log, "base.cfg", "new base");
    Install(log, "fresh.txt", "new file");
    Install(log, "new/deeper/deep.txt", "new deep");
    if (done) {
      ASSERT_EQ(log.journal.MarkDone(), 0u);
    }
  }  // the log goes, and with it the lock: nothing is undone

  test::ScratchDir dir_;
  std::string tmp_, target_;
  std::unique_ptr<test::ScopedTemporaryDirectory> tmpScope_;
  Tree old_;
};

TEST_F(RecoveryTest, ADeadRunIsUndoneToExactlyTheOldTree) {
  DieHalfWay(false);
  ASSERT_NE(SnapshotOf(target_), old_);
  ASSERT_EQ(test::ListDir(tmp_).size(), 1u);
  const RecoveryReport report = RecoverInterruptedRuns();
  EXPECT_EQ(report.rolledBack, 1u);
  EXPECT_EQ(report.kept, 0u);
  EXPECT_EQ(SnapshotOf(target_), old_) << Differences(SnapshotOf(target_), old_);
  EXPECT_TRUE(test::ListDir(tmp_).empty());
  // Nothing is left to do at the next start.
  const RecoveryReport again = RecoverInterruptedRuns();
  EXPECT_EQ(again.rolledBack + again.finished + again.kept, 0u);
}

TEST_F(RecoveryTest, ARunThatWasDoneKeepsItsNewTreeAndLosesItsWorkspace) {
  DieHalfWay(true);
  const Tree installed = SnapshotOf(target_);
  const RecoveryReport report = RecoverInterruptedRuns();
  EXPECT_EQ(report.finished, 1u);
  EXPECT_EQ(SnapshotOf(target_), installed);
  EXPECT_TRUE(test::ListDir(tmp_).empty());
}

TEST_F(RecoveryTest, ALiveRunAndALiveImageAreLeftAloneAndDeadImagesGo) {
  RollbackLog live;
  Begin(live);
  Install(live, "base.cfg", "new base");
  std::u16string liveImage, deadImage;
  ScopedFileHandle liveLock, deadLock;
  ASSERT_EQ(CreateLockedTempFile(Utf8ToUtf16(tmp_), u"odk", liveImage, liveLock), 0u);
  ASSERT_EQ(CreateLockedTempFile(Utf8ToUtf16(tmp_), u"odk", deadImage, deadLock), 0u);
  deadLock.Reset();  // its run is gone
  // Names that merely look alike are no images of ours.
  test::WriteFile(dir_ / "tmp/odk-notes.txt", "someone else's");
  // Locked files cannot even be read on Windows, so the names tell.
  const Tree tree = SnapshotOf(target_);
  const std::vector<std::string> workspace = test::ListDir(dir_ / "tmp/v8stp0"),
                                  saved = test::ListDir(dir_ / "tmp/v8stp0/saved");
  std::vector<std::string> temp = test::ListDir(tmp_);
  ASSERT_EQ(temp.size(), 4u);

  const RecoveryReport report = RecoverInterruptedRuns();
  EXPECT_EQ(report.imagesDeleted, 1u);
  EXPECT_EQ(report.rolledBack + report.finished + report.kept, 0u);
  EXPECT_FALSE(test::Exists(Utf16ToUtf8(deadImage)));
  std::erase(temp, Utf16ToUtf8(deadImage.substr(deadImage.rfind(kPathSeparator) + 1)));
  EXPECT_EQ(test::ListDir(tmp_), temp);
  EXPECT_EQ(test::ListDir(dir_ / "tmp/v8stp0"), workspace);
  EXPECT_EQ(test::ListDir(dir_ / "tmp/v8stp0/saved"), saved);
  EXPECT_EQ(SnapshotOf(target_), tree);

  // The live run still rolls back on its own.
  EXPECT_EQ(Rollback(live, kErrorCancelled), kErrorCancelled);
  EXPECT_EQ(SnapshotOf(target_), old_) << Differences(SnapshotOf(target_), old_);
}

TEST_F(RecoveryTest, ARollbackThatCannotFinishKeepsTheOnlyCopyForALaterStart) {
  DieHalfWay(false);
  // The template directory has gone away: the saved file has nowhere to go.
  const std::string away = dir_ / "away";
  ASSERT_EQ(MoveFileTo(Target(), Utf8ToUtf16(away)), 0u);
  const RecoveryReport report = RecoverInterruptedRuns();
  EXPECT_EQ(report.kept, 1u);
  EXPECT_EQ(test::ReadFile(dir_ / "tmp/v8stp0/saved/base.cfg"), "old base");
  EXPECT_TRUE(test::Exists(dir_ / "tmp/v8stp0/journal"));

  // Back again, the next start finishes the work.
  ASSERT_EQ(MoveFileTo(Utf8ToUtf16(away), Target()), 0u);
  EXPECT_EQ(RecoverInterruptedRuns().rolledBack, 1u);
  EXPECT_EQ(SnapshotOf(target_), old_) << Differences(SnapshotOf(target_), old_);
  EXPECT_TRUE(test::ListDir(tmp_).empty());
}

TEST_F(RecoveryTest, WorkspacesWithoutAJournalGoOnlyWhenTheyHoldNoFile) {
  test::MakeDirs(dir_ / "tmp/v8stp3/saved/empty");  // died before its journal
  PutFile(dir_ / "tmp/v8stp4/base.cfg", "somebody's only copy", kOld);
  // The program makes its workspaces private.
  for (const char* name : {"tmp/v8stp3", "tmp/v8stp4"}) test::MakePrivate(dir_ / name);
  test::MakeDirs(dir_ / "tmp/v8stpX");  // not a workspace name
  const RecoveryReport report = RecoverInterruptedRuns();
  EXPECT_EQ(report.kept, 1u);
  EXPECT_EQ(test::ListDir(tmp_), (std::vector<std::string>{"v8stp4", "v8stpX"}));
  EXPECT_EQ(test::ReadFile(dir_ / "tmp/v8stp4/base.cfg"), "somebody's only copy");
}

// Recovery trusts only what the program itself makes and where it made it:
// a record outside the journal's own
// absolute target, and a target whose directory a live run holds are never
// acted on.
TEST_F(RecoveryTest, OnlyTheProgramsOwnRecordsAreFollowedAndOnlyInsideTheirTarget) {
  const std::string victim = dir_ / "victim.txt";
  PutFile(victim, "not the run's", kOld);
  {
    RollbackLog log;
    Begin(log);
    Install(log, "fresh.txt", "new file");
    ASSERT_EQ(log.journal.Record(JournalRecord::NewFile, Utf8ToUtf16(victim)), 0u);
    ASSERT_EQ(log.journal.Record(JournalRecord::NewFile, Target("../victim.txt")), 0u);
  }
  // While a live run holds the template directory, the dead one waits.
  RollbackLog live;
  Begin(live);
  EXPECT_EQ(RecoverInterruptedRuns().kept, 1u);
  EXPECT_TRUE(test::Exists(dir_ / "templates/fresh.txt"));
  EXPECT_EQ(Rollback(live, kErrorCancelled), kErrorCancelled);
  EXPECT_EQ(RecoverInterruptedRuns().rolledBack, 1u);
  EXPECT_EQ(test::ReadFile(victim), "not the run's");
  EXPECT_EQ(SnapshotOf(target_), old_) << Differences(SnapshotOf(target_), old_);

  // A relative target would be taken against this start's working directory.
  {
    RollbackLog log;
    ASSERT_EQ(CreateWorkspace(log, u"templates"), 0u);
  }
  EXPECT_EQ(RecoverInterruptedRuns().kept, 1u);
}

// Journals as a crash leaves them: the records before a torn one count.
TEST_F(RecoveryTest, AJournalIsReadUpToItsFirstIncompleteRecord) {
  const std::u16string workspace = Utf8ToUtf16(dir_ / "tmp/w");
  test::MakeDirs(Utf16ToUtf8(workspace));
  const std::string path = Utf16ToUtf8(EnsureTrailingSeparator(workspace) + kJournalFileName);
  std::string whole;
  {
    Journal journal;
    ASSERT_EQ(journal.Begin(workspace, u"/templates/"), 0u);
    Journal second;
    ASSERT_EQ(second.Begin(workspace, u"/other/"), kErrorAlreadyExists);
    ASSERT_EQ(journal.Record(JournalRecord::Directory, u"/templates/Отчёты"), 0u);
    ASSERT_EQ(journal.Record(JournalRecord::NewFile, u"/templates/Отчёты/квартал.xml"), 0u);
    ASSERT_EQ(journal.MarkDone(), 0u);
  }  // closed: on Windows nobody else may even read it while it is open
  whole = test::ReadFile(path);
  auto read = [&](const std::string& bytes, JournalContents& contents) {
    test::WriteFile(path, bytes);
    ScopedFileHandle lock;
    EXPECT_EQ(OpenLockedFile(Utf8ToUtf16(path), lock), 0u);
    return ReadJournal(lock.Get(), contents);
  };
  JournalContents contents;
  ASSERT_EQ(read(whole, contents), 0u);
  EXPECT_EQ(contents.targetDirectory, u"/templates/");
  ASSERT_EQ(contents.entries.size(), 2u);
  EXPECT_EQ(contents.entries[0].kind, JournalRecord::Directory);
  EXPECT_EQ(contents.entries[1].path, u"/templates/Отчёты/квартал.xml");
  EXPECT_TRUE(contents.done);

  // Cut anywhere inside the last two records: the "done" is gone, and the
  // file record only counts when it is whole.
  const size_t doneSize = 9, fileSize = 9 + 2 * 29;
  for (size_t cut = 1; cut < doneSize + fileSize; ++cut) {
    ASSERT_EQ(read(whole.substr(0, whole.size() - cut), contents), 0u);
    EXPECT_FALSE(contents.done) << cut;
    EXPECT_EQ(contents.entries.size(), cut <= doneSize ? 2u : 1u) << cut;
  }
  // A damaged byte ends the reading there too.
  std::string damaged = whole;
  damaged[whole.size() - doneSize - 3] ^= 0x40;
  ASSERT_EQ(read(damaged, contents), 0u);
  EXPECT_EQ(contents.entries.size(), 1u);
  EXPECT_FALSE(contents.done);
  // Something that is no journal at all says nothing.
  EXPECT_EQ(read("not a journal", contents), kErrorInvalidData);
}

}  // namespace
}  // namespace setup
