// Leftovers of other users in a shared temporary directory are never touched,
// however dead they look. Needs root, to hand files to another user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "TestSupport.h"
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

}  // namespace
}  // namespace setup
