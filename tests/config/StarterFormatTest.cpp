// The starter configuration format on both builds: what a text parses as,
// what a lookup and an update find, and long files in every encoding that
// reads the same everywhere (a mark, or ASCII).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "ConfigTestUtil.h"
#include "core/StarterConfiguration.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

using Values = std::vector<std::string>;

TEST(StarterConfigurationTest, KeysAndValuesAreUniqueWithoutRegardToCase) {
  EXPECT_EQ(Parse("ConfigurationTemplatesLocation=C:\\A\n"
                  "configurationtemplateslocation=D:\\B\n"
                  "CONFIGURATIONTEMPLATESLOCATION=c:\\a\n"
                  "Other=x\n"
                  "ConfigurationTemplatesLocation=E:\\C\n"),
            (Pairs{{"ConfigurationTemplatesLocation", {"C:\\A", "D:\\B", "E:\\C"}}, {"Other", {"x"}}}));

  StarterConfiguration configuration;
  configuration.AddValue(u"Key", u"Value");
  configuration.AddValue(u"KEY", u"VALUE");
  EXPECT_EQ(configuration.ValuesOf(u"key"), std::vector<std::u16string>{u"Value"});
  EXPECT_TRUE(configuration.ValuesOf(u"Keys").empty());
  EXPECT_TRUE(configuration.ValuesOf(u"Ke").empty());
}

TEST(StarterConfigurationTest, NulCharactersDoNotEndTheComparison) {
  // A NUL would end a plain C-string comparison: "\0x" would then be the empty
  // key and "\0a" the same value as "\0b".
  StarterConfiguration configuration;
  ParseStarterText(std::u16string(u"=first\n\0x=\nk=\0a\nk=\0b\nk=\0B\n", 26), configuration);
  ASSERT_EQ(configuration.Entries().size(), 3u);
  EXPECT_EQ(configuration.ValuesOf(u""), std::vector<std::u16string>{u"first"});
  EXPECT_EQ(configuration.ValuesOf(std::u16string(u"\0X", 2)), std::vector<std::u16string>{u""});
  EXPECT_EQ(configuration.ValuesOf(u"K").size(), 2u);
}

// The index that keeps files of many lines linear must keep the platform's
// comparison: equal keys exactly where EqualNoCase finds the texts equal.
TEST(StarterConfigurationTest, FoldedKeysAreEqualExactlyWhereTheComparisonSaysSo) {
  struct Row {
    std::u16string a, b;
    int equal;  // 1 or 0; -1 where the platform's locale decides
  };
  const Row rows[] = {
      {u"ConfigurationTemplatesLocation", u"configurationTEMPLATESlocation", 1},
      {u"Key", u"Keys", 0},
      {u"/srv/T/", u"/SRV/t/", 1},
      {u"/srv/T", u"/srv/T/", 0},
      {u"", u"", 1},
      {u"", std::u16string(u"\0", 1), 0},
      {std::u16string(u"\0x", 2), std::u16string(u"\0X", 2), 1},
      {std::u16string(u"a\0b", 3), u"a", 0},
      {std::u16string(u"a\0b", 3), std::u16string(u"ab\0", 3), 0},
      {u"\u0436\u0423\u041A", u"\u0416\u0443\u041A", -1},
      {u"stra\u00DFe", u"STRASSE", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("row " + std::to_string(&row - rows));
    const bool equal = EqualNoCase(row.a, row.b);
    if (row.equal >= 0) {
      EXPECT_EQ(equal, row.equal == 1);
    }
    EXPECT_EQ(CaseFoldedKey(row.a) == CaseFoldedKey(row.b), equal);
  }
}

TEST(StarterConfigurationTest, FirstEqualsSplitsAndNothingIsTrimmed) {
  EXPECT_EQ(Parse("ConfigurationTemplatesLocation=a=b\n"
                  "ConfigurationTemplatesLocation =x\n"
                  " \tk\t= v \n"
                  "=value only\n"
                  "k==\n"),
            (Pairs{{"ConfigurationTemplatesLocation", {"a=b"}},
                   {"ConfigurationTemplatesLocation ", {"x"}},
                   {" \tk\t", {" v "}},
                   {"", {"value only"}},
                   {"k", {"="}}}));
}

TEST(StarterConfigurationTest, EmptyLinesAndLoneEqualsYieldNothing) {
  // A remark without "=" is a key with an empty value; the last line needs no LF.
  EXPECT_EQ(Parse("\n=\n\n;remark here\n=\nlast=line"),
            (Pairs{{";remark here", {""}}, {"last", {"line"}}}));
  EXPECT_EQ(Parse(""), Pairs{});
  EXPECT_EQ(Parse("\n\n="), Pairs{});
}

TEST(StarterConfigurationTest, LinesSplitAcrossPiecesParseAsWhole) {
  const std::string text = "a=1\nConfigurationTemplatesLocation=x=y\n\n=\nrem\n=v\nA=2\nlast=z";
  StarterConfiguration whole, pieces;
  ParseStarterText(Utf8ToUtf16(text), whole);
  StarterParser parser(pieces);
  for (const char c : text) parser.Feed(std::u16string(1, static_cast<char16_t>(c)));
  parser.Finish();
  EXPECT_EQ(EntriesOf(pieces), EntriesOf(whole));
  EXPECT_EQ(EntriesOf(whole),
            (Pairs{{"a", {"1", "2"}}, {"ConfigurationTemplatesLocation", {"x=y"}}, {"rem", {""}},
                   {"", {"v"}}, {"last", {"z"}}}));
}

TEST(StarterConfigurationTest, SetValuesKeepsPlaceAndCaseOrAppends) {
  StarterConfiguration configuration;
  ParseStarterText(u"First=1\nconfigurationTemplatesLocation=/old\nLast=2\n", configuration);
  configuration.SetValues(u"ConfigurationTemplatesLocation", {u"/new", u"/old"});
  configuration.SetValues(u"Added", {u"v"});
  EXPECT_EQ(EntriesOf(configuration), (Pairs{{"First", {"1"}},
                                              {"configurationTemplatesLocation", {"/new", "/old"}},
                                              {"Last", {"2"}},
                                              {"Added", {"v"}}}));
}

TEST(StarterConfigurationTest, LongFilesAndLongLinesReadWhole) {
  ScratchDir dir;
  std::string text;
  Values values;
  for (int i = 0; i < 300; ++i) {
    values.push_back("/srv/templates/" + std::to_string(i));
    text += "ConfigurationTemplatesLocation=" + values.back() + "\r\n";
  }
  const std::string longValue(5000, 'v');
  text += "Long=" + longValue + "\r\nEnd=1";
  const Pairs expected{{"ConfigurationTemplatesLocation", values}, {"Long", {longValue}}, {"End", {"1"}}};
  EXPECT_EQ(LoadBytes(dir, text), expected);
  EXPECT_EQ(LoadBytes(dir, "\xEF\xBB\xBF" + text), expected);
  EXPECT_EQ(LoadBytes(dir, Utf16LE(Utf8ToUtf16(text))), expected);
}

// Every key and value is compared through the platform's rule; a file of
// many distinct keys must still load and save in a moment (40 000 lines took
// minutes when each lookup converted every key again).
TEST(StarterConfigurationTest, ManyDistinctKeysLoadAndSaveInLinearTime) {
  ScratchDir dir;
  std::string text;
  for (int i = 0; i < 60000; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i % 3) + "\r\n";
  const std::string path = dir / "orvikstart.cfg";
  WriteFile(path, text);
  const auto start = std::chrono::steady_clock::now();
  StarterConfiguration configuration;
  ASSERT_EQ(LoadStarterFile(Utf8ToUtf16(path), configuration), StarterRead::Whole);
  configuration.SetValues(u"KEY59999", {u"new"});
  ASSERT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), 0u);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ info ] 60 000 keys loaded and saved in %.2f s\n", seconds);
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(configuration.Entries().size(), 60000u);
  EXPECT_EQ(configuration.Entries().back().key, u"Key59999");
  EXPECT_EQ(configuration.ValuesOf(u"key59999"), std::vector<std::u16string>{u"new"});
}

}  // namespace
}  // namespace setup::test
