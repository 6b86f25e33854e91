// okdpack end to end: trees packed by the tool and read back by the reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "KitTestUtil.h"

namespace setup::kittest {
namespace {

const std::string kOkdpack = OKDPACK_PATH;

struct TreeFile {
  std::string relative;
  std::string data;
  int64_t seconds;
  long nanoseconds;
};

class OkdpackTest : public KitTest {
 protected:
  void MakeTree(const std::string& root, const std::vector<TreeFile>& files) {
    test::MakeDirs(root);
    for (const TreeFile& f : files) {
      std::string path = root + "/" + f.relative;
      test::MakeDirs(path.substr(0, path.rfind('/')));
      test::WriteFile(path, f.data);
      timespec times[2] = {{time_t(f.seconds), f.nanoseconds}, {time_t(f.seconds), f.nanoseconds}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }
  }

  test::ProcessResult Okdpack(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), kOkdpack);
    env.emplace("TMPDIR", Tmp());
    return test::RunProcess(args, env);
  }

  // Packs `tree`, reads the kit back and compares every entry with the file
  // it came from: name (with `separator`), bytes and time to 100 ns.
  void ExpectRoundTrip(const std::string& root, std::vector<TreeFile> files, const std::vector<std::string>& options,
                       char16_t separator) {
    std::vector<std::string> args = options;
    args.push_back(root);
    args.push_back(Path("tree.okd"));
    test::ProcessResult run = Okdpack(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    KitReader reader;
    ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("tree.okd"))), 0u);
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.relative < b.relative; });
    ASSERT_EQ(reader.Files().size(), files.size());
    uint32_t next = reader.Files().empty() ? 0 : reader.Files()[0].position;
    for (size_t i = 0; i < files.size(); ++i) {
      const KitFileEntry& entry = reader.Files()[i];
      std::u16string name = Utf8ToUtf16(files[i].relative);
      std::replace(name.begin(), name.end(), u'/', separator);
      EXPECT_EQ(entry.name, name);
      EXPECT_EQ(entry.lastWriteTime, FileTimeFromUnix(files[i].seconds, files[i].nanoseconds)) << files[i].relative;
      EXPECT_EQ(entry.position, next) << "data in table order";
      next += entry.size;
      EXPECT_TRUE(ImageBytes(reader, entry.position, entry.size) == files[i].data) << files[i].relative;
    }
  }
};

// CTest selects these with -R kit.
using kit_okdpack = OkdpackTest;

std::vector<TreeFile> SampleTree() {
  std::string big = SampleText(3 * 1024 * 1024 + 17, 11);
  for (size_t i = 0; i < big.size(); i += 4099) big[i] = char(i * 7);  // some bytes no text has
  return {
      {"readme.txt", "Read me.\n", 1600000000, 123456789},
      {"empty.cfg", "", 1600000001, 0},
      {"a/b/c/deep.cfg", SampleText(1000, 1), 1262304000, 999999999},
      {"a/b/empty", "", 946684800, 100},
      {"a/sibling.txt", "s", 2000000000, 50},
      {"Шаблоны/настройка.cfg", "ключ=значение\n", 1500000000, 1},
      {"日本語/ファイル.txt", SampleText(5000, 2), 1400000000, 7654321},
      {"mix é ü/with space.bin", std::string("\0\1\2\xff", 4), 1300000000, 0},
      {"big/large.bin", big, 1234567890, 987654300},
      {"old.txt", "old", -86400 * 365, 0},  // before 1970
  };
}

TEST_F(kit_okdpack, RoundTripMultiLanguage) {
  MakeTree(Path("tree"), SampleTree());
  test::MakeDirs(Path("tree/empty-dir/inner"));  // directories alone carry nothing
  ExpectRoundTrip(Path("tree"), SampleTree(),
                  {"--describe", "en", "Demo", "Shop", "readme.txt", "--describe", "ru", "Демо", "Магазин", "ru.txt"},
                  u'\\');
  KitReader reader;
  ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("tree.okd"))), 0u);
  ASSERT_EQ(reader.Descriptions().size(), 2u);
  EXPECT_EQ(reader.FindProductAndVendor(u"RU").vendor, u"Магазин");
  EXPECT_EQ(reader.FindDescription(u"ru"), u"ru.txt");
  EXPECT_EQ(reader.FindDescription(u"en"), u"readme.txt");
}

TEST_F(kit_okdpack, RoundTripSingleLayoutWithSlashes) {
  MakeTree(Path("tree"), SampleTree());
  ExpectRoundTrip(Path("tree"), SampleTree(), {"--single", "Demo", "Shop", "", "--separator", "/", "--level", "1"},
                  u'/');
  KitReader reader;
  ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("tree.okd"))), 0u);
  ASSERT_EQ(reader.Descriptions().size(), 1u);
  EXPECT_EQ(reader.Descriptions()[0].language, u"en");
  EXPECT_EQ(reader.FindProductAndVendor(u"en").product, u"Demo");
  EXPECT_EQ(reader.FindDescription(u"ru"), u"");
}

TEST_F(kit_okdpack, EmptyTreeAndStoredLevel) {
  test::MakeDirs(Path("empty"));
  ExpectRoundTrip(Path("empty"), {}, {"--single", "P", "V", "D"}, u'\\');
  MakeTree(Path("tree"), {{"x", "xyz", 5, 0}});
  ExpectRoundTrip(Path("tree"), {{"x", "xyz", 5, 0}}, {"--single", "P", "V", "D", "--level", "0"}, u'\\');
}

TEST_F(kit_okdpack, SameTreeSameBytes) {
  std::vector<TreeFile> files = SampleTree();
  files.erase(std::remove_if(files.begin(), files.end(), [](const TreeFile& f) { return f.data.size() > 100000; }),
              files.end());
  MakeTree(Path("one"), files);
  std::reverse(files.begin(), files.end());  // another creation order, so another directory order
  MakeTree(Path("two"), files);
  std::vector<std::string> describe = {"--describe", "en", "P", "V", "D"};
  std::vector<std::string> first = describe, second = describe;
  first.insert(first.end(), {Path("one"), Path("one.okd")});
  second.insert(second.end(), {Path("two") + "/", Path("two.okd")});
  ASSERT_EQ(Okdpack(first).status, 0);
  ASSERT_EQ(Okdpack(second).status, 0);
  EXPECT_TRUE(test::ReadFile(Path("one.okd")) == test::ReadFile(Path("two.okd")));

  // A different time is a different kit.
  timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("two/readme.txt").c_str(), times, 0), 0);
  ASSERT_EQ(Okdpack(second).status, 0);
  EXPECT_FALSE(test::ReadFile(Path("one.okd")) == test::ReadFile(Path("two.okd")));
}

TEST_F(kit_okdpack, KitInsideItsOwnTreeIsLeftOut) {
  MakeTree(Path("tree"), {{"a", "1", 1, 0}});
  ASSERT_EQ(Okdpack({"--single", "P", "V", "D", Path("tree"), Path("tree/self.okd")}).status, 0);
  // Packing again while the old kit lies in the tree.
  test::ProcessResult run = Okdpack({"--single", "P", "V", "D", Path("tree"), Path("tree/self.okd")});
  ASSERT_EQ(run.status, 0) << run.err;
  KitReader reader;
  ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("tree/self.okd"))), 0u);
  ASSERT_EQ(reader.Files().size(), 1u);
  EXPECT_EQ(reader.Files()[0].name, u"a");
}

TEST_F(kit_okdpack, ListShowsDescriptionsAndFiles) {
  MakeTree(Path("tree"), {{"a/b.txt", "abc", 0, 1234500}, {"c", "", 1600000000, 0}});
  ASSERT_EQ(Okdpack({"--describe", "en", "Demo", "Shop", "readme.txt", "--describe", "pt_BR", "Produto", "Loja", "",
                     Path("tree"), Path("k.okd")})
                .status,
            0);
  test::ProcessResult list = Okdpack({"--list", Path("k.okd")});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out,
            "description\ten\tDemo\tShop\treadme.txt\n"
            "description\tpt_BR\tProduto\tLoja\t\n"
            "file\t3\t1970-01-01T00:00:00.0012345Z\ta\\b.txt\n"
            "file\t0\t2020-09-13T12:26:40.0000000Z\tc\n");
  EXPECT_TRUE(OdkFiles().empty());

  test::WriteFile(Path("bad.okd"), "not a kit");
  list = Okdpack({"--list", Path("bad.okd")});
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.err.find("bad.okd"), std::string::npos) << list.err;
  EXPECT_NE(list.err.find("error 13"), std::string::npos) << list.err;
  EXPECT_TRUE(OdkFiles().empty());
}

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
  struct Case {
    const char* function;
    const char* path;
    int error;
    const char* reason;
  };
  for (const Case& c : {Case{"open", "k.okd", EACCES, "permission denied (error 5)"},
                        Case{"open", "k.okd", EPERM, "permission denied (error 5)"},
                        Case{"read", "k.okd", EIO, "read error (error 30)"},
                        Case{"mkstemp", "/odk", EACCES, "the temporary directory cannot be written"},
                        Case{"mkstemp", "/odk", EROFS, "the temporary directory cannot be written"},
                        Case{"write", "/odk", EIO, "the temporary directory cannot be written"},
                        Case{"read", "/odk", EIO, "the temporary directory cannot be written"}}) {
    const std::string what = std::string(c.function) + " " + c.path + " " + std::to_string(c.error);
    test::FaultRun run = test::RunWithFault({kOkdpack, "--list", Path("k.okd")}, 1, c.error, c.function,
                                            {{"TMPDIR", Tmp()}, {"FAULTINJECT_PATH", c.path}});
    EXPECT_EQ(run.failed, c.function) << what;
    EXPECT_EQ(run.process.status, 1) << what;
    EXPECT_EQ(run.process.out, "") << what;
    EXPECT_NE(run.process.err.find(c.reason), std::string::npos) << what << ": " << run.process.err;
    EXPECT_TRUE(OdkFiles().empty()) << what;
  }
}

TEST_F(kit_okdpack, UsageAndHelp) {
  test::ProcessResult help = Okdpack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: okdpack"), std::string::npos);
  const test::ProcessResult version = Okdpack({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("okdpack " SETUP_VERSION " (commit ", 0), 0u) << version.out;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {},
           {Path("tree"), Path("k.okd")},  // no description
           {"--single", "P", "V", "D", Path("tree")},
           {"--level", "10", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--separator", "|", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--single", "P", "V", "D", "--describe", "ru", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--describe", "en", "P"},
           {"--frobnicate"},
       }) {
    test::ProcessResult run = Okdpack(args);
    EXPECT_EQ(run.status, 2) << args.size();
    EXPECT_NE(run.err.find("okdpack: "), std::string::npos);
  }
  EXPECT_FALSE(test::Exists(Path("k.okd")));
}

// Each refusal is one line naming the culprit, a failure status, and no kit.
void ExpectRefused(const test::ProcessResult& run, const std::string& culprit) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_NE(run.err.find(culprit), std::string::npos) << run.err;
}

TEST_F(kit_okdpack, BadTreesAreRefused) {
  std::vector<std::string> single = {"--single", "P", "V", "D"};
  auto pack = [&](const std::string& dir) {
    std::vector<std::string> args = single;
    args.push_back(dir);
    args.push_back(Path("k.okd"));
    return Okdpack(args);
  };
  ExpectRefused(pack(Path("missing")), Path("missing"));
  test::WriteFile(Path("plain"), "x");
  ExpectRefused(pack(Path("plain")), Path("plain"));

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
