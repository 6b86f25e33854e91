// okdpack end to end, on both builds: trees packed by the tool and read back
// by the reader.
#include "OkdpackTestUtil.h"

namespace setup::kittest {
namespace {

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
      // Capitals before small letters, and a full-width letter before a
      // character beyond U+FFFF, as UTF-8 bytes compare (UTF-16 units and
      // Windows' own order of names would put them the other way round).
      {"Zeta.txt", "z", 1600000002, 0},
      {"\xEF\xBD\x97ide.txt", "w", 1600000003, 0},
      {"\xF0\x9F\x98\x80.txt", "smile", 1600000004, 0},
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
  ASSERT_TRUE(test::SetWriteTime(Path("two/readme.txt"), FileTimeFromUnix(1, 0)));
  ASSERT_EQ(Okdpack(second).status, 0);
  EXPECT_FALSE(test::ReadFile(Path("one.okd")) == test::ReadFile(Path("two.okd")));
}

TEST_F(kit_okdpack, TimeOptionStampsEveryFile) {
  MakeTree(Path("tree"), {{"a.txt", "a", 1600000000, 5}, {"sub/b.txt", "", 5, 0}});
  struct Case {
    const char* when;
    int64_t seconds;
  };
  for (const Case& c : {Case{"1700000000", 1700000000}, Case{"2023-11-14T22:13:20Z", 1700000000},
                        Case{"-86400", -86400}, Case{"2000-02-29T23:59:59Z", 951868799}}) {
    test::ProcessResult run = Okdpack({"--time", c.when, "--single", "P", "V", "D", Path("tree"), Path("k.okd")});
    ASSERT_EQ(run.status, 0) << c.when << ": " << run.err;
    KitReader reader;
    ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("k.okd"))), 0u) << c.when;
    ASSERT_EQ(reader.Files().size(), 2u) << c.when;
    for (const KitFileEntry& entry : reader.Files()) {
      EXPECT_EQ(entry.lastWriteTime, FileTimeFromUnix(c.seconds, 0)) << c.when;
    }
  }
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
  EXPECT_EQ(list.out, Lines("description\ten\tDemo\tShop\treadme.txt\n"
                            "description\tpt_BR\tProduto\tLoja\t\n"
                            "file\t3\t1970-01-01T00:00:00.0012345Z\ta\\b.txt\n"
                            "file\t0\t2020-09-13T12:26:40.0000000Z\tc\n"));
  EXPECT_TRUE(OdkFiles().empty());

  test::WriteFile(Path("bad.okd"), "not a kit");
  list = Okdpack({"--list", Path("bad.okd")});
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.err.find("bad.okd"), std::string::npos) << list.err;
  EXPECT_NE(list.err.find("error 13"), std::string::npos) << list.err;
  EXPECT_TRUE(OdkFiles().empty());
}

// Every kit ends with its trailer; --verify proves it whole, and it and
// --list tell a damaged kit, and a kit without a trailer, for what they are.
TEST_F(kit_okdpack, VerifyAndListJudgeTheTrailer) {
  MakeTree(Path("tree"), {{"a/b.txt", std::string(5000, 'b'), 0, 0}, {"c", "sub 18", 1600000000, 0}});
  ASSERT_EQ(Okdpack({"--single", "Demo", "Shop", "a/b.txt", Path("tree"), Path("k.okd")}).status, 0);
  const std::string kit = test::ReadFile(Path("k.okd"));
  ASSERT_GT(kit.size(), kKitTrailerSize);
  KitTrailer trailer;
  const size_t streamLength = kit.size() - kKitTrailerSize;
  ASSERT_EQ(DecodeKitTrailer(reinterpret_cast<const uint8_t*>(kit.data()) + streamLength, kKitTrailerSize,
                             streamLength, trailer),
            KitTrailerVerdict::Valid);
  EXPECT_EQ(trailer.streamLength, streamLength);

  std::string damaged = kit;
  damaged[streamLength / 2] ^= 0x10;
  test::WriteFile(Path("damaged.okd"), damaged);
  test::WriteFile(Path("old.okd"), kit.substr(0, streamLength));
  struct Case {
    std::string option, kit;
    int status;
    std::string says;
  } cases[] = {
      {"--verify", "k.okd", 0, "whole"},
      {"--list", "k.okd", 0, "file\t6\t"},
      {"--verify", "damaged.okd", 1, "damaged"},
      {"--list", "damaged.okd", 1, "damaged"},
      {"--verify", "old.okd", 1, "no checksum"},
      {"--list", "old.okd", 0, "file\t6\t"},
  };
  for (const Case& c : cases) {
    const test::ProcessResult run = Okdpack({c.option, Path(c.kit)});
    EXPECT_EQ(run.status, c.status) << c.option << " " << c.kit << ": " << run.err;
    EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << c.option << " " << c.kit << ": " << run.out
                                                                     << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.status) << run.err;
  }
  EXPECT_TRUE(OdkFiles().empty());
}

TEST_F(kit_okdpack, UsageAndHelp) {
  test::ProcessResult help = Okdpack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: okdpack"), std::string::npos);
  const test::ProcessResult version = Okdpack({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("okdpack " SETUP_VERSION " (commit ", 0), 0u) << version.out;
  MakeTree(Path("tree"), {{"a", "1", 1, 0}});
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {},
           {Path("tree"), Path("k.okd")},  // no description
           {"--single", "P", "V", "D", Path("tree")},
           {"--level", "10", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--separator", "|", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--single", "P", "V", "D", "--describe", "ru", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--describe", "en", "P"},
           {"--frobnicate"},
           {"--time", "yesterday", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--time", "1700000000.5", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--time", "2023-02-29T00:00:00Z", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--time", "1600-12-31T23:59:59Z", "--single", "P", "V", "D", Path("tree"), Path("k.okd")},
           {"--time", "1700000000", "--list", Path("k.okd")},
       }) {
    test::ProcessResult run = Okdpack(args);
    EXPECT_EQ(run.status, 2) << args.size() << (args.size() > 1 ? " " + args[1] : "");
    EXPECT_NE(run.err.find("okdpack: "), std::string::npos);
  }
  EXPECT_FALSE(test::Exists(Path("k.okd")));
}

TEST_F(kit_okdpack, MissingDirectoryOrAFileIsRefused) {
  test::WriteFile(Path("plain"), "x");
  for (const std::string& dir : {Path("missing"), Path("plain")}) {
    ExpectRefused(Okdpack({"--single", "P", "V", "D", dir, Path("k.okd")}), dir);
  }
  EXPECT_FALSE(test::Exists(Path("k.okd")));
}

}  // namespace
}  // namespace setup::kittest
