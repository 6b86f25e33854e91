// Conversions and text files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>

#include "TestSupport.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace setup {
namespace {

using test::ScratchDir;
using test::WriteFile;

// Selects a locale for one test and restores the previous one afterwards.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~LocaleScope() { std::setlocale(LC_ALL, previous_.c_str()); }
  bool Ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_;
};

const std::u16string kMixed = u"Шаблоны/模板/é/\U0001F600/\U00010348.cfg";
const std::string kMixedUtf8 = "Шаблоны/模板/é/\xF0\x9F\x98\x80/\xF0\x90\x8D\x88.cfg";

TEST(Conversion, RoundTripsEveryCharacterInUtf8AndPlainCLocales) {
  for (const char* name : {"C.UTF-8", "C", "POSIX"}) {
    LocaleScope locale(name);
    ASSERT_TRUE(locale.Ok()) << name;
    // Astral characters travel as surrogate pairs and come back whole.
    EXPECT_EQ(WideToMultiByte(kMixed), kMixedUtf8) << name;
    EXPECT_EQ(MultiByteToWide(kMixedUtf8), kMixed) << name;
    EXPECT_EQ(MultiByteToWide(WideToMultiByte(kMixed)), kMixed) << name;
  }
}

TEST(Conversion, BrokenInputBecomesReplacementCharacters) {
  LocaleScope locale("C.UTF-8");
  ASSERT_TRUE(locale.Ok());
  EXPECT_EQ(MultiByteToWide("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(MultiByteToWide("a\xE2\x82"), u"a\uFFFD");              // cut short at the end
  EXPECT_EQ(MultiByteToWide("\xE2\x82" "a"), u"\uFFFDa");           // cut short in the middle
  EXPECT_EQ(MultiByteToWide("\xC0\xAF"), u"\uFFFD\uFFFD");          // overlong "/" is not a "/"
  EXPECT_EQ(MultiByteToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(MultiByteToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
  // Lone surrogates have no multibyte form; they must not vanish or overrun.
  EXPECT_EQ(WideToMultiByte(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(WideToMultiByte(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(Conversion, IncrementalDecodingKeepsASplitCharacterForLater) {
  const std::string bytes = "ab\xD0\x96";  // "abЖ"
  std::u16string out;
  EXPECT_EQ(DecodeUtf8Prefix(bytes.substr(0, 3), false, out), 2u);
  EXPECT_EQ(out, u"ab");
  EXPECT_EQ(DecodeUtf8Prefix(bytes.substr(2), false, out), 2u);
  EXPECT_EQ(out, u"abЖ");
  // At the end of the input nothing is held back.
  out.clear();
  EXPECT_EQ(DecodeUtf8Prefix(bytes.substr(0, 3), true, out), 3u);
  EXPECT_EQ(out, u"ab\uFFFD");
}

TEST(Conversion, CompareNoCaseFoldsAsciiLetters) {
  LocaleScope locale("C.UTF-8");
  EXPECT_EQ(CompareNoCase(u"ConfigurationTemplatesLocation", u"configurationtemplateslocation"), 0);
  EXPECT_LT(CompareNoCase(u"alpha", u"BETA"), 0);
  EXPECT_GT(CompareNoCase(u"Gamma", u"beta"), 0);
  EXPECT_NE(CompareNoCase(u"/home/a", u"/home/a/"), 0);
}

TextStreamPtr OpenForReading(const std::u16string& path) {
  TextStreamPtr stream;
  OpenTextForReading(path, stream);
  return stream;
}

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(locale_.Ok()); }

  std::u16string ReadAll(const std::string& bytes, bool* mark = nullptr, size_t* pieces = nullptr) {
    const std::string path = dir_ / "file.txt";
    WriteFile(path, bytes);
    TextStreamPtr stream = OpenForReading(Utf8ToUtf16(path));
    EXPECT_NE(stream, nullptr);
    if (!stream) return {};
    if (mark) *mark = stream->HasByteOrderMark();
    std::u16string text;
    size_t count = 0;
    for (std::u16string piece; !(piece = ReadText(*stream)).empty(); ++count) {
      const size_t limit = stream->Encoding() == TextEncoding::MultiByte ? kTextBytesPerPiece
                                                                          : kTextUnitsPerPiece;
      EXPECT_LE(piece.size(), limit);
      text += piece;
    }
    if (pieces) *pieces = count;
    return text;
  }

  LocaleScope locale_{"C.UTF-8"};
  ScratchDir dir_;
};

TEST_F(TextFileTest, ByteOrderMarksAreDetectedAndConsumed) {
  bool mark = false;
  EXPECT_EQ(ReadAll("\xEF\xBB\xBFkey=значение\n", &mark), u"key=значение\n");
  EXPECT_TRUE(mark);

  std::string utf16 = "\xFF\xFE";
  for (char16_t c : std::u16string(u"ключ=\U0001F600\r\n")) {
    utf16.push_back(static_cast<char>(c & 0xFF));
    utf16.push_back(static_cast<char>(c >> 8));
  }
  EXPECT_EQ(ReadAll(utf16, &mark), u"ключ=\U0001F600\n");
  EXPECT_TRUE(mark);

  // Anything else is text, the bytes of a would-be mark included.
  EXPECT_EQ(ReadAll("\xEF\xBB" "x", &mark), u"\uFFFDx");
  EXPECT_FALSE(mark);
  EXPECT_EQ(ReadAll("ab", &mark), u"ab");
  EXPECT_EQ(ReadAll("", &mark), u"");
  EXPECT_FALSE(mark);
}

TEST_F(TextFileTest, CarriageReturnsBeforeLineFeedsAreDropped) {
  EXPECT_EQ(ReadAll("a=1\r\nb=2\r\n"), ReadAll("a=1\nb=2\n"));
  EXPECT_EQ(ReadAll("a\rb\r\r\nc\r"), u"a\rb\r\nc\r");  // only a CR right before LF goes
}

TEST_F(TextFileTest, PieceBoundariesLoseNothing) {
  // A CR LF pair split between two pieces still reads as one LF.
  std::string split(kTextBytesPerPiece - 1, 'x');
  split += "\r\nend";
  EXPECT_EQ(ReadAll(split), Utf8ToUtf16(std::string(kTextBytesPerPiece - 1, 'x') + "\nend"));

  // Multibyte characters that straddle the 1024-byte boundary, at every offset.
  for (size_t pad = 0; pad < 4; ++pad) {
    std::string text(kTextBytesPerPiece - 2 + pad, 'a');
    for (int i = 0; i < 400; ++i) text += "Ж模\U0001F600";
    size_t pieces = 0;
    EXPECT_EQ(ReadAll(text, nullptr, &pieces), Utf8ToUtf16(text)) << pad;
    EXPECT_GE(pieces, text.size() / kTextBytesPerPiece);
    // The same after a UTF-8 mark, read in pieces of up to 2048 units.
    EXPECT_EQ(ReadAll("\xEF\xBB\xBF" + text), Utf8ToUtf16(text)) << pad;
  }

  // A large single-byte file reads the same as its text.
  std::string big;
  while (big.size() < 10000) big += "ConfigurationTemplatesLocation=/srv/templates\n";
  EXPECT_EQ(ReadAll(big), Utf8ToUtf16(big));
}

TEST_F(TextFileTest, WritingGivesMultiByteTextWithoutMark) {
  const std::string path = dir_ / "out.cfg";
  for (TextEncoding encoding : {TextEncoding::MultiByte, TextEncoding::Utf16LE}) {
    TextStreamPtr stream = OpenTextForWriting(Utf8ToUtf16(path), encoding);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(WriteText(*stream, u"ключ=/home/шаблоны\n"));
    EXPECT_TRUE(WriteText(*stream, u"x=\U0001F600\n"));
    EXPECT_TRUE(CloseText(std::move(stream)));
    EXPECT_EQ(test::ReadFile(path), "ключ=/home/шаблоны\nx=\xF0\x9F\x98\x80\n");
  }
  // An existing longer file is emptied first.
  WriteFile(path, std::string(5000, 'z'));
  TextStreamPtr stream = OpenTextForWriting(Utf8ToUtf16(path), TextEncoding::MultiByte);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(WriteText(*stream, u"short"));
  EXPECT_TRUE(CloseText(std::move(stream)));
  EXPECT_EQ(test::ReadFile(path), "short");

  EXPECT_EQ(OpenForReading(dir_.Wide("missing.cfg")), nullptr);
  EXPECT_EQ(OpenTextForWriting(dir_.Wide("missing/out.cfg"), TextEncoding::MultiByte), nullptr);
}

TEST_F(TextFileTest, ReadErrorIsToldApartFromTheEndOfTheFile) {
  // A file read to its end has not failed, however it ends.
  for (const std::string& bytes :
       {std::string(), std::string("a"), std::string("k=v\r"), std::string(3000, 'x')}) {
    const std::string path = dir_ / "whole.txt";
    WriteFile(path, bytes);
    TextStreamPtr stream = OpenForReading(Utf8ToUtf16(path));
    ASSERT_NE(stream, nullptr);
    while (!ReadText(*stream).empty()) {
    }
    EXPECT_FALSE(stream->Failed()) << bytes.size();
  }
  // Opens, but every read fails: memory at address 0 (EIO). It reads as
  // empty, and says why.
  for (const std::string& path : {std::string("/proc/self/mem")}) {
    TextStreamPtr stream = OpenForReading(Utf8ToUtf16(path));
    ASSERT_NE(stream, nullptr) << path;
    EXPECT_EQ(ReadText(*stream), u"") << path;
    EXPECT_TRUE(stream->Failed()) << path;
    EXPECT_EQ(ReadText(*stream), u"") << path;
  }
  // No stream at all: the code tells a missing file from one that is there.
  TextStreamPtr none;
  EXPECT_EQ(OpenTextForReading(dir_.Wide("missing.cfg"), none), kErrorFileNotFound);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(OpenTextForReading(dir_.Wide("missing/below.cfg"), none), kErrorFileNotFound);
  WriteFile(dir_ / "plain", "x");
  EXPECT_EQ(OpenTextForReading(dir_.Wide("plain/below.cfg"), none), kErrorPathNotFound);
  // What is no regular file is not opened at all, and a FIFO without a
  // writer does not hold the open up.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  for (const std::string& path : {dir_.Path(), dir_ / "fifo", std::string("/dev/null")}) {
    EXPECT_EQ(OpenTextForReading(Utf8ToUtf16(path), none), kErrorBadFileType) << path;
  }
  EXPECT_EQ(OpenTextForReading(dir_.Wide("plain"), none, 0), kErrorFileTooLarge);
  EXPECT_EQ(OpenTextForReading(dir_.Wide("plain"), none, 1), kErrorSuccess);
}

TEST_F(TextFileTest, FullDeviceIsReportedOnClose) {
  TextStreamPtr stream = OpenTextForWriting(u"/dev/full", TextEncoding::MultiByte);
  ASSERT_NE(stream, nullptr);
  WriteText(*stream, u"data that cannot land\n");  // may be buffered
  EXPECT_FALSE(CloseText(std::move(stream)));
}

// A locale with its own single-byte encoding, built into the scratch
// directory, shows that other locales keep their encoding.
TEST(Conversion, OtherLocalesUseTheirOwnEncoding) {
  ScratchDir dir;
  const std::string target = dir / "ru_RU.KOI8-R";
  const test::ProcessResult made =
      test::RunProcess({"/usr/bin/localedef", "-i", "ru_RU", "-f", "KOI8-R", target});
  if (!test::Exists(target + "/LC_CTYPE")) {
    GTEST_SKIP() << "localedef could not build a KOI8-R locale here: " << made.err;
  }
  setenv("LOCPATH", dir.Path().c_str(), 1);
  {
    LocaleScope locale("ru_RU.KOI8-R");
    ASSERT_TRUE(locale.Ok());
    EXPECT_EQ(WideToMultiByte(u"Жук"), "\xF6\xD5\xCB");
    EXPECT_EQ(MultiByteToWide("\xF6\xD5\xCB"), u"Жук");
    EXPECT_EQ(WideToMultiByte(u"模"), "?");  // not in KOI8-R: a stand-in, no failure
    EXPECT_EQ(CompareNoCase(u"жУК", u"ЖуК"), 0);
  }
  unsetenv("LOCPATH");
}

}  // namespace
}  // namespace setup
