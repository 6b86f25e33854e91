// Power cuts, simulated. The "disk" is ext4 on a loop device whose backing
// file lives in /dev/shm. A silent run is stopped (SIGSTOP) at a counted
// call; the device is made read-only, so that nothing written after that
// moment lands; the backing file is copied as the disk would be found after
// the cut, checked with e2fsck as a boot checks it, and mounted where the
// original was; a tmpfs temporary directory is emptied (the reboot); then
// setup starts once without its kit, so that all it can do is recover. The
// template directory must then be exactly the old tree or exactly the new.
// Needs root and loop devices; skipped without them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <optional>

#include "../engine/EngineTestUtil.h"
#include "TestSupport.h"

namespace setup {
namespace {

using enginetest::PutFile;
using enginetest::Snapshot;
using enginetest::TakeSnapshot;

constexpr int64_t kOld = 1500000000, kKit = 1600000000, kNew = 1700000000;

// A system tool's full path; the tests start programs without a shell.
std::string SystemTool(const std::string& name) {
  for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    if (access((folder + name).c_str(), X_OK) == 0) return folder + name;
  }
  return name;
}

test::ProcessResult RunTool(std::vector<std::string> argv) {
  argv[0] = SystemTool(argv[0]);
  return test::RunProcess(argv, {});
}

// A tool of the system, run to its end; its output when it fails.
bool Tool(const std::vector<std::string>& argv, std::string* out = nullptr, int okBelow = 1) {
  const test::ProcessResult r = RunTool(argv);
  if (out) *out = r.out;
  if (r.status < 0 || r.status >= okBelow) {
    ADD_FAILURE() << argv[0] << " " << argv.back() << ": status " << r.status << "\n" << r.out << r.err;
    return false;
  }
  return true;
}

// The disk: an image file attached to a loop device and mounted.
class LoopDisk {
 public:
  LoopDisk(std::string image, std::string mountPoint) : image_(std::move(image)), mount_(std::move(mountPoint)) {}
  ~LoopDisk() { Detach(); }

  bool Format(int megabytes) {
    return Tool({"truncate", "-s", std::to_string(megabytes) + "M", image_}) &&
           Tool({"mkfs.ext4", "-q", "-F", image_});
  }
  bool Attach() {
    std::string device;
    if (!Tool({"losetup", "--find", "--show", image_}, &device)) return false;
    device_ = device.substr(0, device.find('\n'));
    mounted_ = Tool({"mount", "-t", "ext4", device_, mount_});
    return mounted_;
  }
  // The cut: from now on nothing reaches the image; the copy holds what had.
  bool CutInto(const std::string& copy) {
    return Tool({"blockdev", "--setro", device_}) && Tool({"cp", "--sparse=always", image_, copy});
  }
  void Detach() {
    if (mounted_) RunTool({"umount", mount_});
    mounted_ = false;
    if (!device_.empty()) {
      RunTool({"blockdev", "--setrw", device_});
      RunTool({"losetup", "-d", device_});
    }
    device_.clear();
  }

 private:
  std::string image_, mount_, device_;
  bool mounted_ = false;
};

// Why a loop device cannot be made, formatted, attached and mounted here
// (a container without the rights, say); empty when it can.
std::string LoopDevicesUnusable() {
  char dir[] = "/dev/shm/setup-loop-probe-XXXXXX";
  if (!mkdtemp(dir)) return "no /dev/shm";
  const std::string image = std::string(dir) + "/probe.img", mount = std::string(dir) + "/mnt";
  std::string why;
  mkdir(mount.c_str(), 0700);
  if (RunTool({"truncate", "-s", "8M", image}).status != 0 || RunTool({"mkfs.ext4", "-q", "-F", image}).status != 0) {
    why = "cannot make an ext4 image";
  } else {
    const test::ProcessResult attached = RunTool({"losetup", "--find", "--show", image});
    const std::string device = attached.out.substr(0, attached.out.find('\n'));
    if (attached.status != 0 || device.empty()) {
      why = "cannot attach a loop device: " + attached.err;
    } else {
      if (RunTool({"mount", "-t", "ext4", device, mount}).status != 0) {
        why = "cannot mount a loop device";
      } else {
        RunTool({"umount", mount});
      }
      RunTool({"losetup", "-d", device});
    }
  }
  test::RemoveTree(dir);
  return why;
}

enum class TempPlace { SameDisk, Tmpfs };
enum class Expect { Old, New };

// Where the power fails: just before call `nth` of `function`.
struct Cut {
  std::string function;
  long nth;
  bool committed = false;
  std::string rules = "";
};

struct Trial {
  std::string moment;
  Cut cut;
  TempPlace temp;
  Expect expect;
  std::optional<Cut> recoveryCut = std::nullopt;
};

class PowerCut : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    umask(022);
    root_ = new test::ScratchDir;
    const std::string source = *root_ / "source", old = *root_ / "old";
    // 240 kit files: 100 the target holds older, 40 it holds newer, 100 it
    // lacks (half of them in folders it lacks), and two files of the user's.
    for (int i = 0; i < 240; ++i) {
      const std::string n = std::to_string(i), area = "/area" + std::to_string(i % 5);
      const std::string data(500 + (i * 37) % 3000, static_cast<char>('a' + i % 26));
      if (i < 100) {
        PutFile(source + area + "/old" + n + ".cfg", "kit " + n + data, kKit);
        PutFile(old + area + "/old" + n + ".cfg", "older " + n + data, kOld);
      } else if (i < 140) {
        PutFile(source + area + "/newer" + n + ".cfg", "kit " + n, kKit);
        PutFile(old + area + "/newer" + n + ".cfg", "newer " + n, kNew);
      } else if (i < 190) {
        PutFile(source + area + "/fresh" + n + ".txt", "fresh " + n + data, kKit);
      } else {
        PutFile(source + "/new" + std::to_string(i % 3) + "/f" + n + ".txt", "fresh " + n + data, kKit);
      }
    }
    PutFile(old + "/user/own.txt", "the user's own", kOld);
    PutFile(old + "/area1/mine.txt", "mine too", kOld);
    enginetest::PackKit(source, *root_ / "orvikv8.okd");
  }
  static void TearDownTestSuite() { delete root_; }

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and mounts";
    if (access("/dev/loop-control", F_OK) != 0) GTEST_SKIP() << "no loop devices";
    if (access(SystemTool("mkfs.ext4").c_str(), X_OK) != 0) GTEST_SKIP() << "no mkfs.ext4 (e2fsprogs)";
    static const std::string unusable = LoopDevicesUnusable();
    if (!unusable.empty()) GTEST_SKIP() << unusable;
    // The images live in memory, so that copying one is quick.
    char shm[] = "/dev/shm/setup-powercut-XXXXXX";
    ASSERT_NE(mkdtemp(shm), nullptr);
    shm_ = shm;
    mount_ = dir_ / "disk";
    app_ = dir_ / "app";
    test::MakeDirs(mount_);
    test::MakeDirs(app_);
    test::WriteFile(app_ + "/setup", test::ReadFile(SETUP_BINARY));
    chmod((app_ + "/setup").c_str(), 0755);
  }

  void TearDown() override {
    disk_.reset();
    if (!shm_.empty()) test::RemoveTree(shm_);
  }

  std::string Home() const { return mount_ + "/home"; }
  std::string Target() const { return Home() + "/.orvikv8/Orvik/orvikv8/tmplts"; }
  std::string Temp(TempPlace place) const { return place == TempPlace::SameDisk ? mount_ + "/tmp" : shm_ + "/tmp"; }

  std::map<std::string, std::string> Env(TempPlace temp) const {
    return {{"HOME", Home()}, {"TMPDIR", Temp(temp)}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"LANG", "C.UTF-8"}};
  }

  // A fresh disk with the old tree on it, durable, and the kit beside setup.
  bool FreshDisk(TempPlace temp) {
    disk_ = std::make_unique<LoopDisk>(shm_ + "/disk.img", mount_);
    if (!disk_->Format(64) || !disk_->Attach()) return false;
    enginetest::CopyTree(*root_ / "old", Target());
    test::RemoveTree(Temp(temp));
    test::MakeDirs(Temp(temp));
    test::WriteFile(app_ + "/orvikv8.okd", test::ReadFile(*root_ / "orvikv8.okd"));
    return Tool({"sync", "-f", mount_});
  }

  // Starts setup (with its kit when it lies beside it), cuts the power just
  // before call `nth` of `function` (0: once it has ended) and boots the disk
  // again. `rules` are further faults (a cancel, say); with `committed` the
  // file system commits its journal at the cut, as its timer does every few
  // seconds of a long run: every change made so far is then on the disk, the
  // data of files nobody flushed is not.
  bool RunUntilCut(const Cut& cut, TempPlace temp) {
    std::map<std::string, std::string> env = test::PreloadEnvironment(test::FaultInjectionLibrary());
    for (const auto& [name, value] : Env(temp)) env[name] = value;
    env["FAULTINJECT_FUNC"] = cut.function;
    env["FAULTINJECT_NTH"] = std::to_string(cut.nth);
    env["FAULTINJECT_SIGNAL"] = std::to_string(SIGSTOP);
    if (!cut.rules.empty()) env["FAULTINJECT_RULES"] = cut.rules;
    const int pid = test::StartProcess({app_ + "/setup", "-S"}, env, "/dev/null", shm_ + "/run.err");
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, WUNTRACED) != pid) {
      ADD_FAILURE() << "setup did not start";
      return false;
    }
    const bool stopped = WIFSTOPPED(status);
    EXPECT_TRUE(stopped || cut.nth == 0) << cut.function << " #" << cut.nth << " was never reached";
    if (cut.committed) {
      // An fsync commits the file system's journal, not other files' data.
      const int fd = open((mount_ + "/commit").c_str(), O_WRONLY | O_CREAT, 0600);
      EXPECT_TRUE(fd >= 0 && fsync(fd) == 0);
      close(fd);
    }
    const std::string copy = shm_ + "/cut" + std::to_string(++cuts_) + ".img";
    const bool copied = disk_->CutInto(copy);
    if (stopped) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    disk_->Detach();
    if (!copied || !Tool({"e2fsck", "-fy", copy}, nullptr, 4)) return false;
    // The reboot: the copy in the original's place, an empty tmpfs.
    disk_ = std::make_unique<LoopDisk>(copy, mount_);
    if (!disk_->Attach()) return false;
    if (temp == TempPlace::Tmpfs) {
      test::RemoveTree(Temp(temp));
      test::MakeDirs(Temp(temp));
    }
    return true;
  }

  // A run cut as `cut` says on a fresh disk; then setup without its kit, so
  // that all it does is recover, cut first as `recoveryCut` says, when given,
  // and then once more to its end. The tree left.
  Snapshot CutAndRecover(const Cut& cut, TempPlace temp, const std::optional<Cut>& recoveryCut = std::nullopt) {
    if (!FreshDisk(temp) || !RunUntilCut(cut, temp)) return {};
    std::remove((app_ + "/orvikv8.okd").c_str());
    if (recoveryCut && !RunUntilCut(*recoveryCut, temp)) return {};
    const test::ProcessResult again = test::RunProcess({app_ + "/setup", "-S"}, Env(temp));
    EXPECT_EQ(again.status, 3) << again.err;
    const std::vector<std::string> left = test::ListDir(Temp(temp));
    EXPECT_TRUE(left.empty()) << "left in the temporary directory: " << left.front();
    return TakeSnapshot(Target());
  }

  test::ScratchDir dir_;
  std::string shm_, mount_, app_;
  std::unique_ptr<LoopDisk> disk_;
  int cuts_ = 0;
  static test::ScratchDir* root_;
};

test::ScratchDir* PowerCut::root_ = nullptr;

TEST_F(PowerCut, TheTreeIsOldOrNewWhereverThePowerFails) {
  const Snapshot old = TakeSnapshot(*root_ / "old");
  // An uninterrupted run on the disk, cut only after it ended, gives the new tree.
  const Snapshot installed = CutAndRecover({"rename", 0}, TempPlace::SameDisk);
  ASSERT_NE(installed, old);
  ASSERT_EQ(installed.size(), old.size() + 100 + 3);  // the new files and their three new folders

  // A cancel (SIGTERM) before the 40th move aside: the rollback follows.
  const std::string cancel = "rename:40:-" + std::to_string(SIGTERM);
  const Trial trials[] = {
      // Unpacking the kit into its image, before anything else.
      {"unpacking", {"write", 2, true}, TempPlace::SameDisk, Expect::Old},
      {"unpacking", {"write", 2, true}, TempPlace::Tmpfs, Expect::Old},
      {"before the first change", {"fsync", 1}, TempPlace::SameDisk, Expect::Old},
      {"before the first change", {"fsync", 1, true}, TempPlace::Tmpfs, Expect::Old},
      {"writing", {"futimens", 10, true}, TempPlace::SameDisk, Expect::Old},
      {"moving aside", {"rename", 60, true}, TempPlace::SameDisk, Expect::Old},
      {"writing", {"futimens", 120, true}, TempPlace::SameDisk, Expect::Old},
      {"before the final flush", {"syncfs", 1}, TempPlace::SameDisk, Expect::Old},
      {"before the final flush", {"syncfs", 1, true}, TempPlace::SameDisk, Expect::Old},
      {"before the final flush", {"syncfs", 1}, TempPlace::Tmpfs, Expect::Old},
      // The installed files are on the disk, "done" is not yet: its flush is
      // the journal's second (with a temporary directory in memory, the
      // third: the pointer's comes first).
      {"after the final flush", {"fsync", 2, true}, TempPlace::SameDisk, Expect::Old},
      {"after the final flush", {"fsync", 3, true}, TempPlace::Tmpfs, Expect::Old},
      // "done" is flushed; the workspace's removal follows.
      {"after done", {"unlink", 3}, TempPlace::SameDisk, Expect::New},
      {"after done", {"unlink", 3, true}, TempPlace::SameDisk, Expect::New},
      // The rollback of a cancelled run: moving the saved files back, then
      // deleting the new ones.
      {"rolling back", {"rename", 60, true, cancel}, TempPlace::SameDisk, Expect::Old},
      {"rolling back", {"unlink", 20, true, cancel}, TempPlace::SameDisk, Expect::Old},
      // A temporary directory in memory: the replaced files wait beside the
      // templates, found again through a pointer in the user's folder.
      {"moving aside", {"rename", 60, true}, TempPlace::Tmpfs, Expect::Old},
      {"writing", {"futimens", 120, true}, TempPlace::Tmpfs, Expect::Old},
      {"before the final flush", {"syncfs", 1, true}, TempPlace::Tmpfs, Expect::Old},
      {"after done", {"unlink", 3, true}, TempPlace::Tmpfs, Expect::New},
      {"rolling back", {"rename", 60, true, cancel}, TempPlace::Tmpfs, Expect::Old},
      {"recovering", {"rename", 60, true}, TempPlace::Tmpfs, Expect::Old, Cut{"unlink", 30, true}},
      // The recovery after a cut, itself cut while it moves the saved files
      // back and while it deletes the new ones.
      {"recovering", {"rename", 60, true}, TempPlace::SameDisk, Expect::Old, Cut{"rename", 20, true}},
      {"recovering", {"rename", 60, true}, TempPlace::SameDisk, Expect::Old, Cut{"unlink", 30, true}},
  };
  for (const Trial& trial : trials) {
    const std::string where = trial.moment + " (" + trial.cut.function + " #" + std::to_string(trial.cut.nth) +
                              (trial.temp == TempPlace::Tmpfs ? ", tmpfs" : ", same disk") + ")";
    const Snapshot after = CutAndRecover(trial.cut, trial.temp, trial.recoveryCut);
    EXPECT_EQ(after, trial.expect == Expect::Old ? old : installed)
        << where << enginetest::Describe(after, trial.expect == Expect::Old ? old : installed);
  }
}

}  // namespace
}  // namespace setup
