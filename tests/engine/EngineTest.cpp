// The installation engine against real directory trees: what a run installs,
// skips and replaces, what it publishes, and that a cancelled or failed run
// leaves the template directory exactly as it found it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "EngineTestUtil.h"
#include "kit/KitTestUtil.h"
#include "core/InstallationEngine.h"
#include "core/Journal.h"
#include "core/KitReader.h"
#include "core/Recovery.h"
#include "core/WorkerChannel.h"
#include "i18n/Catalogue.h"
#include "platform/FileOps.h"
#include "platform/Text.h"

namespace setup {
namespace {

using enginetest::Node;
using enginetest::PutFile;
using enginetest::Snapshot;
using enginetest::TakeSnapshot;
using enginetest::Workspaces;
using test::ScratchDir;

constexpr int64_t kOld = 1500000000, kKit = 1600000000, kNew = 1700000000;

// Files only, without permission bits: what the kit can describe.
Snapshot FilesOf(const Snapshot& snapshot) {
  Snapshot files;
  for (auto [path, node] : snapshot) {
    if (node.type != 'f') continue;
    node.mode = 0;
    files[path] = node;
  }
  return files;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    tmp_ = std::getenv("TMPDIR");
    source_ = dir_ / "source";
    target_ = dir_ / "templates";
    // Nested folders, non-ASCII names, an empty file; sub-second times.
    PutFile(source_ + "/readme.txt", "Read me\n", kKit, 123456700);
    PutFile(source_ + "/1c/base.cfg", std::string(3 << 20, 'b'), kKit, 500);
    PutFile(source_ + "/1c/Шаблоны/отчёт.xml", "<отчёт/>", kKit, 100);
    PutFile(source_ + "/1c/Шаблоны/empty.dat", "", kKit);
    PutFile(source_ + "/docs/a/b/c/deep.txt", "deep", kKit);
    PutFile(source_ + "/docs/notes.txt", "notes", kKit, 999999900);
  }

  // Packs the source and reads the kit, ready for a run.
  void ReadKit() {
    enginetest::PackKit(source_, dir_ / "orvikv8.okd");
    ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "orvikv8.okd")), 0u);
  }

  ErrorCode Run(const std::string& destination, EngineSettings settings = {}) {
    settings.completionPause = std::chrono::milliseconds(0);
    channel_.Start(&kit_, Utf8ToUtf16(destination));
    return RunInstallation(channel_, settings);
  }

  size_t IndexOf(const std::string& relative) {
    for (size_t i = 0; i < kit_.Files().size(); ++i) {
      std::u16string name(kit_.Files()[i].name);
      for (char16_t& c : name) if (c == u'\\') c = u'/';
      if (name == Utf8ToUtf16(relative)) return i;
    }
    ADD_FAILURE() << relative << " is not in the kit";
    return 0;
  }

  ScratchDir dir_;
  std::string tmp_, source_, target_;
  KitReader kit_;
  WorkerChannel channel_{u"Preparing to copy..."};
};

TEST_F(EngineTest, FreshInstallCreatesTheWholeTreeAndLeavesNoWorkspace) {
  ReadKit();
  // A flush of the file system at the end, with one in the background after
  // every file; or a flush of each file.
  for (bool flushEachFile : {false, true}) {
    test::ScratchDir scratch;
    const std::string target = scratch / "new/templates";
    EngineSettings settings;
    settings.flushEachFile = flushEachFile;
    settings.flushEveryFiles = 1;
    EXPECT_EQ(Run(target, settings), 0u);
    EXPECT_EQ(FilesOf(TakeSnapshot(target)), FilesOf(TakeSnapshot(source_)))
        << enginetest::Describe(FilesOf(TakeSnapshot(target)), FilesOf(TakeSnapshot(source_)));
    EXPECT_EQ(TakeSnapshot(target).at("readme.txt").mode, 0640u);  // 0660 less the umask
    const WorkerStatus status = channel_.ReadStatus();
    EXPECT_EQ(status.code, 0u);
    EXPECT_EQ(status.text, u"Copying complete...");
    EXPECT_EQ(status.percentage, 100u);
    EXPECT_TRUE(Workspaces(tmp_).empty());
  }
}

TEST_F(EngineTest, OnlyOlderFilesAreReplacedAndTheirOldVersionsGoAfterSuccess) {
  ReadKit();
  PutFile(target_ + "/readme.txt", "same time, other bytes", kKit, 123456700);  // as new: stays
  PutFile(target_ + "/docs/notes.txt", "newer", kNew);                         // newer: stays
  PutFile(target_ + "/1c/base.cfg", "older", kOld);                            // older: replaced
  PutFile(target_ + "/1c/Шаблоны/отчёт.xml", "older by 100 ns", kKit, 0);      // older: replaced
  PutFile(target_ + "/mine.txt", "the user's own", kOld);                      // not in the kit
  Snapshot expected = TakeSnapshot(target_);
  for (const char* replaced : {"1c/base.cfg", "1c/Шаблоны/отчёт.xml"}) {
    expected[replaced] = TakeSnapshot(source_).at(replaced);
    expected[replaced].mode = 0640;
  }
  for (const char* created : {"1c/Шаблоны/empty.dat", "docs/a/b/c/deep.txt"}) {
    expected[created] = TakeSnapshot(source_).at(created);
    expected[created].mode = 0640;
  }
  for (const char* directory : {"docs/a", "docs/a/b", "docs/a/b/c"}) expected[directory] = Node{'d', "", 0, 0755};

  // While the run goes on, the replaced file's old version sits in the workspace.
  bool sawSaved = false;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i == IndexOf("1c/base.cfg")) {
      sawSaved = test::ReadFile(tmp_ + "/v8stp0/saved/1c/base.cfg") == "older";
      struct stat st;
      EXPECT_EQ(stat((tmp_ + "/v8stp0").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
  };
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_TRUE(sawSaved);
  EXPECT_EQ(TakeSnapshot(target_), expected) << enginetest::Describe(TakeSnapshot(target_), expected);
  EXPECT_TRUE(Workspaces(tmp_).empty());

  // A second run finds everything up to date and writes nothing.
  const Snapshot installed = TakeSnapshot(target_);
  EXPECT_EQ(Run(target_), 0u);
  EXPECT_EQ(TakeSnapshot(target_), installed);
}

TEST_F(EngineTest, EachEntryPublishesItsTargetAndPercentage) {
  for (int i = 0; i < 4; ++i) PutFile(source_ + "/more/f" + std::to_string(i), "x", kKit);
  ReadKit();
  ASSERT_EQ(kit_.Files().size(), 10u);
  std::vector<WorkerStatus> seen;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t, FileAction) { seen.push_back(channel_.ReadStatus()); };
  EXPECT_EQ(Run(target_ + "/", settings), 0u);
  ASSERT_EQ(seen.size(), 10u);
  for (size_t i = 0; i < seen.size(); ++i) {
    std::u16string name(kit_.Files()[i].name);
    for (char16_t& c : name) if (c == u'\\') c = u'/';
    EXPECT_EQ(seen[i].text, Utf8ToUtf16(target_ + "/") + name);
    EXPECT_EQ(seen[i].percentage, i * 10);
    EXPECT_EQ(seen[i].code, 0u);
  }
}

TEST_F(EngineTest, WorkspaceTakesTheFirstFreeNumber) {
  ReadKit();
  test::MakeDirs(tmp_ + "/v8stp0");
  test::WriteFile(tmp_ + "/v8stp1", "a file counts too");
  std::string during;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t, FileAction) { during = Workspaces(tmp_).back(); };
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_EQ(during, "v8stp2");
  EXPECT_EQ(Workspaces(tmp_), (std::vector<std::string>{"v8stp0", "v8stp1"}));
  RemoveDirectoryTree(Utf8ToUtf16(tmp_ + "/v8stp0"));
  RemoveFile(Utf8ToUtf16(tmp_ + "/v8stp1"));
}

TEST_F(EngineTest, CancelAfterAnyEntryRollsBackEverythingUpToIt) {
  ReadKit();
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  PutFile(target_ + "/docs/notes.txt", "older", kOld);
  PutFile(target_ + "/mine.txt", "mine", kOld);
  const Snapshot before = TakeSnapshot(target_);
  const size_t count = kit_.Files().size();
  for (size_t k = 0; k < count; ++k) {
    EngineSettings settings;
    size_t installed = 0;
    settings.onEntryDone = [&](size_t i, FileAction) {
      ++installed;
      if (i == k) channel_.RequestCancel();
    };
    EXPECT_EQ(Run(target_, settings), kErrorCancelled) << k;
    EXPECT_EQ(installed, k + 1);  // the cancel takes effect right after entry k
    EXPECT_EQ(TakeSnapshot(target_), before) << k << enginetest::Describe(TakeSnapshot(target_), before);
    EXPECT_TRUE(Workspaces(tmp_).empty());
  }
  // Nothing is published for a cancelled run: the last target stays.
  EXPECT_EQ(channel_.ReadStatus().code, 0u);
  EXPECT_NE(channel_.ReadStatus().text, u"Installation error");
}

TEST_F(EngineTest, AKitNamingAFileTwiceNeverLosesTheOriginal) {
  // The same target twice, once per separator, the second copy newer; then
  // a new file named twice.
  kittest::KitModel model;
  model.single = true;
  model.descriptions.push_back({u"en", u"Demo", u"Vendor", u"readme.txt"});
  model.files = {{u"dup/x.cfg", FileTimeFromUnix(kKit, 0), "first"},
                 {u"dup\\x.cfg", FileTimeFromUnix(kKit + 10, 0), "second"},
                 {u"new.cfg", FileTimeFromUnix(kKit, 0), "new one"},
                 {u"new.cfg", FileTimeFromUnix(kKit + 10, 0), "new two"},
                 {u"last.txt", FileTimeFromUnix(kKit, 0), "last"}};
  test::WriteFile(dir_ / "dup.okd", kittest::DeflateRaw(model.Image()));
  ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "dup.okd")), 0u);
  PutFile(target_ + "/dup/x.cfg", "original", kOld);
  const Snapshot before = TakeSnapshot(target_);

  // Cancelled after the last entry: the original comes back, the new file goes.
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) { if (i + 1 == kit_.Files().size()) channel_.RequestCancel(); };
  EXPECT_EQ(Run(target_, settings), kErrorCancelled);
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
  EXPECT_TRUE(Workspaces(tmp_).empty());

  // Completed: the newer copy wins.
  EXPECT_EQ(Run(target_), 0u);
  EXPECT_EQ(test::ReadFile(target_ + "/dup/x.cfg"), "second");
  EXPECT_EQ(test::ReadFile(target_ + "/new.cfg"), "new two");
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// A kit can name thousands of different paths that share one hash, once
// known: the paths named twice, and the folders named like files, are still
// found at once, not by comparing every pair.
TEST(KitNamesTest, NamesBuiltToShareAHashCostNoPairwiseComparison) {
  // Each pair of four units takes unseeded FNV-1a from one state to one
  // state, so every choice of a side per pair gives a different name of the
  // same hash.
  const char16_t sides[][2][4] = {
    {{0x5062, 0xe601, 0x6e77, 0x0001}, {0xf9d3, 0x4afa, 0xa57e, 0x4442}},
    {{0x7776, 0xa085, 0x01d8, 0x0001}, {0xdb2e, 0x2a13, 0x8f17, 0xc302}},
    {{0xe4de, 0xd7a3, 0xe620, 0x0001}, {0x01e7, 0x7308, 0xca54, 0xde3d}},
    {{0x9215, 0x2f40, 0xf2ab, 0x0001}, {0x6b52, 0xf4d4, 0x2388, 0x2ee1}},
    {{0xfc17, 0x140a, 0x6df9, 0x0001}, {0x94de, 0x9d12, 0x429c, 0x1ba1}},
    {{0x8e64, 0x3876, 0x4694, 0x0001}, {0x4234, 0x6ff7, 0x5b47, 0x69a5}},
    {{0x43bf, 0xe58d, 0xd3f5, 0x0001}, {0x3466, 0x5f83, 0x2492, 0x1ae1}},
    {{0xc146, 0x126e, 0xc717, 0x0001}, {0x112e, 0x98c9, 0xae53, 0xabe6}},
    {{0x94c7, 0x6c03, 0x56ad, 0x0001}, {0xa017, 0xe862, 0x4b9e, 0xe8e5}},
    {{0xb4bd, 0x353b, 0x4170, 0x0001}, {0xf88d, 0x71b8, 0x5cc9, 0xe8ed}},
    {{0x21fa, 0x6cd6, 0x66e3, 0x0001}, {0xb6b1, 0x86c2, 0x4900, 0x36a1}},
    {{0x2962, 0xa130, 0x3568, 0x0001}, {0xb0a9, 0x4244, 0x45c7, 0x1661}},
    {{0x3c5a, 0xeb90, 0x8bf1, 0x0001}, {0xd3ba, 0x52d2, 0x9303, 0xf0c9}},
    {{0x81d6, 0x2ed8, 0xacfb, 0x0001}, {0x281f, 0x924c, 0x5f9e, 0x2a61}},
    {{0xe659, 0xd654, 0x1a87, 0x0001}, {0x3628, 0x9495, 0xfbaa, 0xf3f8}}};
  constexpr size_t kPairs = sizeof(sides) / sizeof(sides[0]);
  std::vector<std::u16string> names;
  for (size_t choice = 0; choice < (size_t(1) << kPairs); ++choice) {
    std::u16string name;
    for (size_t pair = 0; pair < kPairs; ++pair) name.append(sides[pair][(choice >> pair) & 1], 4);
    names.push_back(std::move(name));
  }
  names.push_back(names[5]);
  names.push_back(names[12345]);
  std::vector<KitFileEntry> files(names.size());
  for (size_t i = 0; i < names.size(); ++i) files[i].name = names[i];
  auto start = std::chrono::steady_clock::now();
  const std::unordered_map<size_t, size_t> earlier = EarlierSamePath(files);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(earlier, (std::unordered_map<size_t, size_t>{{names.size() - 2, 5}, {names.size() - 1, 12345}}));

  // The same names as folders, each holding a file, and one of them a file too.
  names.resize(names.size() - 2);
  for (std::u16string& name : names) name += u"/f";
  std::vector<std::u16string_view> views(names.begin(), names.end());
  views.push_back(std::u16string_view(names[777]).substr(0, names[777].size() - 2));
  KitNameClash clash;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(CheckFileFolderNames(views, PathStyle::Posix, clash), kErrorInvalidData);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(clash.file, views.size() - 1);
  EXPECT_EQ(clash.inside, 777u);
}

// The "odk" images in the temporary directory.
std::vector<std::string> Images(const std::string& tmp) {
  std::vector<std::string> images;
  for (const std::string& name : test::ListDir(tmp)) {
    if (name.rfind("odk", 0) == 0) images.push_back(name);
  }
  return images;
}

TEST_F(EngineTest, TheImageIsLetGoBeforeTheFlushAndComesBackForAnotherRun) {
  ReadKit();
  ASSERT_EQ(Images(tmp_).size(), 1u);
  size_t imagesDuring = 0;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t, FileAction) { imagesDuring = std::max(imagesDuring, Images(tmp_).size()); };
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_EQ(imagesDuring, 1u);
  EXPECT_TRUE(Images(tmp_).empty());  // gone before the flush, not at the end of the program
  EXPECT_EQ(FilesOf(TakeSnapshot(target_)), FilesOf(TakeSnapshot(source_)));

  // Another run with the same reader inflates the kit again and installs
  // every file that has become older since.
  enginetest::PutFile(target_ + "/1c/base.cfg", "older", kOld);
  enginetest::PutFile(target_ + "/docs/a/b/c/deep.txt", "older", kOld);
  imagesDuring = 0;
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_EQ(imagesDuring, 1u);
  EXPECT_EQ(FilesOf(TakeSnapshot(target_)), FilesOf(TakeSnapshot(source_)))
      << enginetest::Describe(FilesOf(TakeSnapshot(target_)), FilesOf(TakeSnapshot(source_)));
  EXPECT_TRUE(Images(tmp_).empty());

  // Flushing file by file needs no flush of the file system, so the image stays.
  enginetest::PutFile(target_ + "/1c/base.cfg", "older", kOld);
  settings.flushEachFile = true;
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_EQ(Images(tmp_).size(), 1u);
  EXPECT_EQ(test::ReadFile(target_ + "/1c/base.cfg"), test::ReadFile(source_ + "/1c/base.cfg"));
}

TEST_F(EngineTest, AKitThatChangedBetweenRunsFailsTheNextRunAndRollsItBack) {
  ReadKit();
  test::ScratchDir scratch;
  EXPECT_EQ(Run(scratch / "first"), 0u);
  // The reader's tables no longer fit the kit it would inflate again.
  PutFile(source_ + "/extra.txt", "more", kKit);
  enginetest::PackKit(source_, dir_ / "orvikv8.okd");
  const std::string target = scratch / "second";
  EXPECT_EQ(Run(target), kErrorInvalidData);
  EXPECT_EQ(channel_.ReadStatus().code, kErrorInvalidData);
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_TRUE(Workspaces(tmp_).empty());
  EXPECT_TRUE(Images(tmp_).empty());
}

TEST_F(EngineTest, ANewFileIsNeverWrittenOverWhatAppearedAtItsPlace) {
  ReadKit();
  const size_t readme = IndexOf("readme.txt");
  test::MakeDirs(target_);
  RollbackLog log;
  ASSERT_EQ(CreateWorkspace(log, Utf8ToUtf16(target_)), 0u);
  ASSERT_EQ(OpenTemplateDirectory(log), 0u);
  PutFile(target_ + "/readme.txt", "appeared meanwhile", kOld);
  EXPECT_EQ(ExtractEntry(kit_, readme, log, u"readme.txt", true), kErrorFileExists);
  EXPECT_EQ(test::ReadFile(target_ + "/readme.txt"), "appeared meanwhile");
  // Nor through a link to nothing, which would create its target elsewhere.
  ASSERT_EQ(symlink((dir_ / "elsewhere").c_str(), (target_ + "/link.txt").c_str()), 0);
  EXPECT_EQ(ExtractEntry(kit_, readme, log, u"link.txt", true), kErrorFileExists);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "elsewhere"));
  // Where nothing stands, the entry is written whole with its time.
  EXPECT_EQ(ExtractEntry(kit_, readme, log, u"fresh.txt", true), 0u);
  EXPECT_EQ(test::ReadFile(target_ + "/fresh.txt"), "Read me\n");
  EXPECT_EQ(TakeSnapshot(target_).at("fresh.txt").mtimeNs, TakeSnapshot(source_).at("readme.txt").mtimeNs);
  EXPECT_EQ(DeleteWorkspace(log), 0u);
}

TEST_F(EngineTest, WildcardCharactersInNamesAreOrdinaryCharacters) {
  PutFile(source_ + "/set*/a?.txt", "star", kKit);
  // okdpack keeps such names out of kits (Windows cannot take them), but a kit
  // written by other means may hold them and Linux installs them as they are.
  kittest::PackTree(source_, dir_ / "orvikv8.okd");
  ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "orvikv8.okd")), 0u);
  // Would match "set*" as a pattern.
  test::MakeDirs(target_ + "/setX");
  EXPECT_EQ(Run(target_), 0u);
  EXPECT_EQ(test::ReadFile(target_ + "/set*/a?.txt"), "star");
  EXPECT_EQ(test::ListDir(target_ + "/setX"), std::vector<std::string>{});
}

TEST(CreateDirectories, ATemplateDirectoryThatCannotBeMadeReportsWhy) {
  RollbackLog log;
  ASSERT_EQ(CreateWorkspace(log, u"/" + std::u16string(300, u'a')), 0u);
  // Right under the root the failure of the creation itself is reported.
  const ErrorCode underRoot = OpenTemplateDirectory(log);
  EXPECT_NE(underRoot, 0u);
  EXPECT_NE(underRoot, kErrorPathNotFound);
  EXPECT_EQ(Rollback(log, underRoot), underRoot);
  EXPECT_FALSE(log.rollbackIncomplete);
}

TEST_F(EngineTest, ALinkToNothingIsMovedAsideAndComesBack) {
  ReadKit();
  test::MakeDirs(target_ + "/docs");
  const std::string outside = dir_ / "outside-target";
  ASSERT_EQ(symlink(outside.c_str(), (target_ + "/docs/notes.txt").c_str()), 0);
  const Snapshot before = TakeSnapshot(target_);
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) { if (i + 1 == kit_.Files().size()) channel_.RequestCancel(); };
  EXPECT_EQ(Run(target_, settings), kErrorCancelled);
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
  // Installing replaces the link with the file; nothing lands where it pointed.
  EXPECT_EQ(Run(target_), 0u);
  EXPECT_EQ(TakeSnapshot(target_).at("docs/notes.txt").type, 'f');
  EXPECT_FALSE(test::Exists(outside));
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

TEST_F(EngineTest, RollbackRemovesATemplateDirectoryThatDidNotExist) {
  ReadKit();
  const std::string target = dir_ / "a/b/templates";
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) { if (i + 1 == kit_.Files().size()) channel_.RequestCancel(); };
  EXPECT_EQ(Run(target, settings), kErrorCancelled);
  EXPECT_FALSE(test::Exists(dir_ / "a"));
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

TEST_F(EngineTest, FailuresPublishTheErrorAndLeaveTheTreeAsItWas) {
  ReadKit();
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  PutFile(target_ + "/mine.txt", "mine", kOld);

  // An older directory where the kit has a file.
  test::MakeDirs(target_ + "/docs/notes.txt/inside");
  PutFile(target_ + "/docs/notes.txt/inside/keep", "keep", kOld);
  const struct timespec old[2] = {{kOld, 0}, {kOld, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (target_ + "/docs/notes.txt").c_str(), old, 0), 0);
  Snapshot before = TakeSnapshot(target_);
  EXPECT_EQ(Run(target_), kErrorAlreadyExists);
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
  WorkerStatus status = channel_.ReadStatus();
  EXPECT_EQ(status.code, kErrorAlreadyExists);
  EXPECT_EQ(status.text, u"Installation error");
  EXPECT_EQ(status.percentage, IndexOf("docs/notes.txt") * 100 / kit_.Files().size());
  EXPECT_TRUE(Workspaces(tmp_).empty());
  // A newer one is skipped like a newer file, and keeps its content.
  const struct timespec recent[2] = {{kNew, 0}, {kNew, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (target_ + "/docs/notes.txt").c_str(), recent, 0), 0);
  EXPECT_EQ(Run(target_), 0u);
  EXPECT_EQ(test::ReadFile(target_ + "/docs/notes.txt/inside/keep"), "keep");
  RemoveDirectoryTree(Utf8ToUtf16(target_ + "/docs"));
  RemoveDirectoryTree(Utf8ToUtf16(target_ + "/1c"));
  RemoveFile(Utf8ToUtf16(target_ + "/readme.txt"));
  PutFile(target_ + "/1c/base.cfg", "older", kOld);

  // A file where the kit needs a directory.
  PutFile(target_ + "/docs", "a file named docs", kOld);
  before = TakeSnapshot(target_);
  EXPECT_NE(Run(target_), 0u);
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

TEST_F(EngineTest, AnImageThatEndsEarlyFailsInsteadOfSpinning) {
  ReadKit();
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  const Snapshot before = TakeSnapshot(target_);
  // Cut the image inside the first large file's data.
  const KitFileEntry& big = kit_.Files()[IndexOf("1c/base.cfg")];
  ASSERT_EQ(truncate(Utf16ToUtf8(kit_.ImagePath()).c_str(), big.position + 1000), 0);
  EXPECT_EQ(Run(target_), kErrorInvalidData);
  EXPECT_EQ(TakeSnapshot(target_), before);
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// A kit whose trailer vouches for its stream but not for the image it
// inflates to is found out only while a silent run copies from it as it
// inflates: the run is undone, and says what start-up says of such a kit.
TEST_F(EngineTest, AKitFoundDamagedAsTheRunCopiesIsUndoneAndToldAsDamaged) {
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  PutFile(target_ + "/mine.txt", "mine", kOld);
  const Snapshot before = TakeSnapshot(target_);
  const std::string path = dir_ / "orvikv8.okd";
  enginetest::PackKit(source_, path);
  std::string bytes = test::ReadFile(path);
  const size_t at = bytes.size() - kKitTrailerSize;
  KitTrailer trailer;
  ASSERT_EQ(DecodeKitTrailer(reinterpret_cast<const uint8_t*>(bytes.data()) + at, kKitTrailerSize, at, trailer),
            KitTrailerVerdict::Valid);
  trailer.imageCrc ^= 1;
  test::WriteFile(path, bytes.substr(0, at) + kittest::TrailerBytes(trailer));

  kittest::InflaterGate gate;
  kit_.SetInflaterFactory(kittest::CreateGatedInflater);
  TargetSurvey survey;
  kit_.SetTableListener([&](const std::vector<KitFileEntry>& files, const KitReader::DataWanted& wantData) {
    return SurveyTargets(survey, Utf8ToUtf16(target_), files, wantData);
  });
  ASSERT_EQ(kit_.Read(Utf8ToUtf16(path)), 0u);
  ASSERT_FALSE(gate.IsOpen());
  gate.OpenAfter(std::chrono::milliseconds(50));
  EngineSettings settings;
  settings.survey = &survey;
  EXPECT_EQ(Run(target_, settings), kErrorInvalidData);
  EXPECT_EQ(channel_.ReadStatus().text, LookUpMessage("IDS_ERROR_DAMAGEDSOURCE"));
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
  EXPECT_TRUE(Workspaces(tmp_).empty());
  EXPECT_TRUE(Images(tmp_).empty());
}

TEST_F(EngineTest, AnEmptyDestinationWritesNothingAnywhere) {
  ReadKit();
  ScratchDir cwd;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(cwd.Path().c_str()), 0);
  const ErrorCode code = Run("");
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(code, kErrorPathNotFound);
  EXPECT_TRUE(test::ListDir(cwd.Path()).empty());
  EXPECT_TRUE(Workspaces(tmp_).empty());
  EXPECT_EQ(channel_.ReadStatus().text, u"Installation error");
}

// With the temporary directory on another file system the replaced files
// wait beside the templates, moved there, and the rollback is complete.
TEST_F(EngineTest, RollbackIsCompleteAcrossFileSystems) {
  struct stat shm, here;
  if (stat("/dev/shm", &shm) != 0 || stat(dir_.Path().c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  char pattern[] = "/dev/shm/setup-engine-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string otherTmp = pattern;
  setenv("TMPDIR", otherTmp.c_str(), 1);
  ReadKit();
  PutFile(target_ + "/1c/base.cfg", "older", kOld, 42);
  PutFile(target_ + "/docs/notes.txt", "older", kOld);
  chmod((target_ + "/docs/notes.txt").c_str(), 0600);
  const Snapshot before = TakeSnapshot(target_);
  EngineSettings settings;
  bool savedBeside = false;
  settings.onEntryDone = [&](size_t i, FileAction) {
    savedBeside = savedBeside || test::Exists(target_ + "/.v8stp0/saved/1c/base.cfg");
    if (i + 1 == kit_.Files().size()) channel_.RequestCancel();
  };
  const ErrorCode cancelled = Run(target_, settings);
  const Snapshot afterCancel = TakeSnapshot(target_);
  const ErrorCode installed = Run(target_);
  const std::vector<std::string> left = Workspaces(otherTmp);
  EXPECT_TRUE(savedBeside);
  EXPECT_FALSE(test::Exists(Utf16ToUtf8(RunPointerFolder())));
  setenv("TMPDIR", tmp_.c_str(), 1);
  RemoveDirectoryTree(Utf8ToUtf16(otherTmp));
  EXPECT_EQ(cancelled, kErrorCancelled);
  EXPECT_EQ(afterCancel, before) << enginetest::Describe(afterCancel, before);
  EXPECT_EQ(installed, 0u);
  EXPECT_EQ(FilesOf(TakeSnapshot(target_)), FilesOf(TakeSnapshot(source_)));
  EXPECT_TRUE(left.empty());
}

// What a rollback may remove: only what the run itself made. A folder the
// run created goes only when empty, and a file a user saved meanwhile stays.
TEST_F(EngineTest, ARollbackKeepsWhatOthersPutIntoTheRunsFolders) {
  ReadKit();
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i != IndexOf("docs/notes.txt")) return;
    test::WriteFile(target_ + "/docs/mine.txt", "saved by the user meanwhile");
    channel_.RequestCancel();
  };
  EXPECT_EQ(Run(target_, settings), kErrorCancelled);
  EXPECT_EQ(test::ReadFile(target_ + "/docs/mine.txt"), "saved by the user meanwhile");
  EXPECT_EQ(test::ListDir(target_), std::vector<std::string>{"docs"});
  EXPECT_EQ(test::ListDir(target_ + "/docs"), std::vector<std::string>{"mine.txt"});
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// A file saved, during the run, where the run means to create one (nothing
// stood there when it recorded its intentions) is not the run's: neither the
// rollback nor a start after a crash, which reads the journal, deletes it.
TEST_F(EngineTest, AFileSavedWhereTheRunMeantToCreateOneStaysTheUsers) {
  ReadKit();
  const std::string appeared = Utf16ToUtf8(RelativePath(kit_.Files()[1]));
  JournalContents onDisk;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i == 0) PutFile(target_ + "/" + appeared, "saved by the user there", kNew);
    if (i + 1 != kit_.Files().size()) return;
    ScopedFileHandle journal(open((tmp_ + "/" + Workspaces(tmp_)[0] + "/journal").c_str(), O_RDONLY));
    ASSERT_EQ(ReadJournal(journal.Get(), onDisk), 0u);
    channel_.RequestCancel();
  };
  EXPECT_EQ(Run(target_, settings), kErrorCancelled);
  EXPECT_EQ(test::ReadFile(target_ + "/" + appeared), "saved by the user there");
  EXPECT_FALSE(onDisk.intentions.empty());
  for (const JournalEntry& intended : onDisk.intentions) EXPECT_NE(Utf16ToUtf8(intended.path), appeared);
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// An empty kit still leaves the template directory behind, so the starter
// file never names a folder that does not exist.
TEST_F(EngineTest, AnEmptyKitCreatesTheTemplateDirectory) {
  kittest::KitModel model;
  model.single = true;
  model.descriptions.push_back({u"en", u"Demo", u"Vendor", u""});
  test::WriteFile(dir_ / "empty.okd", kittest::DeflateRaw(model.Image()));
  ASSERT_EQ(kit_.Read(Utf8ToUtf16(dir_ / "empty.okd")), 0u);
  EXPECT_EQ(Run(target_ + "/new"), 0u);
  EXPECT_TRUE(test::IsDirectory(target_ + "/new"));
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// One run per template directory: a second one, started while the first is
// changing it, stops before it changes anything, and the first goes on.
TEST_F(EngineTest, ASecondRunIntoTheSameDirectoryStopsAtOnce) {
  ReadKit();
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  ErrorCode second = 0;
  WorkerStatus secondStatus;
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i != 0) return;
    const Snapshot during = TakeSnapshot(target_);
    WorkerChannel other{u""};
    other.Start(&kit_, Utf8ToUtf16(target_));
    EngineSettings quick;
    quick.completionPause = std::chrono::milliseconds(0);
    second = RunInstallation(other, quick);
    secondStatus = other.ReadStatus();
    EXPECT_EQ(TakeSnapshot(target_), during) << enginetest::Describe(TakeSnapshot(target_), during);
    EXPECT_EQ(Workspaces(tmp_).size(), 1u);
  };
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_EQ(second, kErrorBusy);
  EXPECT_EQ(secondStatus.text, LookUpMessage("IDS_ERROR_INPROGRESS"));
  EXPECT_EQ(FilesOf(TakeSnapshot(target_)), FilesOf(TakeSnapshot(source_)));
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

// A survey taken while the kit is read holds the directory from then on; a
// run of the same directory takes it over and does what a run that looks
// for itself would, with places enough to be shared out between two
// threads. A survey of another directory is let go, lock and all.
TEST_F(EngineTest, ARunTakesOverTheSurveyTakenWhileTheKitWasRead) {
  for (int i = 0; i < 600; ++i) {
    const std::string name = "/many/" + std::to_string(i % 3) + "/" + std::to_string(i) + ".cfg";
    PutFile(source_ + name, std::to_string(i), kKit);
    if (i % 5 != 0) PutFile(target_ + name, "older", i % 2 ? kOld : kNew);  // replaced or kept; every fifth missing
  }
  Snapshot expected = FilesOf(TakeSnapshot(source_));
  for (const auto& [path, node] : FilesOf(TakeSnapshot(target_))) {
    if (node.mtimeNs == kNew * 1000000000) expected[path] = node;
  }
  TargetSurvey survey;
  kit_.SetTableListener([&](const std::vector<KitFileEntry>& files, const KitReader::DataWanted&) {
    return SurveyTargets(survey, Utf8ToUtf16(target_), files);
  });
  ReadKit();
  ASSERT_TRUE(survey.log);
  size_t found = 0, kept = 0;
  for (const uint8_t flags : survey.log->entryFlags) {
    found += (flags & kEntryFound) != 0;
    kept += (flags & kEntryKept) != 0;
  }
  EXPECT_EQ(found, 480u);
  EXPECT_EQ(kept, 240u);
  WorkerChannel other{u""};
  other.Start(&kit_, Utf8ToUtf16(target_));
  EXPECT_EQ(RunInstallation(other, {}), kErrorBusy);

  EngineSettings settings;
  settings.survey = &survey;
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_FALSE(survey.log);
  EXPECT_EQ(FilesOf(TakeSnapshot(target_)), expected) << enginetest::Describe(FilesOf(TakeSnapshot(target_)), expected);
  EXPECT_TRUE(Workspaces(tmp_).empty());

  // Now every file is in place: the kit's data is not inflated at all, and
  // a run that needs it after all has it made.
  const Snapshot installed = TakeSnapshot(target_);
  ReadKit();
  ASSERT_TRUE(survey.log);
  EXPECT_TRUE(Images(tmp_).empty());
  EXPECT_EQ(Run(target_, settings), 0u);
  EXPECT_EQ(TakeSnapshot(target_), installed);
  ReadKit();
  ASSERT_TRUE(survey.log);
  EXPECT_EQ(Run(dir_ / "elsewhere", settings), 0u);
  EXPECT_FALSE(survey.log);
  EXPECT_EQ(FilesOf(TakeSnapshot(dir_ / "elsewhere")), FilesOf(TakeSnapshot(source_)));
  EXPECT_EQ(Run(target_), 0u);
}

// Links below the template directory are never gone through: one there from
// the start fails the run before anything changes, naming it; one put in
// place of a folder during the run stops the run there.
TEST_F(EngineTest, NothingIsWrittenThroughALinkBelowTheTemplateDirectory) {
  ReadKit();
  const std::string elsewhere = dir_ / "elsewhere";
  PutFile(elsewhere + "/notes.txt", "someone else's", kOld);
  const Snapshot elsewhereBefore = TakeSnapshot(elsewhere);
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  ASSERT_EQ(symlink(elsewhere.c_str(), (target_ + "/docs").c_str()), 0);
  Snapshot before = TakeSnapshot(target_);
  EXPECT_EQ(Run(target_), kErrorLinkInPath);
  EXPECT_EQ(channel_.ReadStatus().text, LookUpMessage("IDS_ERROR_LINKINPATH") + u"\n" + Utf8ToUtf16(target_ + "/docs"));
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);

  // A real folder at first, swapped for a link after the first file.
  ASSERT_EQ(unlink((target_ + "/docs").c_str()), 0);
  test::MakeDirs(target_ + "/docs");
  before = TakeSnapshot(target_);
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i != 0) return;
    ASSERT_EQ(rename((target_ + "/docs").c_str(), (dir_ / "docs-away").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (target_ + "/docs").c_str()), 0);
  };
  EXPECT_EQ(Run(target_, settings), kErrorLinkInPath);
  EXPECT_EQ(TakeSnapshot(elsewhere), elsewhereBefore) << enginetest::Describe(TakeSnapshot(elsewhere), elsewhereBefore);
  EXPECT_EQ(test::ReadFile(target_ + "/1c/base.cfg"), "older");
  EXPECT_TRUE(Workspaces(tmp_).empty());

  // A survey taken while the kit is read: one that meets the link leaves it
  // to the run to refuse, naming it; one that found every folder real
  // spares the run its walk, and a link swapped in after it is met by the
  // run's own writes.
  TargetSurvey survey;
  kit_.SetTableListener([&](const std::vector<KitFileEntry>& files, const KitReader::DataWanted&) {
    return SurveyTargets(survey, Utf8ToUtf16(target_), files);
  });
  for (const bool linkWhenLooked : {true, false}) {
    if (!linkWhenLooked) {
      ASSERT_EQ(unlink((target_ + "/docs").c_str()), 0);
      test::MakeDirs(target_ + "/docs/a/b/c");
      test::MakeDirs(target_ + "/1c/Шаблоны");
    }
    before = TakeSnapshot(target_);
    ReadKit();
    ASSERT_TRUE(survey.log);
    EXPECT_EQ(survey.log->foldersWalked, !linkWhenLooked);
    if (!linkWhenLooked) {
      ASSERT_EQ(rename((target_ + "/docs").c_str(), (dir_ / "docs-away2").c_str()), 0);
      ASSERT_EQ(symlink(elsewhere.c_str(), (target_ + "/docs").c_str()), 0);
      before = TakeSnapshot(target_);
    }
    settings = {};
    settings.survey = &survey;
    EXPECT_EQ(Run(target_, settings), kErrorLinkInPath);
    if (linkWhenLooked) {
      EXPECT_EQ(channel_.ReadStatus().text,
                LookUpMessage("IDS_ERROR_LINKINPATH") + u"\n" + Utf8ToUtf16(target_ + "/docs"));
    }
    EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
    EXPECT_EQ(TakeSnapshot(elsewhere), elsewhereBefore);
    EXPECT_TRUE(Workspaces(tmp_).empty());
  }
}

// A kit entry aimed at the temporary directory, when that lies inside the
// template directory, could write the workspace's own journal: refused
// before anything changes.
TEST_F(EngineTest, AKitNeverWritesIntoTheTemporaryDirectory) {
  PutFile(source_ + "/tmp/v8stp7/journal", "forged", kKit);
  ReadKit();
  test::MakeDirs(target_ + "/tmp");
  const Snapshot before = TakeSnapshot(target_);
  setenv("TMPDIR", (target_ + "/tmp").c_str(), 1);
  const ErrorCode code = Run(target_);
  const Snapshot after = TakeSnapshot(target_);
  setenv("TMPDIR", tmp_.c_str(), 1);
  EXPECT_EQ(code, kErrorAccessDenied);
  EXPECT_EQ(channel_.ReadStatus().text, LookUpMessage("IDS_ERROR_TEMPINSIDE"));
  EXPECT_EQ(after, before) << enginetest::Describe(after, before);
}

// A full template file system during the rollback: each run's version gives
// up its room before the original is copied back from the temporary
// directory on another file system.
TEST_F(EngineTest, AFullDiskStillTakesEveryOriginalBack) {
  const std::string small = dir_ / "small";
  test::MakeDirs(small);
  if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=1m tmpfs '" + small + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  const std::string target = small + "/templates";
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    PutFile(source_ + "/" + name + ".dat", std::string(190 << 10, name[0]), kKit);
    PutFile(target + "/" + name + ".dat", std::string(150 << 10, 'o'), kOld);
  }
  PutFile(source_ + "/z.dat", std::string(300 << 10, 'z'), kKit);
  ReadKit();
  const Snapshot before = TakeSnapshot(target);
  const ErrorCode code = Run(target);
  const Snapshot after = TakeSnapshot(target);
  const std::vector<std::string> left = Workspaces(tmp_);
  RemoveDirectoryTree(Utf8ToUtf16(target));
  ASSERT_EQ(std::system(("umount '" + small + "'").c_str()), 0);
  EXPECT_EQ(code, kErrorDiskFull);
  EXPECT_EQ(after, before) << enginetest::Describe(after, before);
  EXPECT_TRUE(left.empty());
  EXPECT_FALSE(channel_.ReadStatus().rollbackIncomplete);
}

// An original that truly cannot go back (its folder has become a file) is
// kept in the workspace, journal and all, and the run says so; the next
// start finishes the work once it can.
TEST_F(EngineTest, ARollbackThatCannotPutEverythingBackSaysSoAndKeepsTheWorkspace) {
  ReadKit();
  PutFile(target_ + "/1c/base.cfg", "older", kOld);
  const Snapshot before = TakeSnapshot(target_);
  EngineSettings settings;
  settings.onEntryDone = [&](size_t i, FileAction) {
    if (i + 1 != kit_.Files().size()) return;
    ASSERT_EQ(rename((target_ + "/1c").c_str(), (dir_ / "1c-away").c_str()), 0);
    test::WriteFile(target_ + "/1c", "in the way");
    channel_.RequestCancel();
  };
  EXPECT_EQ(Run(target_, settings), kErrorCancelled);
  const WorkerStatus status = channel_.ReadStatus();
  EXPECT_TRUE(status.rollbackIncomplete);
  EXPECT_EQ(status.text, LookUpMessage("IDS_ERROR_NOTRESTORED"));
  ASSERT_EQ(Workspaces(tmp_).size(), 1u);
  EXPECT_EQ(test::ReadFile(tmp_ + "/" + Workspaces(tmp_).front() + "/saved/1c/base.cfg"), "older");

  ASSERT_EQ(unlink((target_ + "/1c").c_str()), 0);
  ASSERT_EQ(rename((dir_ / "1c-away").c_str(), (target_ + "/1c").c_str()), 0);
  EXPECT_EQ(RecoverInterruptedRuns().rolledBack, 1u);
  EXPECT_EQ(TakeSnapshot(target_), before) << enginetest::Describe(TakeSnapshot(target_), before);
  EXPECT_TRUE(Workspaces(tmp_).empty());
}

}  // namespace
}  // namespace setup
