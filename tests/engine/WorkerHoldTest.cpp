// The cooperative hold: while the main thread asks the user something, the
// worker finishes the file in hand and begins no other; the answer decides.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "TreeSnapshot.h"
#include "core/InstallationEngine.h"
#include "core/KitReader.h"
#include "core/WorkerChannel.h"
#include "kit/KitTestUtil.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::PutFile;
using enginetest::Tree;
using namespace std::chrono_literals;

const FileTime kOld = FileTimeFromUnix(1500000000, 0), kKit = FileTimeFromUnix(1600000000, 0);

Tree TakeSnapshot(const std::string& root) { return enginetest::SnapshotOf(root); }

// Workspaces left in the temporary directory.
size_t Workspaces() {
  std::u16string temp;
  GetTempDirectory(temp);
  size_t count = 0;
  for (const std::string& name : test::ListDir(Utf16ToUtf8(temp))) count += name.rfind("v8stp", 0) == 0;
  return count;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(WorkerHold, TheWorkerWaitsUntilReleasedAndOnlyThen) {
  WorkerChannel channel;
  channel.Start(nullptr, u"/x");
  channel.WaitWhileHeld();  // nobody holds it: returns at once
  channel.HoldWorker();
  std::atomic<bool> passed{false};
  std::thread worker([&] {
    channel.WaitWhileHeld();
    passed = true;
  });
  ASSERT_TRUE(WaitFor([&] { return channel.IsWorkerHeld(); }));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(passed);
  channel.ReleaseWorker();
  worker.join();
  EXPECT_TRUE(passed);
  EXPECT_FALSE(channel.IsWorkerHeld());
}

TEST(WorkerHold, AnErrorHoldsTheWorkerOnlyWhenTheFrontEndAskedForIt) {
  WorkerChannel channel;
  channel.Start(nullptr, u"/x", /*holdAfterError=*/false);
  channel.Publish(5, u"Installation error", 10);
  channel.WaitWhileHeld();  // would hang if held
  channel.Start(nullptr, u"/x", /*holdAfterError=*/true);
  channel.Publish(0, u"/x/a", 10);
  channel.WaitWhileHeld();  // no error yet
  channel.Publish(5, u"Installation error", 10);
  std::atomic<bool> passed{false};
  std::thread worker([&] {
    channel.WaitWhileHeld();
    passed = true;
  });
  ASSERT_TRUE(WaitFor([&] { return channel.IsWorkerHeld(); }));
  EXPECT_FALSE(passed);
  channel.ReleaseWorker();
  worker.join();
}

class HeldRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_ / "source";
    target_ = dir_ / "templates";
    for (int i = 0; i < 8; ++i) {
      PutFile(source_ + "/f" + std::to_string(i) + ".txt", "new " + std::to_string(i), kKit);
    }
    // One older file the run replaces, so a rollback has something to restore.
    PutFile(target_ + "/f0.txt", "mine", kOld);
    kittest::PackTree(source_, dir_ / "orvikv8.okd");
    ASSERT_EQ(kit_.Read(dir_.Wide("orvikv8.okd")), 0u);
    before_ = TakeSnapshot(target_);
  }

  // Runs the engine on its own thread; the main thread holds it after the
  // entry `holdAfter` is installed, as the cancel question does.
  void StartRun(size_t holdAfter) {
    settings_.completionPause = 0ms;
    settings_.onEntryDone = [this, holdAfter](size_t index, FileAction) {
      if (index == holdAfter) {
        channel_.HoldWorker();
        reached_ = true;
      }
    };
    channel_.Start(&kit_, Utf8ToUtf16(test::NativePath(target_)));
    worker_ = std::thread([this] { result_ = RunInstallation(channel_, settings_); });
  }

  // The state while the question is open: the worker has stopped, and no
  // file changes however long the user takes to answer.
  void ExpectNothingWrittenWhileHeld() {
    ASSERT_TRUE(WaitFor([&] { return channel_.IsWorkerHeld(); }));
    const Tree during = TakeSnapshot(target_);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(TakeSnapshot(target_), during);
    EXPECT_EQ(result_.load(), kPending);
  }

  static constexpr ErrorCode kPending = 0xFFFFFFFF;
  test::ScratchDir dir_;
  std::string source_, target_;
  KitReader kit_;
  WorkerChannel channel_;
  EngineSettings settings_;
  std::thread worker_;
  std::atomic<bool> reached_{false};
  std::atomic<ErrorCode> result_{kPending};
  Tree before_;
};

TEST_F(HeldRunTest, NoLetsTheRunGoOnToTheEnd) {
  StartRun(2);
  ExpectNothingWrittenWhileHeld();
  channel_.ReleaseWorker();  // answered No
  worker_.join();
  EXPECT_EQ(result_.load(), 0u);
  EXPECT_EQ(test::ReadFile(target_ + "/f0.txt"), "new 0");
  EXPECT_EQ(test::ReadFile(target_ + "/f7.txt"), "new 7");
}

TEST_F(HeldRunTest, YesEndsCancelledWithTheTreeAsItWas) {
  StartRun(2);
  ExpectNothingWrittenWhileHeld();
  channel_.RequestCancel();  // answered Yes
  channel_.ReleaseWorker();
  worker_.join();
  EXPECT_EQ(result_.load(), kErrorCancelled);
  EXPECT_EQ(TakeSnapshot(target_), before_) << enginetest::Differences(TakeSnapshot(target_), before_);
  EXPECT_EQ(Workspaces(), 0u);
}

TEST_F(HeldRunTest, YesDuringTheLastCopiedFileStillCancels) {
  // The question opens as the last file to copy is written and only skipped
  // entries follow: the answer must decide, not the race with the run's end.
  worker_ = std::thread();
  PutFile(target_ + "/f6.txt", "newer", kKit + 10);
  PutFile(target_ + "/f7.txt", "newer", kKit + 10);
  ASSERT_EQ(TakeSnapshot(target_).size(), 3u);
  before_ = TakeSnapshot(target_);
  StartRun(kit_.Files().size() - 3);
  ExpectNothingWrittenWhileHeld();
  channel_.RequestCancel();
  channel_.ReleaseWorker();
  worker_.join();
  EXPECT_EQ(result_.load(), kErrorCancelled);
  EXPECT_EQ(TakeSnapshot(target_), before_) << enginetest::Differences(TakeSnapshot(target_), before_);
}

}  // namespace
}  // namespace setup
