// Every file-system call of an installation, failed in turn: each run either
// succeeds with exactly the expected tree, or fails and leaves the tree as it
// was, with no workspace and nothing stray left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "EngineTestUtil.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::PutFile;
using enginetest::Snapshot;
using enginetest::TakeSnapshot;

constexpr int64_t kOld = 1500000000, kKit = 1600000000, kNew = 1700000000;

TEST(EngineFaults, EveryFailedCallLeavesTheTreeWholeOrFullyInstalled) {
  umask(022);
  test::ScratchDir dir;
  const std::string source = dir / "source", pristine = dir / "pristine", target = dir / "target";
  const std::string tmp = dir / "tmp", kit = dir / "orvikv8.okd";
  // 30 files: 10 the target holds older, 10 it holds newer, 10 it lacks
  // (some of those in folders it lacks too).
  for (int i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i);
    PutFile(source + "/old/f" + n + ".cfg", "kit " + n + std::string(i * 3000, 'k'), kKit);
    PutFile(pristine + "/old/f" + n + ".cfg", "older " + n, kOld);
    PutFile(source + "/new/g" + n + ".cfg", "kit " + n, kKit);
    PutFile(pristine + "/new/g" + n + ".cfg", "newer " + n, kNew);
    PutFile(source + (i < 5 ? "/old/h" : "/fresh/sub/h") + n + ".txt", "fresh " + n, kKit);
  }
  PutFile(pristine + "/user/own.txt", "the user's own", kOld);
  enginetest::PackKit(source, kit);
  test::MakeDirs(tmp);

  auto reset = [&] {
    RemoveDirectoryTree(Utf8ToUtf16(target));
    enginetest::CopyTree(pristine, target);
  };
  auto run = [&](long nth, int error) {
    return test::RunWithFault({ENGINE_DRIVER, kit, target}, nth, error, "",
                              {{"FAULTINJECT_WAIT_ARM", "1"}, {"TMPDIR", tmp}});
  };

  reset();
  const Snapshot before = TakeSnapshot(target);
  const test::FaultRun clean = run(0, 0);
  ASSERT_EQ(clean.process.out, "0\n") << clean.process.err;
  const Snapshot expected = TakeSnapshot(target);
  ASSERT_NE(expected, before);
  ASSERT_GT(clean.calls, 30);

  long injected = 0, succeeded = 0, failed = 0;
  for (int error : {EIO, ENOSPC}) {
    for (long nth = 1; nth <= clean.calls; ++nth) {
      reset();
      const test::FaultRun r = run(nth, error);
      ASSERT_EQ(r.process.status, 0) << r.process.err;
      ASSERT_NE(r.failed, "-") << "call " << nth << " was not reached";
      ++injected;
      const std::string where = "errno " + std::to_string(error) + ", call " + std::to_string(nth) +
                                " (" + r.failed + ")";
      const Snapshot after = TakeSnapshot(target);
      if (r.process.out == "0\n") {
        ++succeeded;
        EXPECT_EQ(after, expected) << where << enginetest::Describe(after, expected);
      } else {
        ++failed;
        EXPECT_EQ(after, before) << where << " code " << r.process.out << enginetest::Describe(after, before);
      }
      // Nothing left in the temporary directory either way: no workspace, no
      // half-made copy.
      EXPECT_TRUE(test::ListDir(tmp).empty()) << where << " code " << r.process.out << " left " << (test::ListDir(tmp).empty() ? "" : test::ListDir(tmp)[0]);
      RemoveDirectoryTree(Utf8ToUtf16(tmp));
      test::MakeDirs(tmp);
    }
  }
  std::printf("[ faults   ] %ld calls per run, %ld faults injected: %ld runs succeeded, %ld rolled back\n",
              clean.calls, injected, succeeded, failed);
  EXPECT_EQ(injected, 2 * clean.calls);
}

// A write-back error is reported once, to whichever flush comes first: one
// the background flush saw fails the run as the final flush's would.
TEST(EngineFaults, AWriteBackErrorSeenInTheBackgroundFailsTheRun) {
  test::ScratchDir dir;
  const std::string source = dir / "source", target = dir / "target", tmp = dir / "tmp", kit = dir / "orvikv8.okd";
  for (int i = 0; i < 6; ++i) PutFile(source + "/f" + std::to_string(i) + ".cfg", "kit", kKit);
  PutFile(target + "/f0.cfg", "mine", kOld);
  enginetest::PackKit(source, kit);
  test::MakeDirs(tmp);
  const Snapshot before = TakeSnapshot(target);
  const test::FaultRun run = test::RunWithFault({ENGINE_DRIVER, kit, target}, 1, EIO, "syncfs",
                                                {{"FAULTINJECT_WAIT_ARM", "1"}, {"TMPDIR", tmp},
                                                 {"ENGINE_FLUSH_EVERY", "1"}});
  ASSERT_EQ(run.failed, "syncfs");
  EXPECT_NE(run.process.out, "0\n");
  EXPECT_EQ(TakeSnapshot(target), before) << enginetest::Describe(TakeSnapshot(target), before);
  EXPECT_TRUE(test::ListDir(tmp).empty());
}

// A flush costs a disk commit. A run that finds every file up to date
// changes nothing: it makes no workspace and flushes nothing. One that
// replaces a file flushes its journal before the first change and the tree
// before "done".
TEST(EngineFaults, OnlyARunThatChangesSomethingFlushes) {
  test::ScratchDir dir;
  const std::string source = dir / "source", target = dir / "target", tmp = dir / "tmp", kit = dir / "orvikv8.okd";
  for (int i = 0; i < 4; ++i) PutFile(source + "/f" + std::to_string(i) + ".cfg", "kit", kKit);
  enginetest::PackKit(source, kit);
  enginetest::CopyTree(source, target);
  test::MakeDirs(tmp);
  const auto calls = [&](const std::string& functions) {
    const test::FaultRun run = test::RunWithFault({ENGINE_DRIVER, kit, target}, 0, 0, functions,
                                                  {{"FAULTINJECT_WAIT_ARM", "1"}, {"TMPDIR", tmp}});
    EXPECT_EQ(run.process.out, "0\n") << run.process.err;
    return run.calls;
  };
  EXPECT_EQ(calls("fsync,syncfs,mkdir"), 0);
  PutFile(target + "/f2.cfg", "older", kOld);
  EXPECT_EQ(calls("fsync,syncfs"), 3);
  EXPECT_TRUE(test::ListDir(tmp).empty());
}

// A rollback that cannot list the workspace must not take the listing for
// complete: the workspace holds the only copies of the replaced files.
TEST(EngineFaults, ARollbackThatCannotReadTheWorkspaceKeepsIt) {
  umask(022);
  test::ScratchDir dir;
  const std::string source = dir / "source", target = dir / "target", tmp = dir / "tmp", kit = dir / "orvikv8.okd";
  for (int i = 0; i < 6; ++i) {
    const std::string n = std::to_string(i);
    PutFile(source + "/f" + n + ".cfg", "kit " + n, kKit);
    PutFile(target + "/f" + n + ".cfg", "mine " + n, kOld);
  }
  enginetest::PackKit(source, kit);
  test::MakeDirs(tmp);
  // The fourth file cannot be written, so the run rolls back; the rollback's
  // first listing of the workspace fails.
  const test::FaultRun run =
      test::RunWithFault({ENGINE_DRIVER, kit, target}, 4, EIO, "write",
                         {{"FAULTINJECT_WAIT_ARM", "1"}, {"TMPDIR", tmp},
                          {"FAULTINJECT_RULES", "opendir:1:" + std::to_string(EIO)}});
  ASSERT_EQ(run.failed, "write");
  ASSERT_NE(run.process.out, "0\n");
  // Every one of the user's files is somewhere: back in place, or still in
  // the workspace, which is left where the user can find it.
  std::string kept;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "f" + std::to_string(i) + ".cfg", mine = "mine " + std::to_string(i);
    const bool inPlace = test::ReadFile(target + "/" + name) == mine;
    const bool saved = test::Exists(tmp + "/v8stp0/saved/" + name) && test::ReadFile(tmp + "/v8stp0/saved/" + name) == mine;
    EXPECT_TRUE(inPlace || saved) << name << " is lost";
    if (saved) kept += name + " ";
  }
  EXPECT_FALSE(kept.empty()) << "the failed listing should have kept some in the workspace";
}

}  // namespace
}  // namespace setup
