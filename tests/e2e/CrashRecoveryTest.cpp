// A silent run killed with SIGKILL at many moments of a 1 200-file
// installation, then setup started again without its kit, so that all it can
// do is recover and end with status 3: the template directory must be exactly
// the old tree, or exactly the new one when the dead run had finished, and
// nothing of the dead run may be left in the temporary directory. A run that
// is alive (stopped half-way) must be left alone by a second start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include "../engine/EngineTestUtil.h"
#include "TestSupport.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::PutFile;
using enginetest::Snapshot;
using enginetest::TakeSnapshot;

constexpr int64_t kOld = 1500000000, kKit = 1600000000, kNew = 1700000000;
constexpr int kKilled = 128 + SIGKILL;
// The calls a kill may land before: every change a run makes, and its reads
// of the kit's data.
constexpr char kWatched[] = "open,write,rename,mkdir,unlink,rmdir,syncfs,fsync,mkstemp,ftruncate,futimens";

class CrashRecovery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    umask(022);
    root_ = new test::ScratchDir;
    const std::string source = *root_ / "source", old = *root_ / "old";
    // 1 200 kit files: 500 the target holds older (with assorted modes), 200
    // it holds newer, 500 it lacks, half of those in folders it lacks too;
    // and files of the user's own the kit does not name.
    for (int i = 0; i < 1200; ++i) {
      const std::string n = std::to_string(i);
      const std::string data(1000 + (i * 37) % 1500, static_cast<char>('a' + i % 26));
      if (i < 500) {
        const std::string name = "/area" + std::to_string(i % 10) + "/old" + n + ".cfg";
        PutFile(source + name, "kit " + n + data, kKit);
        PutFile(old + name, "older " + n, kOld, i * 1000);
        chmod((old + name).c_str(), i % 3 == 0 ? 0600 : i % 3 == 1 ? 0644 : 0664);
      } else if (i < 700) {
        const std::string name = "/area" + std::to_string(i % 10) + "/newer" + n + ".cfg";
        PutFile(source + name, "kit " + n, kKit);
        PutFile(old + name, "newer " + n, kNew);
      } else if (i < 950) {
        PutFile(source + "/area" + std::to_string(i % 10) + "/fresh" + n + ".txt", "fresh " + n + data, kKit);
      } else {
        PutFile(source + "/new" + std::to_string(i % 5) + "/deep/f" + n + ".txt", "fresh " + n + data, kKit);
      }
    }
    PutFile(old + "/user/own.txt", "the user's own", kOld);
    PutFile(old + "/area1/mine.txt", "mine too", kOld);
    enginetest::PackKit(source, *root_ / "orvikv8.okd");
  }
  static void TearDownTestSuite() { delete root_; }

  void SetUp() override {
    home_ = dir_ / "home";
    tmp_ = dir_ / "tmp";
    app_ = dir_ / "app";
    target_ = home_ + "/.orvikv8/Orvik/orvikv8/tmplts";
    for (const std::string& d : {home_, tmp_, app_}) test::MakeDirs(d);
    test::WriteFile(app_ + "/setup", test::ReadFile(SETUP_BINARY));
    chmod((app_ + "/setup").c_str(), 0755);
    Reset();
  }

  // The old tree in place, the kit beside the program, an empty TMPDIR.
  void Reset() {
    test::RemoveTree(home_);
    test::MakeDirs(home_);
    enginetest::CopyTree(*root_ / "old", target_);
    test::RemoveTree(tmp_);
    test::MakeDirs(tmp_);
    test::WriteFile(app_ + "/orvikv8.okd", test::ReadFile(*root_ / "orvikv8.okd"));
  }

  std::map<std::string, std::string> Env() const {
    return {{"HOME", home_}, {"TMPDIR", tmp_}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"LANG", "C.UTF-8"}};
  }

  // A silent run under the fault library: `nth` of `functions` raises `signal`.
  test::FaultRun Run(long nth, const std::string& functions, int signal,
                     const std::string& rules = "") {
    std::map<std::string, std::string> env = Env();
    env["FAULTINJECT_SIGNAL"] = std::to_string(signal);
    if (!rules.empty()) env["FAULTINJECT_RULES"] = rules;
    return test::RunWithFault({app_ + "/setup", "-S"}, nth, 0, functions, env);
  }

  // setup started again with its kit gone: it can only recover.
  test::ProcessResult Restart() {
    std::remove((app_ + "/orvikv8.okd").c_str());
    return test::RunProcess({app_ + "/setup", "-S"}, Env());
  }

  test::ScratchDir dir_;
  std::string home_, tmp_, app_, target_;
  static test::ScratchDir* root_;
};

test::ScratchDir* CrashRecovery::root_ = nullptr;

struct Trial {
  std::string moment;
  std::string functions;
  long nth;
  std::string rules;  // a cancel (SIGTERM) first, for kills in the rollback
};

TEST_F(CrashRecovery, AKilledRunIsUndoneOrKeptWholeAtTheNextStart) {
  const Snapshot old = TakeSnapshot(target_);
  // A clean run tells the new tree and how many calls a run makes.
  const test::FaultRun clean = Run(0, kWatched, SIGKILL);
  ASSERT_EQ(clean.process.status, 0) << clean.process.err;
  const Snapshot installed = TakeSnapshot(target_);
  ASSERT_NE(installed, old);
  ASSERT_TRUE(test::ListDir(tmp_).empty());
  ASSERT_GT(clean.calls, 3000);
  // The same for one cancelled by SIGTERM before its 250th move aside.
  Reset();
  const std::string cancel = "rename:250:-" + std::to_string(SIGTERM);
  const test::FaultRun cancelled = Run(0, "rename", SIGKILL, cancel);
  ASSERT_EQ(cancelled.process.status, 2) << cancelled.process.err;
  ASSERT_EQ(TakeSnapshot(target_), old);
  const long renamesWhenCancelled = cancelled.calls;
  const test::FaultRun cancelledUnlinks = [&] {
    Reset();
    return Run(0, "unlink", SIGKILL, cancel);
  }();

  std::vector<Trial> trials;
  // Unpacking the kit: its first writes go to the image.
  // The image of about 2 MB goes in eight or nine pieces of 256 KiB.
  for (long n : {1, 2, 4, 7}) trials.push_back({"unpacking", "write", n, ""});
  // Moving aside and writing, spread over the whole run.
  for (int k = 1; k <= 24; ++k) trials.push_back({"spread", kWatched, clean.calls * k / 25, ""});
  for (long n : {1, 100, 499}) trials.push_back({"moving aside", "rename", n, ""});
  // The flush of the installed files: not done yet, so the old tree.
  trials.push_back({"final flush", "syncfs", 1, ""});
  // Once the "done" record is written (its flush follows), and while the
  // workspace is removed after it, the new tree stays.
  trials.push_back({"after done", "fsync", 2, ""});
  // The run's first deletion is the kit image's, before the flush; the
  // workspace's come after "done".
  for (long n : {2, 250, 499}) trials.push_back({"after done", "unlink", n, ""});
  // Rolling back after a cancel: moving the saved files back, deleting the
  // new files and folders, removing the workspace. The signal stops the run
  // as soon as the file it came in has been written, so the calls of the
  // rollback that follows are the same from run to run: 250 files were moved
  // aside, and renames 251 to 500 move them back.
  ASSERT_EQ(renamesWhenCancelled, 500);
  for (long n : {251, 350, 420, 500}) trials.push_back({"rollback moves", "rename", n, cancel});
  for (long n : {1L, cancelledUnlinks.calls / 2, cancelledUnlinks.calls}) {
    trials.push_back({"rollback deletions", "unlink", n, cancel});
  }

  std::map<std::string, std::map<std::string, int>> outcomes;
  for (const Trial& trial : trials) {
    Reset();
    const std::string where = trial.moment + ": " + trial.functions + " #" + std::to_string(trial.nth);
    const test::FaultRun dead = Run(trial.nth, trial.functions, SIGKILL, trial.rules);
    ASSERT_EQ(dead.process.status, kKilled) << where << " was not killed: " << dead.process.err;
    const test::ProcessResult again = Restart();
    EXPECT_EQ(again.status, 3) << where << again.err;
    const Snapshot after = TakeSnapshot(target_);
    const bool isOld = after == old, isNew = after == installed;
    EXPECT_TRUE(isOld || isNew) << where << enginetest::Describe(after, old);
    if (trial.moment == "after done") {
      EXPECT_TRUE(isNew) << where;
    } else if (trial.moment != "spread") {
      EXPECT_TRUE(isOld) << where;
    }
    const std::vector<std::string> left = test::ListDir(tmp_);
    EXPECT_TRUE(left.empty()) << where << " left " << (left.empty() ? "" : left.front());
    ++outcomes[trial.moment][isOld ? "old" : isNew ? "new" : "mixed"];
  }
  std::printf("[ crashes  ] %zu kills of a 1200-file run (%ld watched calls):\n", trials.size(), clean.calls);
  for (const auto& [moment, counts] : outcomes) {
    std::printf("[ crashes  ]   %-18s", moment.c_str());
    for (const auto& [tree, count] : counts) std::printf(" %s tree %d", tree.c_str(), count);
    std::printf("\n");
  }
}

TEST_F(CrashRecovery, AKilledRecoveryIsRecoveredTheSameWay) {
  const Snapshot old = TakeSnapshot(target_);
  // A run dies before its 300th move aside; the start after it dies too, at
  // a move back or a deletion of its recovery; a third start finishes.
  std::vector<std::pair<std::string, long>> kills = {{"rename", 1}, {"rename", 150}, {"rename", 298},
                                                     {"unlink", 1}, {"unlink", 100}, {"unlink", 160}};
  for (const auto& [function, nth] : kills) {
    Reset();
    const std::string where = "recovery killed at " + function + " #" + std::to_string(nth);
    ASSERT_EQ(Run(300, "rename", SIGKILL).process.status, kKilled);
    std::remove((app_ + "/orvikv8.okd").c_str());
    const test::FaultRun recovering = Run(nth, function, SIGKILL);
    ASSERT_EQ(recovering.process.status, kKilled) << where << recovering.process.err;
    const test::ProcessResult again = Restart();
    EXPECT_EQ(again.status, 3) << where << again.err;
    EXPECT_EQ(TakeSnapshot(target_), old) << where << enginetest::Describe(TakeSnapshot(target_), old);
    EXPECT_TRUE(test::ListDir(tmp_).empty()) << where;
  }
}

// Waits until the process has stopped itself (state T in /proc).
bool WaitUntilStopped(int pid) {
  for (int i = 0; i < 3000; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(CrashRecovery, ALiveRunsWorkspaceAndImageAreLeftAlone) {
  // The first run stops itself before its 300th move aside, locks held.
  std::map<std::string, std::string> env = Env();
  for (auto& [name, value] : test::PreloadEnvironment(test::FaultInjectionLibrary())) env[name] = value;
  env["FAULTINJECT_FUNC"] = "rename";
  env["FAULTINJECT_NTH"] = "300";
  env["FAULTINJECT_SIGNAL"] = std::to_string(SIGSTOP);
  const int pid = test::StartProcess({app_ + "/setup", "-S"}, env, dir_ / "out", dir_ / "err");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitUntilStopped(pid));
  const std::vector<std::string> during = test::ListDir(tmp_);
  ASSERT_EQ(during.size(), 2u);  // the workspace and the kit image
  const Snapshot tree = TakeSnapshot(target_), workspace = TakeSnapshot(tmp_);

  // A second start meanwhile, without a kit of its own.
  const std::string other = dir_ / "other";
  test::MakeDirs(other);
  test::WriteFile(other + "/setup", test::ReadFile(SETUP_BINARY));
  chmod((other + "/setup").c_str(), 0755);
  const test::ProcessResult second = test::RunProcess({other + "/setup", "-S"}, Env());
  EXPECT_EQ(second.status, 3) << second.err;
  EXPECT_EQ(test::ListDir(tmp_), during);
  EXPECT_EQ(TakeSnapshot(tmp_), workspace);
  EXPECT_EQ(TakeSnapshot(target_), tree);
  // A second run into the same directory, with a temporary directory of its
  // own, stops before it changes anything and says why.
  const std::string otherTmp = dir_ / "tmp2";
  test::MakeDirs(otherTmp);
  test::WriteFile(other + "/orvikv8.okd", test::ReadFile(*root_ / "orvikv8.okd"));
  std::map<std::string, std::string> otherEnv = Env();
  otherEnv["TMPDIR"] = otherTmp;
  const test::ProcessResult racing = test::RunProcess({other + "/setup", "-S"}, otherEnv);
  EXPECT_EQ(racing.status, 1) << racing.err;
  EXPECT_EQ(racing.err, "Another installation into this template directory is in progress. Wait until it has "
                        "ended, then try again.\n");
  EXPECT_EQ(TakeSnapshot(target_), tree);
  EXPECT_TRUE(test::ListDir(otherTmp).empty());

  // The first run goes on and finishes as if nothing had happened.
  kill(pid, SIGCONT);
  EXPECT_EQ(test::WaitProcess(pid, 120), 0) << test::ReadFile(dir_ / "err");
  EXPECT_TRUE(test::ListDir(tmp_).empty());
  const Snapshot finished = TakeSnapshot(target_);
  Reset();
  const test::ProcessResult clean = test::RunProcess({app_ + "/setup", "-S"}, Env());
  ASSERT_EQ(clean.status, 0) << clean.err;
  EXPECT_EQ(finished, TakeSnapshot(target_));
}

// A termination signal that arrives just before the final flush, or during
// it, still cancels the run: nothing is installed until "done".
TEST_F(CrashRecovery, ASignalBeforeTheFinalFlushCancelsTheRun) {
  const Snapshot old = TakeSnapshot(target_);
  const test::FaultRun run = Run(0, "syncfs", SIGKILL, "syncfs:1:-" + std::to_string(SIGTERM));
  EXPECT_EQ(run.process.status, 2) << run.process.err;
  EXPECT_EQ(TakeSnapshot(target_), old) << enginetest::Describe(TakeSnapshot(target_), old);
  EXPECT_TRUE(test::ListDir(tmp_).empty());
}

}  // namespace
}  // namespace setup
