// The catalogue generator, run on copies of the tables: it must refuse a
// table that would leave a label empty or unreadable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace setup {
namespace {

// The generator is what stands between an edited table and the program: it
// must refuse a table that would leave a label empty or unreadable.
class i18nCatalogueGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    tables_ = scratch_ / "tables";
    fs::copy(I18N_TABLES_DIR, tables_);
  }

  test::ProcessResult Generate() {
    return test::RunProcess({PYTHON3_EXECUTABLE, I18N_GENERATOR, "--tables", tables_, "--output",
                             scratch_ / "CatalogueTables.cpp"});
  }

  // Replaces the first occurrence of `from` in a table file.
  void Edit(const std::string& file, const std::string& from, const std::string& to) {
    std::string text = test::ReadFile(tables_ + "/" + file);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << file << " has no " << from;
    text.replace(at, from.size(), to);
    test::WriteFile(tables_ + "/" + file, text);
  }

  test::ScratchDir scratch_;
  std::string tables_;
};

TEST_F(i18nCatalogueGenerator, AcceptsTheTablesAsTheyAre) {
  const auto result = Generate();
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string source = test::ReadFile(scratch_ / "CatalogueTables.cpp");
  EXPECT_NE(source.find("kTexts_pt_BR"), std::string::npos);
  EXPECT_NE(source.find("{\"IDS_SETUP_EXISTEDTARGET\", 337}"), std::string::npos);
}

TEST_F(i18nCatalogueGenerator, RefusesDamagedTables) {
  struct Damage {
    const char* what;
    const char* file;
    const char* from;
    const char* to;
    const char* message;
  };
  const Damage damages[] = {
      {"missing identifier", "de.txt", "IDS_BROWSE_OK=Auswählen\n", "", "de.txt: missing IDS_BROWSE_OK"},
      {"empty text", "uk.txt", "IDS_WIZARD_FINISH=Готово", "IDS_WIZARD_FINISH=", "IDS_WIZARD_FINISH has empty text"},
      {"duplicate", "fr.txt", "IDS_WIZARD_CANCEL=Annuler\n", "IDS_WIZARD_CANCEL=Annuler\nIDS_WIZARD_CANCEL=Fermer\n",
       "IDS_WIZARD_CANCEL given twice"},
      {"unknown identifier", "it.txt", "IDS_BROWSE_OK=", "IDS_BROWSE_YES=", "unknown identifier 'IDS_BROWSE_YES'"},
      {"no equals sign", "es.txt", "IDS_BROWSE_OK=", "IDS_BROWSE_OK ", "expected 'IDENTIFIER=text'"},
      {"not UTF-8", "pl.txt", "Zakończ", "Zako\xf1\x63z", "pl.txt: not valid UTF-8"},
      {"trailing space", "tr.txt", "IDS_BROWSE_OK=Seç", "IDS_BROWSE_OK=Seç ", "leading or trailing white space"},
      {"decomposed accents", "vi.txt", "IDS_BROWSE_OK=Chọn", "IDS_BROWSE_OK=Cho\xcc\xa3n", "normal form C"},
      {"duplicate number", "ids.txt", "IDS_WIZARD_NEXT 103", "IDS_WIZARD_NEXT 102", "has the number of"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    const std::string path = tables_ + "/" + damage.file;
    const std::string original = test::ReadFile(path);
    Edit(damage.file, damage.from, damage.to);
    const auto result = Generate();
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find(damage.message), std::string::npos) << result.err;
    test::WriteFile(path, original);
  }
}

TEST_F(i18nCatalogueGenerator, RefusesAMissingOrStrayTable) {
  const std::string armenian = test::ReadFile(tables_ + "/hy.txt");
  std::filesystem::remove(tables_ + "/hy.txt");
  auto result = Generate();
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("hy.txt: cannot read"), std::string::npos) << result.err;

  test::WriteFile(tables_ + "/hy.txt", armenian);
  test::WriteFile(tables_ + "/hy_AM.txt", armenian);
  result = Generate();
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("tables of no listed language: hy_AM.txt"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace setup
