// The Linux language choice for real: the start-up step run in a child
// process under different locale environments, with locales built by
// localedef where the machine lacks them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "i18n/LanguageChoice.h"

namespace setup {
namespace {

// ------------------------------------------------- Linux, the real setlocale

struct ToolResult {
  int number = 0;
  std::string code;
  bool silent = false;
  bool usecwd = false;
  std::string title;
  std::string locale;
};

// Every locale variable is cleared first, so that only `env` speaks.
ToolResult RunTool(const std::vector<std::string>& args, std::map<std::string, std::string> env) {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LC_NUMERIC", "LC_TIME", "LC_COLLATE", "LC_MONETARY", "LC_MESSAGES",
                           "LC_PAPER", "LC_NAME", "LC_ADDRESS", "LC_TELEPHONE", "LC_MEASUREMENT",
                           "LC_IDENTIFICATION", "LANG", "LANGUAGE", "LOCPATH"}) {
    env.emplace(name, "");
  }
  std::vector<std::string> argv{SELECT_LANGUAGE_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  const test::ProcessResult run = test::RunProcess(argv, env);
  ToolResult result;
  EXPECT_EQ(run.status, 0) << run.err;
  std::istringstream out(run.out);
  std::string line;
  std::getline(out, line);
  result.number = std::atoi(line.c_str());
  std::getline(out, result.code);
  std::getline(out, line);
  result.silent = line == "1";
  std::getline(out, line);
  result.usecwd = line == "1";
  std::getline(out, result.title);
  std::getline(out, result.locale);
  return result;
}

TEST(i18nLinuxLanguageChoiceWithSetlocale, LocalesEveryMachineHas) {
  auto r = RunTool({}, {{"LANG", "C"}});
  EXPECT_EQ(r.code, "en");
  EXPECT_EQ(r.title, "Installing configuration");

  r = RunTool({}, {});
  EXPECT_EQ(r.code, "en");

  r = RunTool({}, {{"LANG", "C.UTF-8"}});
  EXPECT_EQ(r.code, "en");
  EXPECT_EQ(r.locale, "C.UTF-8");

  // Different locales per category: the name describes each category.
  r = RunTool({}, {{"LANG", "C.UTF-8"}, {"LC_NUMERIC", "C"}});
  EXPECT_EQ(r.code, "en");
  EXPECT_EQ(r.locale.rfind("LC_CTYPE=", 0), 0u) << r.locale;

  // A locale the system does not have: selecting it fails, although "ru"
  // would have matched.
  r = RunTool({}, {{"LANG", "ru_ZZ.UTF-8"}});
  EXPECT_EQ(r.code, "en");

  // Under LANG=C the Russian title still comes out right, and the options
  // around the language are seen as in any locale.
  r = RunTool({"usecwd", "-s", "-Lru", "/Lde"}, {{"LANG", "C"}});
  EXPECT_EQ(r.code, "ru");
  EXPECT_EQ(r.number, 17);
  EXPECT_TRUE(r.silent);
  EXPECT_TRUE(r.usecwd);
  EXPECT_EQ(r.title, "Установка конфигурации");

  r = RunTool({"/Lar"}, {{"LANG", "C.UTF-8"}});
  EXPECT_EQ(r.code, "ar");
  EXPECT_EQ(r.title, "Installing configuration");
  // The environment's locale is in force even though /L decided.
  EXPECT_EQ(r.locale, "C.UTF-8");
}

// Real el_GR, hu_HU, pt_BR and de_DE locales, compiled with localedef into a scratch
// directory that LOCPATH points at; nothing on the system is changed.
TEST(i18nLinuxLanguageChoiceWithSetlocale, InstalledLanguageLocales) {
  const char* const localedef = "/usr/bin/localedef";
  if (access(localedef, X_OK) != 0) GTEST_SKIP() << "localedef is not installed, cannot build test locales";
  for (const char* source : {"el_GR", "hu_HU", "pt_BR", "de_DE"}) {
    if (access((std::string("/usr/share/i18n/locales/") + source).c_str(), R_OK) != 0) {
      GTEST_SKIP() << "the locale source " << source << " is not installed (package locales), cannot build it";
    }
  }
  test::ScratchDir dir;
  for (const char* name : {"el_GR", "hu_HU", "pt_BR"}) {
    const auto run = test::RunProcess({localedef, "-i", name, "-f", "UTF-8", dir / (std::string(name) + ".UTF-8")});
    ASSERT_EQ(run.status, 0) << "localedef " << name << ": " << run.err;
  }
  // A locale whose encoding is not UTF-8: texts decoded through it would
  // come out garbled.
  const auto latin1 = test::RunProcess({localedef, "-i", "de_DE", "-f", "ISO-8859-1", dir / "de_DE.ISO-8859-1"});
  ASSERT_EQ(latin1.status, 0) << "localedef de_DE.ISO-8859-1: " << latin1.err;
  const std::string locpath = dir.Path();

  auto r = RunTool({}, {{"LOCPATH", locpath}, {"LANG", "el_GR.UTF-8"}});
  EXPECT_EQ(r.locale, "el_GR.UTF-8");
  EXPECT_EQ(r.code, "el");
  EXPECT_EQ(r.number, 9);
  EXPECT_EQ(r.title, "Εγκατάσταση διαμόρφωσης");

  r = RunTool({}, {{"LOCPATH", locpath}, {"LANG", "hu_HU.UTF-8"}});
  EXPECT_EQ(r.code, "hu");
  EXPECT_EQ(r.title, "Konfiguráció telepítése");

  r = RunTool({}, {{"LOCPATH", locpath}, {"LANG", "pt_BR.UTF-8"}});
  EXPECT_EQ(r.locale, "pt_BR.UTF-8");
  EXPECT_EQ(r.code, "en");
  r = RunTool({"/Lpt_BR"}, {{"LOCPATH", locpath}, {"LANG", "pt_BR.UTF-8"}});
  EXPECT_EQ(r.code, "pt_BR");
  EXPECT_EQ(r.title, "Instalação da configuração");

  // LC_ALL outranks LANG.
  r = RunTool({}, {{"LOCPATH", locpath}, {"LANG", "hu_HU.UTF-8"}, {"LC_ALL", "el_GR.UTF-8"}});
  EXPECT_EQ(r.code, "el");

  // Mixed categories with real language locales still give English.
  r = RunTool({}, {{"LOCPATH", locpath}, {"LANG", "el_GR.UTF-8"}, {"LC_TIME", "hu_HU.UTF-8"}});
  EXPECT_EQ(r.locale.rfind("LC_CTYPE=el_GR.UTF-8;", 0), 0u) << r.locale;
  EXPECT_EQ(r.code, "en");

  // -LRU matches no code, so the locale decides; -Lde wins over it.
  r = RunTool({"-LRU", "-S"}, {{"LOCPATH", locpath}, {"LANG", "hu_HU.UTF-8"}});
  EXPECT_EQ(r.code, "hu");
  EXPECT_FALSE(r.silent);
  r = RunTool({"-S", "-Lde"}, {{"LOCPATH", locpath}, {"LANG", "hu_HU.UTF-8"}});
  EXPECT_EQ(r.code, "de");
  EXPECT_TRUE(r.silent);
  EXPECT_EQ(r.locale, "hu_HU.UTF-8");

  r = RunTool({"-Lru"}, {{"LOCPATH", locpath}, {"LANG", "de_DE.ISO-8859-1"}});
  EXPECT_EQ(r.locale, "de_DE.ISO-8859-1");
  EXPECT_EQ(r.code, "ru");
  EXPECT_EQ(r.title, "Установка конфигурации");
  r = RunTool({}, {{"LOCPATH", locpath}, {"LANG", "de_DE.ISO-8859-1"}});
  EXPECT_EQ(r.code, "de");

  // Without LOCPATH the same name is a locale this system lacks (unless the
  // machine happens to carry it).
  r = RunTool({}, {{"LANG", "el_GR.UTF-8"}});
  if (r.locale == "C") {
    EXPECT_EQ(r.code, "en");
  }
}

}  // namespace
}  // namespace setup
