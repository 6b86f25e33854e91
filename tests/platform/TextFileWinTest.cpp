// Text files on Windows, byte for byte: the marks FF FE and EF BB BF read
// and written, CR LF line ends (0D 00 0A 00 in UTF-16LE), the ANSI code page
// for text without a mark, and the whole-file replacement that keeps a
// file's form and never leaves it half written.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "WinFiles.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace setup {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

std::u16string U(const std::string& utf8) { return Utf8ToUtf16(utf8); }

// UTF-16LE bytes of a UTF-8 text, without a mark.
std::string Utf16LEBytes(const std::string& utf8) {
  std::string bytes;
  for (char16_t c : Utf8ToUtf16(utf8)) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// The ANSI code page's bytes for a text, asked of the system directly.
std::string AnsiBytes(const std::u16string& text) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  return bytes;
}

// A letter outside ASCII that the ANSI code page holds as one byte, so that
// ANSI text cannot be mistaken for UTF-8 (or UTF-8 for ANSI).
std::u16string AnsiLetter() {
  switch (GetACP()) {
    case 1251: return u"Ж";
    case 1252: return u"é";
    default: return u"";
  }
}

std::u16string ReadWhole(const std::string& path, bool* mark = nullptr) {
  TextStreamPtr stream;
  if (OpenTextForReading(U(path), stream) != 0 || !stream) return u"<cannot open>";
  if (mark) *mark = stream->HasByteOrderMark();
  std::u16string text;
  for (std::u16string piece; !(piece = ReadText(*stream)).empty();) text += piece;
  return stream->Failed() ? u"<failed>" : text;
}

class TextFileWinTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
};

TEST_F(TextFileWinTest, MarksAreRecognisedAndCrLfReadsAsLf) {
  const std::string path = dir_ / "in.cfg";
  bool mark = false;
  WriteFile(path, "\xFF\xFE" + Utf16LEBytes("ключ=D:\\模板\r\nx=1\r\n"));
  EXPECT_EQ(ReadWhole(path, &mark), u"ключ=D:\\模板\nx=1\n");
  EXPECT_TRUE(mark);
  WriteFile(path, "\xEF\xBB\xBF" "ключ=D:\\模板\r\nx=1\r\n");
  EXPECT_EQ(ReadWhole(path, &mark), u"ключ=D:\\模板\nx=1\n");
  EXPECT_TRUE(mark);
  // Without a mark the bytes are the ANSI code page's.
  const std::u16string letter = AnsiLetter();
  WriteFile(path, AnsiBytes(u"k=" + letter + u"\r\nend"));
  EXPECT_EQ(ReadWhole(path, &mark), u"k=" + letter + u"\nend");
  EXPECT_FALSE(mark);
  // A lone CR stays; only CR LF is a line end.
  WriteFile(path, "a\rb\r\r\nc");
  EXPECT_EQ(ReadWhole(path), u"a\rb\r\nc");
}

TEST_F(TextFileWinTest, WritingGivesCrLfAndTheMarkOfTheEncoding) {
  const std::string path = dir_ / "out.cfg";
  TextStreamPtr stream = OpenTextForWriting(U(path), TextEncoding::Utf16LE);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(WriteText(*stream, u"ключ=D:\\T\n"));
  EXPECT_TRUE(WriteText(*stream, u"x=\U0001F600\n"));
  EXPECT_TRUE(CloseText(std::move(stream)));
  const std::string utf16 = ReadFile(path);
  EXPECT_EQ(utf16, "\xFF\xFE" + Utf16LEBytes("ключ=D:\\T\r\nx=\xF0\x9F\x98\x80\r\n"));
  // The line end in UTF-16LE is exactly 0D 00 0A 00.
  EXPECT_NE(utf16.find(std::string("\x0D\x00\x0A\x00", 4)), std::string::npos);

  stream = OpenTextForWriting(U(path), TextEncoding::Utf8);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(WriteText(*stream, u"ключ=1\n"));
  EXPECT_TRUE(CloseText(std::move(stream)));
  EXPECT_EQ(ReadFile(path), "\xEF\xBB\xBF" "ключ=1\r\n");

  // The ANSI code page has no mark; an existing longer file is emptied.
  WriteFile(path, std::string(5000, 'z'));
  stream = OpenTextForWriting(U(path), TextEncoding::MultiByte);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(WriteText(*stream, u"k=" + AnsiLetter() + u"\n"));
  EXPECT_TRUE(CloseText(std::move(stream)));
  EXPECT_EQ(ReadFile(path), AnsiBytes(u"k=" + AnsiLetter() + u"\r\n"));

  // An empty Unicode file still has its mark.
  stream = OpenTextForWriting(U(path), TextEncoding::Utf16LE);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(CloseText(std::move(stream)));
  EXPECT_EQ(ReadFile(path), "\xFF\xFE");
}

TEST_F(TextFileWinTest, WhatCannotBeOpenedSaysWhy) {
  TextStreamPtr stream;
  EXPECT_EQ(OpenTextForReading(dir_.Wide("missing.cfg"), stream), kErrorFileNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(OpenTextForReading(dir_.Wide("missing/below.cfg"), stream), kErrorPathNotFound);
  test::MakeDirs(dir_ / "folder");
  // A folder is no file to read, and says so.
  EXPECT_EQ(OpenTextForReading(dir_.Wide("folder"), stream), kErrorBadFileType);
  EXPECT_EQ(OpenTextForWriting(dir_.Wide("missing/out.cfg"), TextEncoding::Utf16LE), nullptr);
  EXPECT_EQ(OpenTextForWriting(dir_.Wide("folder"), TextEncoding::Utf16LE), nullptr);
}

// ReplaceTextFile: the new file's form follows the old one's.
class ReplaceTextFileWinTest : public TextFileWinTest {
 protected:
  ReplaceResult Replace(const std::string& path, const std::u16string& text) {
    return ReplaceTextFile(U(path), [&](TextStream& stream) { return WriteText(stream, text); });
  }
};

TEST_F(ReplaceTextFileWinTest, AFileWithoutAMarkStaysAnsi) {
  const std::u16string letter = AnsiLetter();
  if (letter.empty()) GTEST_SKIP() << "ANSI code page " << GetACP() << " has no test letter here";
  const std::string path = dir_ / "orvikstart.cfg";
  WriteFile(path, AnsiBytes(u"Old=" + letter + u"\r\n"));
  ASSERT_EQ(Replace(path, u"ConfigurationTemplatesLocation=D:\\" + letter + u"\nOther=1\n"), ReplaceResult::Replaced);
  const std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes, AnsiBytes(u"ConfigurationTemplatesLocation=D:\\" + letter + u"\r\nOther=1\r\n"));
  // One byte for the letter: not UTF-8, and no mark in front.
  EXPECT_EQ(bytes.size(), std::string("ConfigurationTemplatesLocation=D:\\").size() + 1 + 2 + 9);
  EXPECT_NE(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(test::ListDir(dir_.Path()), std::vector<std::string>{"orvikstart.cfg"});
}

TEST_F(ReplaceTextFileWinTest, AMarkedFileAndANewOneBecomeUtf16WithCrLf) {
  const std::u16string text = u"ConfigurationTemplatesLocation=D:\\Шаблоны\\模板\nOther=1\n";
  const std::string expected = "\xFF\xFE" + Utf16LEBytes("ConfigurationTemplatesLocation=D:\\Шаблоны\\模板\r\nOther=1\r\n");
  for (const std::string& old : {"\xFF\xFE" + Utf16LEBytes("Old=1\r\n"), std::string("\xEF\xBB\xBF" "Old=1\r\n")}) {
    const std::string path = dir_ / "marked.cfg";
    WriteFile(path, old);
    ASSERT_EQ(Replace(path, text), ReplaceResult::Replaced);
    EXPECT_EQ(ReadFile(path), expected);
  }
  ASSERT_EQ(Replace(dir_ / "new.cfg", text), ReplaceResult::Replaced);
  EXPECT_EQ(ReadFile(dir_ / "new.cfg"), expected);
  EXPECT_EQ(test::ListDir(dir_.Path()), (std::vector<std::string>{"marked.cfg", "new.cfg"}));

  // The same text again would write the very same bytes: the file stays as
  // it is, its time included.
  const std::filesystem::path marked = dir_ / "marked.cfg";
  const auto earlier = std::filesystem::last_write_time(marked) - std::chrono::hours(24);
  std::filesystem::last_write_time(marked, earlier);
  ASSERT_EQ(Replace(dir_ / "marked.cfg", text), ReplaceResult::Replaced);
  EXPECT_EQ(std::filesystem::last_write_time(marked), earlier);
  EXPECT_EQ(test::ListDir(dir_.Path()), (std::vector<std::string>{"marked.cfg", "new.cfg"}));
}

TEST_F(ReplaceTextFileWinTest, AnyFailureLeavesTheOldFileAndNoTemporary) {
  const std::string path = dir_ / "orvikstart.cfg";
  const std::string old = "\xFF\xFE" + Utf16LEBytes("Old=1\r\n");
  WriteFile(path, old);
  const uint64_t oldTime = 130000000000000007ULL;
  ASSERT_TRUE(test::SetWriteTime(path, oldTime));
  const std::vector<std::string> only{"orvikstart.cfg"};

  // The writer gives up half-way.
  EXPECT_EQ(ReplaceTextFile(U(path), [](TextStream& stream) { return WriteText(stream, u"Half=") && false; }),
            ReplaceResult::CannotWrite);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(test::WriteTimeOf(path), oldTime);
  EXPECT_EQ(test::ListDir(dir_.Path()), only);

  // Held open by another program without sharing.
  {
    test::HeldOpen held(path);
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(Replace(path, u"New=1\n"), ReplaceResult::CannotOpen);
  }
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(test::ListDir(dir_.Path()), only);

  // A folder in the file's place, and a folder that is not there.
  test::MakeDirs(dir_ / "taken.cfg");
  EXPECT_EQ(Replace(dir_ / "taken.cfg", u"New=1\n"), ReplaceResult::CannotOpen);
  EXPECT_TRUE(test::IsDirectory(dir_ / "taken.cfg"));
  EXPECT_EQ(Replace(dir_ / "missing/orvikstart.cfg", u"New=1\n"), ReplaceResult::CannotOpen);
  EXPECT_EQ(test::ListDir(dir_.Path()), (std::vector<std::string>{"orvikstart.cfg", "taken.cfg"}));
}

TEST_F(ReplaceTextFileWinTest, AReadOnlyFileIsNotOursToReplace) {
  if (!test::ReadOnlyFilesRefuseWriting(dir_.Path())) {
    GTEST_SKIP() << "this system opens read-only files for writing (Wine run as root)";
  }
  const std::string path = dir_ / "orvikstart.cfg";
  const std::string old = "\xFF\xFE" + Utf16LEBytes("Old=1\r\n");
  WriteFile(path, old);
  ASSERT_TRUE(test::SetReadOnly(path));
  EXPECT_EQ(Replace(path, u"New=1\n"), ReplaceResult::CannotOpen);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_TRUE(test::IsReadOnly(path));
  EXPECT_EQ(test::ListDir(dir_.Path()), std::vector<std::string>{"orvikstart.cfg"});
}

}  // namespace
}  // namespace setup
