// Recovery on POSIX: leftovers of other users in a shared temporary directory
// are never touched, however dead they look (needs root, to hand files to
// another user), and neither is a journal others could have written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "TestSupport.h"
#include "core/InstallationEngine.h"
#include "core/Recovery.h"
#include "platform/FileLock.h"
#include "platform/Text.h"

namespace setup {
namespace {

constexpr uid_t kNobody = 65534;

TEST(RecoveryPosix, OtherUsersLeftoversAreLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  test::ScratchDir dir;
  const std::string tmp = dir / "tmp";
  test::MakeDirs(tmp);
  test::ScopedTemporaryDirectory scope(tmp);
  // A dead run's image and an empty workspace shell: ours would both go.
  std::u16string image;
  ScopedFileHandle lock;
  ASSERT_EQ(CreateLockedTempFile(Utf8ToUtf16(tmp), u"odk", image, lock), 0u);
  lock.Reset();
  test::MakeDirs(tmp + "/v8stp0/saved");
  test::MakePrivate(tmp + "/v8stp0");
  ASSERT_EQ(chown(WideToMultiByte(image).c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chown((tmp + "/v8stp0").c_str(), kNobody, kNobody), 0);
  const std::vector<std::string> before = test::ListDir(tmp);

  const RecoveryReport report = RecoverInterruptedRuns();
  EXPECT_EQ(report.imagesDeleted + report.rolledBack + report.finished + report.kept, 0u);
  EXPECT_EQ(test::ListDir(tmp), before);
  EXPECT_TRUE(test::IsDirectory(tmp + "/v8stp0/saved"));

  // Handed back, they are ours to clear.
  ASSERT_EQ(chown(WideToMultiByte(image).c_str(), 0, 0), 0);
  ASSERT_EQ(chown((tmp + "/v8stp0").c_str(), 0, 0), 0);
  EXPECT_EQ(RecoverInterruptedRuns().imagesDeleted, 1u);
  EXPECT_TRUE(test::ListDir(tmp).empty());
}

// A journal that others could have written is not the program's: the
// records in it are not followed until it is private again.
TEST(RecoveryPosix, AJournalOthersCouldWriteIsNotFollowed) {
  test::ScratchDir dir;
  test::MakeDirs(dir / "tmp");
  test::ScopedTemporaryDirectory scope(dir / "tmp");
  const std::string fresh = dir / "templates/fresh.txt";
  {
    RollbackLog log;
    ASSERT_EQ(CreateWorkspace(log, Utf8ToUtf16(dir / "templates")), 0u);
    ASSERT_EQ(OpenTemplateDirectory(log), 0u);
    ASSERT_EQ(log.journal.Record(JournalRecord::NewFile, Utf8ToUtf16(fresh)), 0u);
    test::WriteFile(fresh, "new file");
  }
  ASSERT_EQ(chmod((dir / "tmp/v8stp0/journal").c_str(), 0644), 0);
  RecoverInterruptedRuns();
  EXPECT_TRUE(test::Exists(fresh));
  ASSERT_EQ(chmod((dir / "tmp/v8stp0/journal").c_str(), 0600), 0);
  EXPECT_EQ(RecoverInterruptedRuns().rolledBack, 1u);
  EXPECT_FALSE(test::Exists(fresh));
}

// A dead run whose temporary directory was on another file system (and is
// gone after a reboot) is found through its pointer; a folder of that name
// that others could read or write is not the program's and stays.
TEST(RecoveryPosix, APointerLeadsOnlyToTheUsersOwnPrivateWorkspaces) {
  struct stat shm, here;
  test::ScratchDir dir;
  if (stat("/dev/shm", &shm) != 0 || stat(dir.Path().c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  char memory[] = "/dev/shm/setup-recovery-XXXXXX";
  ASSERT_NE(mkdtemp(memory), nullptr);
  test::ScopedTemporaryDirectory scope(memory);
  const std::string templates = dir / "templates", fresh = templates + "/fresh.txt";
  test::MakeDirs(templates + "/.v8stp7");  // someone else's, open to all
  {
    RollbackLog log;
    ASSERT_EQ(CreateWorkspace(log, Utf8ToUtf16(templates)), 0u);
    ASSERT_EQ(Utf16ToUtf8(log.workspaceRoot), templates + "/.v8stp0/");
    ASSERT_EQ(OpenTemplateDirectory(log), 0u);
    ASSERT_EQ(log.journal.Record(JournalRecord::NewFile, Utf8ToUtf16(fresh)), 0u);
    test::WriteFile(fresh, "new file");
  }
  // The reboot empties the temporary directory.
  test::RemoveTree(memory);
  test::MakeDirs(memory);
  EXPECT_EQ(RecoverInterruptedRuns().rolledBack, 1u);
  test::RemoveTree(memory);
  EXPECT_EQ(test::ListDir(templates), std::vector<std::string>{".v8stp7"});
  EXPECT_FALSE(test::Exists(Utf16ToUtf8(RunPointerFolder())));
}

}  // namespace
}  // namespace setup
