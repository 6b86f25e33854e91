// Starter files on Windows: the three forms the starter program may leave
// (UTF-16LE or UTF-8 with a mark, ANSI without one) read alike, a rewrite
// keeps the form with CR LF line ends, and a file that cannot be replaced
// (held open, read-only, a folder in its place) is left as it was.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ConfigTestUtil.h"
#include "WinFiles.h"
#include "core/StarterConfiguration.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

using Values = std::vector<std::string>;

std::string AnsiBytes(const std::u16string& text) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  return bytes;
}

// A letter outside ASCII that the ANSI code page holds (as one byte).
std::string AnsiLetterUtf8() {
  switch (GetACP()) {
    case 1251: return "Ж";
    case 1252: return "é";
    default: return "";
  }
}

StarterConfiguration Configuration(const Pairs& pairs) {
  StarterConfiguration configuration;
  for (const auto& [key, values] : pairs) {
    for (const std::string& value : values) configuration.AddValue(Utf8ToUtf16(key), Utf8ToUtf16(value));
  }
  return configuration;
}

TEST(StarterFileWin, EveryFormTheStarterProgramWritesReadsAlike) {
  ScratchDir dir;
  const std::string letter = AnsiLetterUtf8();
  const Pairs expected{{"ConfigurationTemplatesLocation", {"D:\\T", "C:\\Users\\u\\t" + letter}}, {"Other", {"a=b"}}};
  const std::string text = "ConfigurationTemplatesLocation=D:\\T\r\n"
                           "ConfigurationTemplatesLocation=C:\\Users\\u\\t" + letter + "\r\n\r\nOther=a=b\r\n";
  EXPECT_EQ(LoadBytes(dir, Utf16LE(Utf8ToUtf16(text))), expected);
  EXPECT_EQ(LoadBytes(dir, "\xEF\xBB\xBF" + text), expected);
  EXPECT_EQ(LoadBytes(dir, AnsiBytes(Utf8ToUtf16(text))), expected);
  // Cyrillic and CJK need a mark.
  EXPECT_EQ(LoadBytes(dir, Utf16LE(u"ConfigurationTemplatesLocation=D:\\Шаблоны\\模板\r\n")),
            (Pairs{{"ConfigurationTemplatesLocation", {"D:\\Шаблоны\\模板"}}}));
}

TEST(StarterFileWin, ANewFileIsUtf16WithAMarkAndCrLf) {
  ScratchDir dir;
  const std::string path = dir / "orvikstart.cfg";
  const StarterConfiguration configuration =
      Configuration({{"ConfigurationTemplatesLocation", {"D:\\Шаблоны", "E:\\模板"}}, {"Other", {"1"}}});
  ASSERT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), 0u);
  const std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes, Utf16LE(u"ConfigurationTemplatesLocation=D:\\Шаблоны\r\n"
                           u"ConfigurationTemplatesLocation=E:\\模板\r\nOther=1\r\n"));
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_NE(bytes.find(std::string("\x0D\x00\x0A\x00", 4)), std::string::npos);
  EXPECT_EQ(ListDir(dir.Path()), Values{"orvikstart.cfg"});
  // And it reads back as written.
  StarterConfiguration again;
  EXPECT_EQ(LoadStarterFile(Utf8ToUtf16(path), again), StarterRead::Whole);
  EXPECT_EQ(EntriesOf(again), EntriesOf(configuration));
}

TEST(StarterFileWin, ARewriteKeepsTheFilesForm) {
  ScratchDir dir;
  const std::string path = dir / "orvikstart.cfg";
  const std::string letter = AnsiLetterUtf8();
  const StarterConfiguration configuration =
      Configuration({{"ConfigurationTemplatesLocation", {"D:\\New" + letter, "D:\\T"}}});
  const std::u16string written = Utf8ToUtf16("ConfigurationTemplatesLocation=D:\\New" + letter +
                                             "\r\nConfigurationTemplatesLocation=D:\\T\r\n");
  // Without a mark: the ANSI code page, still without a mark.
  WriteFile(path, AnsiBytes(u"ConfigurationTemplatesLocation=D:\\T\r\n"));
  ASSERT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), 0u);
  EXPECT_EQ(ReadFile(path), AnsiBytes(written));
  // With either mark: UTF-16LE with its mark.
  for (const std::string& old : {Utf16LE(u"Old=1\r\n"), std::string("\xEF\xBB\xBF" "Old=1\r\n")}) {
    WriteFile(path, old);
    ASSERT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), 0u);
    EXPECT_EQ(ReadFile(path), Utf16LE(written));
  }
  EXPECT_EQ(ListDir(dir.Path()), Values{"orvikstart.cfg"});
}

TEST(StarterFileWin, AFileThatCannotBeReplacedIsLeftAsItWas) {
  ScratchDir dir;
  const std::string path = dir / "orvikstart.cfg";
  const std::string old = Utf16LE(u"Old=1\r\n");
  WriteFile(path, old);
  const StarterConfiguration configuration = Configuration({{"New", {"2"}}});
  {
    HeldOpen held(path);
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(SaveStarterFile(configuration, Utf8ToUtf16(path)), kStarterCannotOpen);
  }
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("missing\\orvikstart.cfg")), kStarterCannotOpen);
  MakeDirs(dir / "taken.cfg");
  EXPECT_EQ(SaveStarterFile(configuration, dir.Wide("taken.cfg")), kStarterCannotOpen);
  EXPECT_TRUE(IsDirectory(dir / "taken.cfg"));
  EXPECT_EQ(ListDir(dir.Path()), (Values{"orvikstart.cfg", "taken.cfg"}));
  // A file that is there but held open is not read whole, and says so.
  {
    HeldOpen held(path);
    StarterConfiguration read;
    EXPECT_EQ(LoadStarterFile(Utf8ToUtf16(path), read), StarterRead::Incomplete);
    EXPECT_TRUE(read.Empty());
  }
  StarterConfiguration read;
  EXPECT_EQ(LoadStarterFile(dir.Wide("missing.cfg"), read), StarterRead::Missing);
}

TEST(StarterFileWin, AReadOnlyFileIsNotRewritten) {
  ScratchDir dir;
  if (!ReadOnlyFilesRefuseWriting(dir.Path())) {
    GTEST_SKIP() << "this system opens read-only files for writing (Wine run as root)";
  }
  const std::string path = dir / "orvikstart.cfg";
  WriteFile(path, "Old=1\r\n");
  ASSERT_TRUE(SetReadOnly(path));
  EXPECT_EQ(SaveStarterFile(Configuration({{"New", {"2"}}}), Utf8ToUtf16(path)), kStarterCannotOpen);
  EXPECT_EQ(ReadFile(path), "Old=1\r\n");
  EXPECT_TRUE(IsReadOnly(path));
  EXPECT_EQ(ListDir(dir.Path()), Values{"orvikstart.cfg"});
}

}  // namespace
}  // namespace setup::test
