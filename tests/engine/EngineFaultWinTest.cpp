// Every Win32 file call of an installation, failed in turn through the file
// layer's test hook: each run either succeeds with exactly the expected tree,
// or fails and leaves the template directory exactly as it was (contents,
// times, read-only marks), with no workspace and nothing stray left in the
// temporary directory. The Linux build does the same with LD_PRELOAD
// (EngineFaultTest.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FileCallFaults.h"
#include "TestSupport.h"
#include "TreeSnapshot.h"
#include "WinFiles.h"
#include "core/InstallationEngine.h"
#include "core/KitReader.h"
#include "core/WorkerChannel.h"
#include "kit/KitTestUtil.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::Differences;
using enginetest::PutFile;
using enginetest::SnapshotOf;
using enginetest::Tree;

constexpr uint64_t kOld = 130000000000000001ULL, kKit = 132000000001234567ULL, kNew = 134000000007654321ULL;

class EngineFaultsWin : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_ / "tmp";
    test::MakeDirs(tmp_);
    tmpScope_ = std::make_unique<test::ScopedTemporaryDirectory>(tmp_);
    // Ten files: three the target holds older (one of them read-only), two it
    // holds newer, five it lacks, some of those in folders it lacks too.
    const std::string source = dir_ / "source";
    PutFile(source + "\\old\\a.cfg", "kit a" + std::string(70000, 'a'), kKit);
    PutFile(source + "\\old\\sub\\b.cfg", "kit b", kKit);
    PutFile(source + "\\c.cfg", "kit c", kKit);
    PutFile(source + "\\newer\\d.cfg", "kit d", kKit);
    PutFile(source + "\\newer\\e.cfg", "kit e", kKit);
    PutFile(source + "\\old\\f.txt", "kit f", kKit);
    PutFile(source + "\\fresh\\g.txt", "kit g", kKit);
    PutFile(source + "\\fresh\\deep\\er\\h.txt", "kit h" + std::string(200000, 'h'), kKit);
    PutFile(source + "\\fresh\\deep\\i.txt", "", kKit);
    PutFile(source + "\\Шаблон.txt", "kit j", kKit);
    pristine_ = dir_ / "pristine";
    PutFile(pristine_ + "\\old\\a.cfg", "older a", kOld);
    PutFile(pristine_ + "\\old\\sub\\b.cfg", "older b", kOld);
    PutFile(pristine_ + "\\c.cfg", "older c", kOld);
    PutFile(pristine_ + "\\newer\\d.cfg", "newer d", kNew);
    PutFile(pristine_ + "\\newer\\e.cfg", "newer e", kNew);
    PutFile(pristine_ + "\\user\\own.txt", "the user's own", kOld);
    ASSERT_TRUE(test::SetReadOnly(pristine_ + "\\old\\sub\\b.cfg"));
    kittest::PackTree(source, dir_ / "orvikv8.okd");
    ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "orvikv8.okd")), 0u);
    ASSERT_EQ(kit_.Files().size(), 10u);
    image_ = test::ListDir(tmp_);
    ASSERT_EQ(image_.size(), 1u);  // the kit's image, and nothing else
  }
  void TearDown() override {
    kit_.Close();
    tmpScope_.reset();
  }

  void Reset(const std::string& target) {
    test::RemoveTree(target);
    enginetest::CopyTreeWithTimes(pristine_, target);
  }

  // Walks every call of a run of `target`, with each of the codes.
  void Walk(const std::string& target) {
    // A first run makes the user's folder that holds pointers to workspaces
    // beside the templates, which every later run finds there. Another test
    // of the same user may run meanwhile and make or remove that folder; a
    // file of the walk's own keeps it there, so that every run of the walk
    // makes the same calls.
    {
      WorkerChannel channel;
      channel.Start(&kit_, Utf8ToUtf16(target));
      Reset(target);
      EngineSettings settings;
      settings.completionPause = std::chrono::milliseconds(0);
      ASSERT_EQ(RunInstallation(channel, settings), 0u);
    }
    const std::string pointers = Utf16ToUtf8(RunPointerFolder());
    test::MakeDirs(pointers);
    test::WriteFile(pointers + "walk-anchor", "");
    struct Anchor {
      std::string file;
      ~Anchor() {
        DeleteFileW(reinterpret_cast<const wchar_t*>(Utf8ToUtf16(file).c_str()));
        RemoveDirectoryW(reinterpret_cast<const wchar_t*>(Utf8ToUtf16(file.substr(0, file.rfind('\\'))).c_str()));
      }
    } anchor{pointers + "walk-anchor"};
    Reset(target);
    const Tree before = SnapshotOf(target);
    long calls = 0;
    Tree expected;
    {
      WorkerChannel channel;
      channel.Start(&kit_, Utf8ToUtf16(target));
      EngineSettings settings;
      settings.completionPause = std::chrono::milliseconds(0);
      test::FileCallFaults count(0, 0);
      ASSERT_EQ(RunInstallation(channel, settings), 0u);
      calls = count.Calls();
    }
    expected = SnapshotOf(target);
    ASSERT_NE(expected, before);
    ASSERT_EQ(expected.at("c.cfg").content, "kit c");
    ASSERT_EQ(expected.at("newer/d.cfg").content, "newer d");
    ASSERT_GT(calls, 30);

    long injected = 0, succeeded = 0, failed = 0;
    // An I/O error, a full disk, and another program's open handle.
    for (const DWORD code : {DWORD{ERROR_IO_DEVICE}, DWORD{ERROR_DISK_FULL}, DWORD{ERROR_SHARING_VIOLATION}}) {
      for (long nth = 1; nth <= calls; ++nth) {
        Reset(target);
        ErrorCode result = 0;
        std::string failedCall, trace;
        {
          WorkerChannel channel;
          channel.Start(&kit_, Utf8ToUtf16(target));
          EngineSettings settings;
          settings.completionPause = std::chrono::milliseconds(0);
          test::FileCallFaults faults(nth, code);
          result = RunInstallation(channel, settings);
          failedCall = faults.Failed();
          trace = faults.Trace();
        }
        ASSERT_NE(failedCall, "-") << "call " << nth << " was not reached; the run made: " << trace;
        ++injected;
        const std::string where = "code " + std::to_string(code) + ", call " + std::to_string(nth) + " (" +
                                  failedCall + "), run result " + std::to_string(result);
        const Tree after = SnapshotOf(target);
        if (result == 0) {
          ++succeeded;
          EXPECT_EQ(after, expected) << where << Differences(expected, after);
        } else {
          ++failed;
          EXPECT_EQ(after, before) << where << Differences(before, after);
        }
        // Nothing left in the temporary directory either way: no workspace,
        // no half-made copy; the kit's image is all there is.
        EXPECT_EQ(test::ListDir(tmp_), image_) << where;
        for (const std::string& name : test::ListDir(tmp_)) {
          if (name != image_[0]) test::RemoveTree(tmp_ + "\\" + name);
        }
      }
    }
    std::printf("[ faults   ] %ld calls per run, %ld faults injected: %ld runs succeeded, %ld rolled back\n", calls,
                injected, succeeded, failed);
    EXPECT_EQ(injected, 3 * calls);
    EXPECT_GT(failed, calls);
  }

  test::ScratchDir dir_;
  std::string tmp_, pristine_;
  std::vector<std::string> image_;
  std::unique_ptr<test::ScopedTemporaryDirectory> tmpScope_;
  KitReader kit_;
};

TEST_F(EngineFaultsWin, EveryFailedCallLeavesTheTreeWholeOrFullyInstalled) { Walk(dir_ / "target"); }

// The same walk with the templates on drive D:, so that every move between
// the workspace and the templates goes between two drives (and, with D: on
// another file system, through the copy that replaces a rename there).
TEST_F(EngineFaultsWin, EveryFailedCallAcrossTwoDrivesLeavesTheTreeWholeOrFullyInstalled) {
  test::DriveDScratch driveD;
  if (driveD.Path().empty()) GTEST_SKIP() << "no drive D: (scripts/wine-env maps one to a scratch directory)";
  Walk(driveD.Path() + "\\target");
}

// A rollback that cannot list the workspace must not take the listing for
// complete: the workspace holds the only copies of the replaced files.
TEST_F(EngineFaultsWin, ARollbackThatCannotReadTheWorkspaceKeepsIt) {
  const std::string target = dir_ / "target";
  Reset(target);
  ErrorCode result = 0;
  {
    WorkerChannel channel;
    channel.Start(&kit_, Utf8ToUtf16(target));
    EngineSettings settings;
    settings.completionPause = std::chrono::milliseconds(0);
    // Cancelled once all three older files are replaced; the rollback's first
    // listing of the workspace (the run itself lists nothing) fails.
    settings.onEntryDone = [&](size_t index, FileAction) {
      if (index + 1 == kit_.Files().size()) channel.RequestCancel();
    };
    test::FileCallFaults faults(1, ERROR_ACCESS_DENIED, "FindFirstFileW");
    result = RunInstallation(channel, settings);
    ASSERT_EQ(faults.Failed(), "FindFirstFileW");
  }
  EXPECT_EQ(result, kErrorCancelled);
  // Every one of the user's files is somewhere: back in place, or still in
  // the workspace, which is left where the user can find it.
  int kept = 0;
  const std::pair<const char*, const char*> mine[] = {
      {"old\\a.cfg", "older a"}, {"old\\sub\\b.cfg", "older b"}, {"c.cfg", "older c"}};
  for (const auto& [name, content] : mine) {
    const bool inPlace = test::ReadFile(target + "\\" + name) == content;
    const std::string saved = tmp_ + "\\v8stp0\\saved\\" + name;
    const bool inWorkspace = test::Exists(saved) && test::ReadFile(saved) == content;
    EXPECT_TRUE(inPlace || inWorkspace) << name << " is lost";
    kept += inWorkspace;
  }
  EXPECT_GT(kept, 0) << "the failed listing should have kept the workspace";
}

}  // namespace
}  // namespace setup
