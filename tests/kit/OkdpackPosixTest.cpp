// okdpack end to end, Linux only: links, special files and names Windows
// would not take, limits of the format, and failing system calls (through
// the fault-injection library).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "OkdpackTestUtil.h"

namespace setup::kittest {
namespace {

// A kit no run could install is no kit to list as fine; a kit that cannot
// be read or unpacked says which of the two failed.
TEST_F(kit_okdpack, ListSaysWhyAKitCannotBeRead) {
  KitModel clash;
  clash.descriptions = {{u"en", u"P", u"V", u"D"}};
  clash.files = {{u"x/y.txt", 1, "y"}, {u"x", 1, "x"}};
  test::WriteFile(Path("clash.okd"), DeflateRaw(clash.Image()));
  test::ProcessResult list = Okdpack({"--list", Path("clash.okd")});
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.out, "");
  EXPECT_NE(list.err.find("damaged, or not a kit (error 13)"), std::string::npos) << list.err;

  MakeTree(Path("tree"), {{"a", SampleText(600000, 3), 1, 0}});
  ASSERT_EQ(Okdpack({"--single", "P", "V", "D", Path("tree"), Path("k.okd")}).status, 0);
  // The tables of a kit without a trailer are read back from the image.
  const std::string packed = test::ReadFile(Path("k.okd"));
  test::WriteFile(Path("bare.okd"), packed.substr(0, packed.size() - kKitTrailerSize));
  struct Case {
    const char* function;
    const char* path;
    int error;
    const char* reason;
    const char* kit = "k.okd";
  };
  for (const Case& c : {Case{"open", "k.okd", EACCES, "permission denied (error 5)"},
                        Case{"open", "k.okd", EPERM, "permission denied (error 5)"},
                        Case{"read", "k.okd", EIO, "read error (error 30)"},
                        Case{"mkstemp", "/odk", EACCES, "the temporary directory cannot be written"},
                        Case{"mkstemp", "/odk", EROFS, "the temporary directory cannot be written"},
                        Case{"write", "/odk", EIO, "the temporary directory cannot be written"},
                        Case{"read", "/odk", EIO, "the temporary directory cannot be written", "bare.okd"}}) {
    const std::string what = std::string(c.function) + " " + c.path + " " + std::to_string(c.error);
    test::FaultRun run = test::RunWithFault({kOkdpack, "--list", Path(c.kit)}, 1, c.error, c.function,
                                            {{"TMPDIR", Tmp()}, {"FAULTINJECT_PATH", c.path}});
    EXPECT_EQ(run.failed, c.function) << what;
    EXPECT_EQ(run.process.status, 1) << what;
    EXPECT_EQ(run.process.out, "") << what;
    EXPECT_NE(run.process.err.find(c.reason), std::string::npos) << what << ": " << run.process.err;
    EXPECT_TRUE(OdkFiles().empty()) << what;
  }
}

TEST_F(kit_okdpack, LinksSpecialFilesAndUnportableNamesAreRefused) {
  std::vector<std::string> single = {"--single", "P", "V", "D"};
  auto pack = [&](const std::string& dir) {
    std::vector<std::string> args = single;
    args.push_back(dir);
    args.push_back(Path("k.okd"));
    return Okdpack(args);
  };
  MakeTree(Path("t1"), {{"ok", "1", 1, 0}});
  ASSERT_EQ(symlink("ok", Path("t1/link").c_str()), 0);
  ExpectRefused(pack(Path("t1")), "t1/link");

  MakeTree(Path("t2/sub"), {{"ok", "1", 1, 0}});
  ASSERT_EQ(mkfifo(Path("t2/sub/pipe").c_str(), 0600), 0);
  ExpectRefused(pack(Path("t2")), "t2/sub/pipe");

  // Names the reader would refuse or place elsewhere.
  for (const std::string& name : {std::string("back\\slash"), std::string("tab\there"), std::string("C:drive"),
                                  std::string("a:stream"), std::string("trailing."), std::string("nul.txt")}) {
    std::string root = Path("t3");
    MakeTree(root, {{name, "1", 1, 0}});
    ExpectRefused(pack(root), name);
    test::RunProcess({"/bin/rm", "-rf", root});
  }
  // A file beside a folder that Windows takes for the same name: the kit
  // would be damaged there.
  MakeTree(Path("t4"), {{"Data/a.cfg", "1", 1, 0}, {"data", "2", 1, 0}});
  ExpectRefused(pack(Path("t4")), "t4/data");
  EXPECT_FALSE(test::Exists(Path("k.okd")));
  for (const std::string& name : test::ListDir(Scratch())) EXPECT_EQ(name.find("k.okd."), std::string::npos) << name;
}

TEST_F(kit_okdpack, OlderKitSurvivesAFailedPack) {
  MakeTree(Path("tree"), {{"a", "1", 1, 0}});
  ASSERT_EQ(Okdpack({"--single", "P", "V", "D", Path("tree"), Path("k.okd")}).status, 0);
  std::string before = test::ReadFile(Path("k.okd"));
  ASSERT_EQ(symlink("a", Path("tree/link").c_str()), 0);
  ExpectRefused(Okdpack({"--single", "P", "V", "D", Path("tree"), Path("k.okd")}), "link");
  EXPECT_TRUE(test::ReadFile(Path("k.okd")) == before);
}

TEST_F(kit_okdpack, TreesOverTheFormatLimitAreRefused) {
  // Sparse files: the size is refused before a byte is read.
  test::MakeDirs(Path("huge"));
  int fd = open(Path("huge/one").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(4294967296)), 0);
  close(fd);
  ExpectRefused(Okdpack({"--single", "P", "V", "D", Path("huge"), Path("k.okd")}), "huge/one");

  test::MakeDirs(Path("sum"));
  for (const char* name : {"a", "b"}) {
    fd = open(Path(std::string("sum/") + name).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(2147483648)), 0);
    close(fd);
  }
  test::ProcessResult run = Okdpack({"--single", "P", "V", "D", Path("sum"), Path("k.okd")});
  ExpectRefused(run, Path("sum"));
  EXPECT_NE(run.err.find("4294967295"), std::string::npos) << run.err;
  EXPECT_FALSE(test::Exists(Path("k.okd")));
}

TEST_F(kit_okdpack, UnreadableFilesAreNamed) {
  // Running as root ignores permission bits, so the failure is injected:
  // the last open() of a pack is the last file of the table.
  MakeTree(Path("tree"), {{"a", "1", 1, 0}, {"z/last", "2", 1, 0}});
  std::vector<std::string> args = {kOkdpack, "--single", "P", "V", "D", Path("tree"), Path("k.okd")};
  std::map<std::string, std::string> cLocale = {{"LC_ALL", "C"}};
  test::FaultRun clean = test::RunWithFault(args, 0, EACCES, "open", cLocale);
  ASSERT_EQ(clean.process.status, 0) << clean.process.err;
  ASSERT_GT(clean.calls, 0);
  std::string before = test::ReadFile(Path("k.okd"));
  test::FaultRun failed = test::RunWithFault(args, clean.calls, EACCES, "open", cLocale);
  EXPECT_EQ(failed.failed, "open");
  ExpectRefused(failed.process, "tree/z/last");
  EXPECT_NE(failed.process.err.find("Permission denied"), std::string::npos);
  for (const std::string& name : test::ListDir(Scratch())) EXPECT_EQ(name.find("k.okd."), std::string::npos) << name;
  EXPECT_TRUE(test::ReadFile(Path("k.okd")) == before) << "the earlier kit stays as it was";

  test::FaultRun unlisted = test::RunWithFault(args, 2, EACCES, "opendir");
  EXPECT_EQ(unlisted.failed, "opendir");
  ExpectRefused(unlisted.process, "tree/z");
}

TEST_F(kit_okdpack, FullDiskWhileWritingTheImage) {
  std::vector<TreeFile> files = {{"big.bin", SampleText(2 * 1024 * 1024, 4), 1, 0}, {"a", "a", 1, 0}};
  MakeTree(Path("tree"), files);
  ASSERT_EQ(Okdpack({"--single", "P", "V", "D", Path("tree"), Path("k.okd")}).status, 0);
  std::vector<std::string> args = {kOkdpack, "--list", Path("k.okd")};
  std::map<std::string, std::string> env = {{"TMPDIR", Tmp()}};
  test::FaultRun clean = test::RunWithFault(args, 0, ENOSPC, "write", env);
  ASSERT_EQ(clean.process.status, 0) << clean.process.err;
  // 2 MiB of image in 256 KiB writes, then the listing.
  ASSERT_GT(clean.calls, 8);
  for (long nth : {1L, 2L, 5L}) {
    for (int error : {ENOSPC, EDQUOT}) {
      test::FaultRun full = test::RunWithFault(args, nth, error, "write", env);
      EXPECT_EQ(full.failed, "write");
      EXPECT_EQ(full.process.status, 1) << nth;
      EXPECT_NE(full.process.err.find("(error 112)"), std::string::npos) << full.process.err;
      EXPECT_EQ(full.process.out, "");
      EXPECT_TRUE(OdkFiles().empty()) << nth;
    }
  }
  // Any other write failure is not a full disk.
  test::FaultRun broken = test::RunWithFault(args, 1, EIO, "write", env);
  EXPECT_EQ(broken.process.status, 1);
  EXPECT_EQ(broken.process.err.find("(error 112)"), std::string::npos) << broken.process.err;
  EXPECT_TRUE(OdkFiles().empty());
}

TEST_F(kit_okdpack, FullDiskWhileWritingTheKit) {
  MakeTree(Path("tree"), {{"big.bin", SampleText(1024 * 1024, 4), 1, 0}});
  std::vector<std::string> args = {kOkdpack, "--level", "0", "--single", "P", "V", "D", Path("tree"), Path("k.okd")};
  test::FaultRun full = test::RunWithFault(args, 3, ENOSPC, "write", {{"LC_ALL", "C"}});
  EXPECT_EQ(full.failed, "write");
  ExpectRefused(full.process, "k.okd");
  EXPECT_NE(full.process.err.find("No space left"), std::string::npos) << full.process.err;
  EXPECT_TRUE(test::ListDir(Scratch()) == std::vector<std::string>({"tmp", "tree"}));
}

}  // namespace
}  // namespace setup::kittest
