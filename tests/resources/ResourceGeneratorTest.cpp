// The build-time makers of the Windows resources, run on Linux: the resource
// script generator on copies of the layout and the tables, and the picture
// script, whose committed output must be what it draws today.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace setup {
namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class ResourceGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    // The layout names the pictures relative to itself, so both folders move.
    tables_ = scratch_ / "tables";
    layout_ = scratch_ / "win/resources/resources.txt";
    fs::copy(I18N_TABLES_DIR, tables_);
    fs::create_directories(scratch_ / "win");
    fs::copy(WIN_RESOURCES_DIR, scratch_ / "win/resources");
    fs::copy(WIN_PICTURES_DIR, scratch_ / "win/pictures");
  }

  test::ProcessResult Generate() {
    return test::RunProcess({PYTHON3_EXECUTABLE, RESOURCE_GENERATOR, "--tables", tables_, "--layout", layout_,
                             "--output", scratch_ / "setup.rc"});
  }

  void Edit(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = test::ReadFile(path);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << path << " has no " << from;
    text.replace(at, from.size(), to);
    test::WriteFile(path, text);
  }

  test::ScratchDir scratch_;
  std::string tables_;
  std::string layout_;
};

TEST_F(ResourceGenerator, WritesEveryLanguageButPortugueseOnce) {
  const auto result = Generate();
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string script = test::ReadFile(scratch_ / "setup.rc");
  EXPECT_EQ(script.rfind("// Generated", 0), 0u);
  EXPECT_NE(script.find("#pragma code_page(65001)\n"), std::string::npos);
  // 23 languages and the pictures' neutral one; seven dialogs each.
  EXPECT_EQ(Count(script, "\nLANGUAGE "), 24u);
  EXPECT_EQ(Count(script, "\nSTRINGTABLE\n"), 23u);
  EXPECT_EQ(Count(script, " DIALOGEX 0, 0, "), 23u * 7u);
  EXPECT_NE(script.find("LANGUAGE 0x19, 0x1\n"), std::string::npos);  // Russian, 1049
  EXPECT_NE(script.find("LANGUAGE 0x4, 0x2\n"), std::string::npos);   // Chinese, 2052
  EXPECT_EQ(script.find("LANGUAGE 0x16, 0x1\n"), std::string::npos);  // no Portuguese (Brazil), 1046
  EXPECT_NE(script.find("  102, \"< Назад\"\n"), std::string::npos);
  EXPECT_NE(script.find("103 BITMAP \""), std::string::npos);
  EXPECT_NE(script.find("128 ICON \""), std::string::npos);
  EXPECT_NE(script.find("1 24 \""), std::string::npos);
}

TEST_F(ResourceGenerator, QuotesAndBackslashesInTextsAreEscaped) {
  Edit(tables_ + "/en.txt", "IDS_WIZARD_BACK=< Back", "IDS_WIZARD_BACK=< \"Back\" C:\\");
  const auto result = Generate();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(test::ReadFile(scratch_ / "setup.rc").find("  102, \"< \"\"Back\"\" C:\\\\\"\n"), std::string::npos);
}

TEST_F(ResourceGenerator, RefusesDamagedLayoutsAndTables) {
  struct Damage {
    const char* what;
    std::string file;
    const char* from;
    const char* to;
    const char* message;
  };
  const Damage damages[] = {
      {"control outside its dialog", layout_, "296 161 19 14", "297 161 19 14", "reaches outside its dialog"},
      {"unknown identifier", layout_, "IDS_BROWSE_OK\n", "IDS_BROWSE_YES\n", "unknown identifier IDS_BROWSE_YES"},
      {"control id twice", layout_, "control 1010 STATIC", "control 1009 STATIC", "control 1009 twice in dialog 135"},
      {"dialog twice", layout_, "dialog 134 ", "dialog 131 ", "laid out twice"},
      {"unknown class", layout_, "msctls_progress32", "msctls_progress", "unknown control class"},
      {"picture not listed", layout_, "bitmap 103 ", "bitmap 104 ", "shows bitmap 103, which is not listed"},
      {"picture missing", layout_, "../pictures/Setup.ico", "../pictures/Setup2.ico", "does not exist"},
      {"unknown language", layout_, "skip-language pt_BR", "skip-language pt_PT", "unknown pt_PT"},
      {"bad number", layout_, "0x50020000 IDS_WELCOME_TITLE", "0x5002000G IDS_WELCOME_TITLE", "is not a number"},
      {"a table lacks a text", tables_ + "/de.txt", "IDS_BROWSE_OK=Auswählen\n", "", "de.txt: missing IDS_BROWSE_OK"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    const std::string original = test::ReadFile(damage.file);
    Edit(damage.file, damage.from, damage.to);
    const auto result = Generate();
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find(damage.message), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(scratch_ / "setup.rc"));
    test::WriteFile(damage.file, original);
  }
}

// The pictures are committed because drawing them takes the better part of a
// minute; this keeps them from drifting away from their drawing.
TEST(Pictures, CommittedPicturesAreWhatTheScriptDraws) {
  test::ScratchDir scratch;
  const auto result = test::RunProcess({PYTHON3_EXECUTABLE, MAKE_PICTURES, scratch.Path()});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string gtk = GTK_PICTURES_DIR, win = WIN_PICTURES_DIR;
  for (const std::string& committed :
       {gtk + "/SidePicture.xpm", gtk + "/WindowIcon.xpm", win + "/SidePicture.bmp", win + "/Setup.ico"}) {
    const std::string name = fs::path(committed).filename();
    const std::string drawn = test::ReadFile(scratch / name);
    EXPECT_FALSE(drawn.empty()) << name;
    EXPECT_TRUE(drawn == test::ReadFile(committed)) << name << " differs from what make_pictures.py draws";
  }
}

}  // namespace
}  // namespace setup
