// The language choice on both builds: the scan of the arguments, the Linux
// locale step (injected; LanguageChoiceProcessTest.cpp tries it for real in a
// child process), and the Windows automatic choice behind a fake system.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "i18n/LanguageChoice.h"

namespace setup {
namespace {

LanguageChoice Linux(std::initializer_list<std::string_view> args,
                     std::optional<std::string_view> locale = std::nullopt) {
  const std::vector<std::string_view> arguments(args);
  return SelectLanguageLinux(arguments, locale);
}

// ---------------------------------------------------------------- Linux scan

TEST(i18nLinuxLanguageChoice, LanguageOptionEndsTheScan) {
  auto c = Linux({"/Lde", "/S"});
  EXPECT_EQ(c.descriptionLanguage, "de");
  EXPECT_EQ(c.languageNumber, 8);
  EXPECT_FALSE(c.silent);

  c = Linux({"/S", "/Lde"});
  EXPECT_EQ(c.descriptionLanguage, "de");
  EXPECT_TRUE(c.silent);

  c = Linux({"/Lru", "-S"});
  EXPECT_EQ(c.descriptionLanguage, "ru");
  EXPECT_FALSE(c.silent);

  // An unknown code ends the scan too: neither the later /S nor the later,
  // valid /L is seen, and the locale decides.
  c = Linux({"/Lxx", "/S", "/Lru"}, "de_DE.UTF-8");
  EXPECT_EQ(c.descriptionLanguage, "de");
  EXPECT_FALSE(c.silent);
}

TEST(i18nLinuxLanguageChoice, SilentFromSlashOrDashInEitherCase) {
  for (std::string_view option : {"/S", "/s", "-S", "-s", "/Silent", "-sx"}) {
    EXPECT_TRUE(Linux({option}).silent) << option;
  }
  for (std::string_view other : {"S", "s", "\\S", "/", "-", "", "/X", "--S", "//S"}) {
    EXPECT_FALSE(Linux({other}).silent) << other;
  }
  // Ignored arguments do not stop the scan.
  auto c = Linux({"kit", "/X", "-", "/S", "/Lfr"});
  EXPECT_TRUE(c.silent);
  EXPECT_EQ(c.descriptionLanguage, "fr");
}

// The options for administrators, as each build's scan reads them: the
// letter decides, a path follows "=", /Q counts only with /S, and nothing
// after the language option is read.
struct UnattendedCase {
  std::vector<std::u16string_view> args;
  bool windows;  // also read by the Windows scan
  std::optional<std::u16string> destination, report;
  bool quiet, plan;
};

const UnattendedCase kUnattendedCases[] = {
    {{u"/S", u"/D=/t/x", u"/Q"}, true, u"/t/x", std::nullopt, true, false},
    {{u"/d=rel dir", u"/r=out.jsonl", u"/p"}, true, u"rel dir", u"out.jsonl", false, true},
    {{u"/Quiet", u"/Plan"}, true, std::nullopt, std::nullopt, false, true},  // /Q without /S
    {{u"/D", u"/Dx", u"/R"}, true, u"", u"", false, false},                  // no "=": an empty path
    {{u"/D=a", u"/D=b=c"}, true, u"b=c", std::nullopt, false, false},      // the last one counts
    {{u"/S", u"/Lde", u"/D=x", u"/Q", u"/P"}, true, std::nullopt, std::nullopt, false, false},
    {{u"-S", u"-Q", u"-D=/t", u"-R=r", u"-P"}, false, u"/t", u"r", true, true},
};

TEST(i18nLinuxLanguageChoice, UnattendedOptionsAreReadUpToTheLanguageOption) {
  for (const UnattendedCase& row : kUnattendedCases) {
    std::vector<std::string> bytes;
    for (std::u16string_view arg : row.args) bytes.emplace_back(arg.begin(), arg.end());
    const std::vector<std::string_view> arguments(bytes.begin(), bytes.end());
    const UnattendedOptions got = SelectLanguageLinux(arguments, std::nullopt).unattended;
    SCOPED_TRACE(bytes.front());
    EXPECT_EQ(got.destination, row.destination);
    EXPECT_EQ(got.report, row.report);
    EXPECT_EQ(got.quiet, row.quiet);
    EXPECT_EQ(got.plan, row.plan);
  }
}

TEST(i18nLinuxLanguageChoice, CodesMatchExactlyAndCaseSensitively) {
  for (std::string_view option : {"-Lru", "/Lru", "-lru", "/lru"}) {
    auto c = Linux({option}, "el_GR.UTF-8");
    EXPECT_EQ(c.descriptionLanguage, "ru") << option;
    EXPECT_EQ(c.languageNumber, 17) << option;
    EXPECT_EQ(c.lcid, 1049) << option;
  }
  // These match nothing and leave the language to the locale.
  for (std::string_view option : {"-LRU", "/LRu", "/Lja", "/Lpt", "/Lpt_br", "/Lru_RU", "/L", "-L ru", "/Lzh_CN"}) {
    auto c = Linux({option}, "el_GR.UTF-8");
    EXPECT_EQ(c.descriptionLanguage, "el") << option;
    EXPECT_EQ(c.languageNumber, 9) << option;
  }
  EXPECT_EQ(Linux({"-LRU"}).descriptionLanguage, "en");

  auto c = Linux({"/Lpt_BR"}, "de_DE.UTF-8");
  EXPECT_EQ(c.descriptionLanguage, "pt_BR");
  EXPECT_EQ(c.languageNumber, 24);
  EXPECT_EQ(c.lcid, 1046);
}

TEST(i18nLinuxLanguageChoice, UsecwdCountsOnlyAsTheWholeFirstArgument) {
  auto c = Linux({"usecwd"});
  EXPECT_TRUE(c.useCurrentDirectory);
  EXPECT_FALSE(c.silent);

  c = Linux({"usecwd", "-S", "-Lkk"});
  EXPECT_TRUE(c.useCurrentDirectory);
  EXPECT_TRUE(c.silent);
  EXPECT_EQ(c.descriptionLanguage, "kk");

  c = Linux({"-S", "usecwd"});
  EXPECT_FALSE(c.useCurrentDirectory);
  EXPECT_TRUE(c.silent);

  for (std::string_view near : {"USECWD", "usecwd ", "usecwd2", "-usecwd", "/usecwd"}) {
    EXPECT_FALSE(Linux({near}).useCurrentDirectory) << near;
  }
  EXPECT_FALSE(Linux({}).useCurrentDirectory);
}

TEST(i18nLinuxLanguageChoice, LocaleNameGivesTheLanguageByItsFirstTwoCharacters) {
  struct Case {
    std::optional<std::string_view> locale;
    const char* code;
  };
  const Case cases[] = {
      {"el_GR.UTF-8", "el"},
      {"hu_HU.UTF-8", "hu"},
      {"ru_RU.UTF-8", "ru"},
      {"zh_CN.GB18030", "zh"},
      {"uk_UA", "uk"},
      {"tk_TM.UTF-8", "tk"},
      {"ru", "ru"},                // shorter than three: the whole name
      {"ar_EG.UTF-8", "ar"},       // Arabic keeps its own code
      {"pt_BR.UTF-8", "en"},       // "pt" is no code of the list
      {"C", "en"},
      {"C.UTF-8", "en"},
      {"POSIX", "en"},
      {"ja_JP.UTF-8", "en"},
      {"r", "en"},
      {"", "en"},
      {std::nullopt, "en"},       // the environment named a locale the system lacks
      {"LC_CTYPE=el_GR.UTF-8;LC_NUMERIC=C;LC_TIME=el_GR.UTF-8", "en"},
  };
  for (const Case& c : cases) {
    const std::string name = c.locale ? std::string(*c.locale) : "(null)";
    const LanguageChoice choice = Linux({}, c.locale);
    EXPECT_EQ(choice.descriptionLanguage, c.code) << name;
    EXPECT_EQ(choice.languageNumber, FindLanguageByCode(c.code)->number) << name;
    EXPECT_FALSE(choice.silent);
  }
}

TEST(i18nLinuxLanguageChoice, ArabicKeepsItsCodeAndShowsEnglish) {
  const LanguageChoice c = Linux({"/Lar"});
  EXPECT_EQ(c.descriptionLanguage, "ar");
  EXPECT_EQ(c.languageNumber, 22);
  EXPECT_EQ(c.lcid, 1025);
  EXPECT_EQ(LookUpMessage(c.languageNumber, "IDS_WELCOME_TITLE"), u"Welcome to the product installation program");
}

// ------------------------------------------------------------------ Windows

// A Windows whose answers the test sets, with a record of what was asked.
class FakeWindows : public WindowsLanguageSystem {
 public:
  uint16_t userLangId = 0x0409;
  std::deque<uint16_t> systemLangIds{0x0409};
  VersionQuery version = VersionQuery::kSucceeded;
  uint32_t majorVersion = 10;
  // One answer per call; nullopt: the call fails.
  std::deque<std::optional<uint32_t>> localeNumbers{0x0409};

  int userCalls = 0, systemCalls = 0, versionCalls = 0, localeCalls = 0;
  std::vector<std::string> badArguments;

  uint16_t UserDefaultLangId() override {
    ++userCalls;
    return userLangId;
  }
  uint16_t SystemDefaultLangId() override {
    ++systemCalls;
    return Next(systemLangIds);
  }
  VersionQuery QueryVersion(uint32_t recordSize, uint32_t& major) override {
    ++versionCalls;
    if (recordSize != 276) badArguments.push_back("record size " + std::to_string(recordSize));
    major = majorVersion;
    return version;
  }
  bool QueryLocaleNumber(uint32_t locale, uint32_t infoType, int characters, uint32_t& number) override {
    ++localeCalls;
    if (locale != 127 || infoType != 0x2000006D || characters != 1) badArguments.push_back("GetLocaleInfoW arguments");
    const auto answer = Next(localeNumbers);
    if (answer) number = *answer;
    return answer.has_value();
  }

 private:
  template <typename T>
  static T Next(std::deque<T>& queue) {
    T value = queue.front();
    if (queue.size() > 1) queue.pop_front();
    return value;
  }
};

LanguageChoice Windows(std::initializer_list<std::u16string_view> args, FakeWindows& system) {
  const std::vector<std::u16string_view> arguments(args);
  return SelectLanguageWindows(arguments, system);
}

LanguageChoice WindowsUser(uint16_t userLangId) {
  FakeWindows system;
  system.userLangId = userLangId;
  return Windows({}, system);
}

TEST(i18nWindowsLanguageChoice, CodesMatchWithoutRegardToCase) {
  for (std::u16string_view option : {u"/Lru", u"/LRU", u"/lRu", u"/lru"}) {
    FakeWindows system;
    system.userLangId = 0x0407;
    const LanguageChoice c = Windows({option}, system);
    EXPECT_EQ(c.lcid, 1049);
    EXPECT_EQ(c.descriptionLanguage, "ru");
    EXPECT_EQ(c.languageNumber, 17);
    EXPECT_EQ(system.userCalls, 0) << "the user's language is not consulted after a match";
  }
  FakeWindows system;
  auto c = Windows({u"/LPT_br"}, system);
  EXPECT_EQ(c.lcid, 1046);
  EXPECT_EQ(c.descriptionLanguage, "pt_BR");
  c = Windows({u"/LAr"}, system);
  EXPECT_EQ(c.lcid, 1025);
  EXPECT_EQ(c.descriptionLanguage, "ar");
  // Every table language can be asked for by its code.
  for (const LanguageEntry& language : SupportedLanguages()) {
    const std::u16string option = u"/L" + std::u16string(language.code.begin(), language.code.end());
    EXPECT_EQ(Windows({option}, system).lcid, language.lcid) << language.code;
  }
}

TEST(i18nWindowsLanguageChoice, RealLanguagesWithoutTranslationGiveEnglish) {
  const char* const codes[] = {"af", "sq",  "eu",  "be",  "bn",  "bs",  "my",      "ca", "hr",  "cs", "da", "dv",
                               "nl", "et",  "fo",  "fi",  "gu",  "he",  "hi",      "is", "id",  "xh", "zu", "ja",
                               "kn", "kok", "ko",  "mk",  "ms",  "ml",  "mi",      "mt", "mr",  "mn", "nb", "nn",
                               "pt", "pa",  "qu",  "sa",  "se",  "smj", "sma",     "sms", "smn", "sr", "sr_Latn",
                               "sk", "sl",  "sw",  "sv",  "syr", "ta",  "tt",      "te", "th",  "ur", "uz", "cy"};
  ASSERT_EQ(std::size(codes), 59u);
  for (const char* code : codes) {
    for (bool upper : {false, true}) {
      std::u16string option = u"/L";
      for (const char* p = code; *p; ++p) option += static_cast<char16_t>(upper ? std::toupper(*p) : *p);
      FakeWindows system;
      system.userLangId = 0x0419;  // a Russian user: English must not come from here
      const LanguageChoice c = Windows({option}, system);
      EXPECT_EQ(c.lcid, 1033) << code;
      EXPECT_EQ(c.descriptionLanguage, "en") << code;
      EXPECT_EQ(system.userCalls, 0) << code;
    }
  }
}

TEST(i18nWindowsLanguageChoice, UnknownCodesLeaveItToTheUser) {
  for (std::u16string_view option : {u"/Lxx", u"/L", u"/Lpt_PT", u"/Lsr_Cyrl", u"/Lenglish", u"/Lru ", u"/Lja_JP"}) {
    FakeWindows system;
    system.userLangId = 0x0408;
    const LanguageChoice c = Windows({option}, system);
    EXPECT_EQ(c.lcid, 1032);
    EXPECT_EQ(c.descriptionLanguage, "el");
    EXPECT_EQ(system.userCalls, 1);
  }
}

TEST(i18nWindowsLanguageChoice, OnlySlashOptionsAndTheFirstLanguageOptionCount) {
  FakeWindows system;
  system.userLangId = 0x0422;  // Ukrainian
  auto c = Windows({u"/Lde", u"/S"}, system);
  EXPECT_EQ(c.lcid, 1031);
  EXPECT_FALSE(c.silent);

  c = Windows({u"/S", u"/Lde"}, system);
  EXPECT_EQ(c.lcid, 1031);
  EXPECT_TRUE(c.silent);

  EXPECT_TRUE(Windows({u"/s"}, system).silent);
  EXPECT_TRUE(Windows({u"/Silent"}, system).silent);
  // Dash options and "usecwd" are Linux only.
  c = Windows({u"-s", u"-Lde"}, system);
  EXPECT_FALSE(c.silent);
  EXPECT_EQ(c.lcid, 1058);
  c = Windows({u"usecwd", u"/Lfr"}, system);
  EXPECT_EQ(c.lcid, 1036);
  EXPECT_FALSE(c.useCurrentDirectory);

  // The first /L ends the scan even with an unknown code.
  c = Windows({u"/Lxx", u"/S", u"/Lde"}, system);
  EXPECT_EQ(c.lcid, 1058);
  EXPECT_FALSE(c.silent);
  // A non-ASCII argument is no code, even if it folds to one elsewhere.
  EXPECT_EQ(Windows({u"/Lрu"}, system).lcid, 1058);

  // A request for help or the version counts wherever it stands.
  c = Windows({u"/Lde", u"/?"}, system);
  EXPECT_TRUE(c.help && !c.version);
  c = Windows({u"--version", u"/S"}, system);
  EXPECT_TRUE(c.version && !c.help && c.silent);
  EXPECT_FALSE(Windows({u"/?x", u"-?", u"/version"}, system).help);
}

TEST(i18nWindowsLanguageChoice, UnattendedOptionsAreReadUpToTheLanguageOption) {
  FakeWindows system;
  for (const UnattendedCase& row : kUnattendedCases) {
    const UnattendedOptions got = SelectLanguageWindows(row.args, system).unattended;
    SCOPED_TRACE(std::string(row.args.front().begin(), row.args.front().end()));
    const bool read = row.windows;  // dash options are Linux only
    EXPECT_EQ(got.destination, read ? row.destination : std::nullopt);
    EXPECT_EQ(got.report, read ? row.report : std::nullopt);
    EXPECT_EQ(got.quiet, read && row.quiet);
    EXPECT_EQ(got.plan, read && row.plan);
  }
}

TEST(i18nWindowsLanguageChoice, UserLanguageMapsByPrimaryLanguage) {
  const std::map<uint16_t, uint16_t> primaryToLcid = {
      {1, 1025},  {2, 1026},  {4, 2052},  {7, 1031},  {8, 1032},  {10, 1034}, {12, 1036},
      {16, 1040}, {22, 1046}, {24, 1048}, {25, 1049}, {31, 1055}, {34, 1058}, {38, 1062},
      {39, 1063}, {43, 1067}, {44, 1068}, {55, 1079}, {63, 1087}, {66, 1090},
  };
  for (uint16_t primary = 0; primary < 0x400; ++primary) {
    auto it = primaryToLcid.find(primary);
    const uint16_t expected = it == primaryToLcid.end() ? 1033 : it->second;
    // The sublanguage bits do not matter.
    for (uint16_t sub : {0x01, 0x02, 0x03, 0x20}) {
      const auto langId = static_cast<uint16_t>(sub << 10 | primary);
      if (langId == kCustomLocaleLangId) continue;
      ASSERT_EQ(LcidForLanguageId(langId), expected) << std::hex << langId;
    }
  }
  // Every table language is reached from its own LCID, but for the three
  // that only /L reaches.
  for (const LanguageEntry& language : SupportedLanguages()) {
    const bool byOptionOnly = language.code == "hu" || language.code == "pl" || language.code == "vi";
    EXPECT_EQ(LcidForLanguageId(language.lcid), byOptionOnly ? 1033 : language.lcid) << language.code;
  }

  EXPECT_EQ(WindowsUser(0x040E).descriptionLanguage, "en");  // Hungarian
  EXPECT_EQ(WindowsUser(0x0415).descriptionLanguage, "en");  // Polish
  EXPECT_EQ(WindowsUser(0x042A).descriptionLanguage, "en");  // Vietnamese
  EXPECT_EQ(WindowsUser(0x0411).descriptionLanguage, "en");  // Japanese
  EXPECT_EQ(WindowsUser(0x0807).descriptionLanguage, "de");  // German (Switzerland)
  EXPECT_EQ(WindowsUser(0x0816).descriptionLanguage, "pt_BR");  // Portuguese (Portugal)
  const LanguageChoice arabic = WindowsUser(0x0C01);  // Arabic (Egypt)
  EXPECT_EQ(arabic.lcid, 1025);
  EXPECT_EQ(arabic.descriptionLanguage, "ar");
  EXPECT_EQ(arabic.languageNumber, 22);
}

TEST(i18nWindowsLanguageChoice, CustomLocaleAsksTheSystem) {
  using VersionQuery = WindowsLanguageSystem::VersionQuery;
  {  // Vista and later: the locale's language number.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.majorVersion = 6;
    system.localeNumbers = {0x0408};
    EXPECT_EQ(Windows({}, system).lcid, 1032);
    EXPECT_EQ(system.localeCalls, 1);
    EXPECT_EQ(system.systemCalls, 0);
    EXPECT_TRUE(system.badArguments.empty()) << system.badArguments.front();
  }
  {  // Before Vista: the system's default language.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.majorVersion = 5;
    system.systemLangIds = {0x0419};
    EXPECT_EQ(Windows({}, system).lcid, 1049);
    EXPECT_EQ(system.localeCalls, 0);
    EXPECT_EQ(system.systemCalls, 1);
  }
  {  // GetVersionExW fails: the locale is asked.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.version = VersionQuery::kCallFailed;
    system.majorVersion = 5;
    system.localeNumbers = {0x041F};
    EXPECT_EQ(Windows({}, system).lcid, 1055);
  }
  {  // GetLocaleInfoW fails: the system's default language.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.localeNumbers = {std::nullopt};
    system.systemLangIds = {0x0437};
    EXPECT_EQ(Windows({}, system).lcid, 1079);
    EXPECT_EQ(system.localeCalls, 1);
  }
  {  // No GetVersionExW at all: still 0x0C00 after both rounds, so English.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.version = VersionQuery::kFunctionMissing;
    const LanguageChoice c = Windows({}, system);
    EXPECT_EQ(c.lcid, 1033);
    EXPECT_EQ(c.descriptionLanguage, "en");
    EXPECT_EQ(system.versionCalls, 2);
    EXPECT_EQ(system.localeCalls + system.systemCalls, 0);
  }
  {  // The first round answers 0x0C00 again; the second one is believed.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.localeNumbers = {kCustomLocaleLangId, 0x0422};
    EXPECT_EQ(Windows({}, system).lcid, 1058);
    EXPECT_EQ(system.localeCalls, 2);
  }
  {  // Two rounds at most.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    system.localeNumbers = {kCustomLocaleLangId, kCustomLocaleLangId, 0x0419};
    EXPECT_EQ(Windows({}, system).lcid, 1033);
    EXPECT_EQ(system.localeCalls, 2);
  }
  {  // A custom locale never overrides /L.
    FakeWindows system;
    system.userLangId = kCustomLocaleLangId;
    EXPECT_EQ(Windows({u"/Lkk"}, system).lcid, 1087);
    EXPECT_EQ(system.versionCalls, 0);
  }
}

}  // namespace
}  // namespace setup
