// The catalogue's data and lookup: the language list, the identifiers with
// their Windows numbers, the 24 tables, and what a translation must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "i18n/Catalogue.h"
#include "platform/Text.h"

namespace setup {
namespace {

using Table = std::map<std::string, std::string>;

Table CompiledTable(int languageNumber) {
  Table table;
  for (const MessageIdentifier& id : MessageIdentifiers()) {
    table[std::string(id.name)] = std::string(LookUpMessageUtf8(languageNumber, id.name));
  }
  return table;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// `word` standing alone, not inside a longer ASCII word: "Temp", but not the
// start of "Template".
bool ContainsWord(const std::string& text, const std::string& word) {
  auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const size_t end = at + word.size();
    if ((at == 0 || !isLetter(text[at - 1])) && (end == text.size() || !isLetter(text[end]))) return true;
  }
  return false;
}
bool StartsWith(const std::string& text, const std::string& part) { return text.rfind(part, 0) == 0; }
bool EndsWith(const std::string& text, const std::string& part) {
  return text.size() >= part.size() && text.compare(text.size() - part.size(), part.size(), part) == 0;
}

// What a translation of the English table must keep: every identifier with
// text, the file name and directory name that the user will look for on
// disk, the "..." of status texts, the arrows of the buttons and the
// Windows label mnemonic. One line per fault, naming the identifier.
std::vector<std::string> TranslationProblems(const Table& english, const Table& translated) {
  std::vector<std::string> problems;
  for (const auto& [id, source] : english) {
    auto it = translated.find(id);
    if (it == translated.end()) {
      problems.push_back(id + ": missing");
      continue;
    }
    const std::string& text = it->second;
    if (text.empty()) {
      problems.push_back(id + ": empty");
      continue;
    }
    for (const char* name : {"orvikv8.okd", "Temp"}) {
      if (ContainsWord(source, name) && !ContainsWord(text, name)) problems.push_back(id + ": lost " + name);
    }
    if (EndsWith(source, "...") && !EndsWith(text, "...")) problems.push_back(id + ": lost the \"...\" ending");
    if (StartsWith(source, "<") && !StartsWith(text, "<")) problems.push_back(id + ": lost the leading \"<\"");
    if (EndsWith(source, ">") && !EndsWith(text, ">")) problems.push_back(id + ": lost the trailing \">\"");
    if (Contains(source, "&")) {
      const size_t amp = text.find('&');
      if (amp == std::string::npos || amp + 1 >= text.size() || text[amp + 1] == ' ' ||
          text.find('&', amp + 1) != std::string::npos) {
        problems.push_back(id + ": needs exactly one \"&\" before a character");
      }
    }
  }
  for (const auto& entry : translated) {
    if (!english.count(entry.first)) problems.push_back(entry.first + ": not an identifier");
  }
  return problems;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}

TEST(i18nCatalogue, LanguagesAreTheTwentyFourWithTheirCodesAndLcids) {
  struct Expected {
    const char* code;
    uint16_t lcid;
  };
  const Expected expected[] = {
      {"hy", 1067}, {"az", 1068}, {"bg", 1026}, {"zh", 2052}, {"en", 1033}, {"fr", 1036},
      {"ka", 1079}, {"de", 1031}, {"el", 1032}, {"hu", 1038}, {"it", 1040}, {"kk", 1087},
      {"lv", 1062}, {"lt", 1063}, {"pl", 1045}, {"ro", 1048}, {"ru", 1049}, {"es", 1034},
      {"tr", 1055}, {"uk", 1058}, {"vi", 1066}, {"ar", 1025}, {"tk", 1090}, {"pt_BR", 1046},
  };
  const auto languages = SupportedLanguages();
  ASSERT_EQ(languages.size(), std::size(expected));
  for (size_t i = 0; i < languages.size(); ++i) {
    SCOPED_TRACE(expected[i].code);
    EXPECT_EQ(languages[i].code, expected[i].code);
    EXPECT_EQ(languages[i].lcid, expected[i].lcid);
    EXPECT_EQ(languages[i].number, static_cast<int>(i) + 1);
    EXPECT_EQ(FindLanguageByCode(expected[i].code), &languages[i]);
    EXPECT_EQ(FindLanguageByLcid(expected[i].lcid), &languages[i]);
    EXPECT_EQ(FindLanguageByNumber(static_cast<int>(i) + 1), &languages[i]);
  }
  EXPECT_EQ(FindLanguageByCode("en")->number, kEnglishLanguageNumber);
  EXPECT_EQ(FindLanguageByCode("en")->lcid, kEnglishLcid);
  // Codes compare byte for byte.
  EXPECT_EQ(FindLanguageByCode("RU"), nullptr);
  EXPECT_EQ(FindLanguageByCode("pt"), nullptr);
  EXPECT_EQ(FindLanguageByCode("pt_br"), nullptr);
  EXPECT_EQ(FindLanguageByCode(""), nullptr);
  EXPECT_EQ(FindLanguageByNumber(0), nullptr);
  EXPECT_EQ(FindLanguageByNumber(25), nullptr);
  EXPECT_EQ(FindLanguageByLcid(1041), nullptr);
}

TEST(i18nCatalogue, IdentifiersCarryTheirWindowsNumbers) {
  const std::map<std::string, uint16_t> expected = {
      {"IDS_WIZARD_BACK", 102},         {"IDS_WIZARD_NEXT", 103},       {"IDS_WIZARD_FINISH", 104},
      {"IDS_WIZARD_CANCEL", 105},       {"IDS_ACCEPT_CANCEL", 106},     {"IDS_TITLE_INSTALLER", 107},
      {"IDS_PREPARECOPY", 108},         {"IDS_INSTALL_ERROR", 109},     {"IDS_ERROR_NOSOURCE", 110},
      {"IDS_ERROR_NOTARGET", 111},      {"IDS_SETUP_EMPTYTARGET", 112}, {"IDS_INSTALL_FINISH", 113},
      {"IDS_ERROR_DAMAGEDSOURCE", 114}, {"IDS_DEFPRODUCT", 115},        {"IDS_DEFPROVIDER", 116},
      {"IDS_SUCCESS_FINISH", 117},      {"IDS_SUCCESS_OPENDESCR", 118}, {"IDS_PROGRESS_START", 119},
      {"IDS_ERROR_FINISH", 120},        {"IDS_CANCEL_FINISH", 121},     {"IDS_BROWSE_SELDIR", 123},
      {"IDS_BROWSE_OK", 124},           {"IDS_BROWSE_CANCEL", 125},     {"IDR_MAINFRAME", 128},
      {"IDS_ERROR_NOSPACE", 136},       {"IDS_TEMPLATE_CATALOG", 194},  {"IDS_SETUP_EXISTEDTARGET", 337},
      {"IDS_CHOOSEDIR_FOLDER", 786},    {"IDS_CHOOSEDIR_TITLE", 787},   {"IDS_WELCOME_TITLE", 1005},
      {"IDS_DESTINATION_PROMPT", 1009}, {"IDS_ERROR_INPROGRESS", 1101},  {"IDS_ERROR_NOTRESTORED", 1102},
      {"IDS_ERROR_LINKINPATH", 1103},   {"IDS_ERROR_TEMPINSIDE", 1104},  {"IDS_ERROR_TEMPUNUSABLE", 1105},
      {"IDS_ERROR_READSOURCE", 1106},   {"IDS_ERROR_BADTARGET", 1107},   {"IDS_WARNING_STARTER", 1108},
      {"IDS_ERROR_NODISPLAY", 1109},    {"IDS_ERROR_UNREADOPTIONS", 1110}, {"IDS_ERROR_REPORT", 1111},
  };
  ASSERT_EQ(MessageIdentifiers().size(), 42u);
  for (const MessageIdentifier& id : MessageIdentifiers()) {
    auto it = expected.find(std::string(id.name));
    ASSERT_NE(it, expected.end()) << id.name;
    EXPECT_EQ(id.windowsNumber, it->second) << id.name;
  }
  for (const auto& [name, number] : expected) {
    EXPECT_EQ(WindowsNumberOf(name), number) << name;
    EXPECT_EQ(IdentifierOfWindowsNumber(number), name);
  }
  EXPECT_EQ(WindowsNumberOf("IDS_NOT_THERE"), 0);
  EXPECT_EQ(WindowsNumberOf("ids_wizard_back"), 0);
  EXPECT_EQ(IdentifierOfWindowsNumber(122), "");
}

TEST(i18nCatalogue, EveryLanguageHoldsEveryIdentifierWithText) {
  size_t texts = 0;
  for (const LanguageEntry& language : SupportedLanguages()) {
    for (const MessageIdentifier& id : MessageIdentifiers()) {
      EXPECT_FALSE(LookUpMessage(language.number, id.name).empty()) << language.code << " " << id.name;
      if (!LookUpMessageUtf8(language.number, id.name).empty()) ++texts;
    }
  }
  EXPECT_EQ(texts, 24u * 42u);
}

TEST(i18nCatalogue, EnglishAndRussianAreTheReferenceTexts) {
  struct Row {
    const char* id;
    const char* english;
    const char* russian;
  };
  const Row rows[] = {
      {"IDS_WIZARD_BACK", "< Back", "< Назад"},
      {"IDS_WIZARD_NEXT", "Next >", "Далее >"},
      {"IDS_WIZARD_FINISH", "Finish", "Готово"},
      {"IDS_WIZARD_CANCEL", "Cancel", "Отмена"},
      {"IDS_ACCEPT_CANCEL", "Do you really want to cancel installation?", "Вы действительно хотите отменить установку?"},
      {"IDS_TITLE_INSTALLER", "Installing configuration", "Установка конфигурации"},
      {"IDS_PREPARECOPY", "Preparing to copy...", "Подготовка к копированию..."},
      {"IDS_INSTALL_ERROR", "Installation error", "Ошибка при инсталляции"},
      {"IDS_ERROR_NOSOURCE", "Distribution kit file orvikv8.okd not found.",
       "Файл комплекта установки orvikv8.okd не найден."},
      {"IDS_ERROR_NOTARGET", "Installation of templates to the current directory is not supported.",
       "Установка в текущий каталог шаблонов не поддерживается."},
      {"IDS_SETUP_EMPTYTARGET", "Specify correct path to template directory.",
       "Укажите корректный путь к каталогу шаблонов."},
      {"IDS_INSTALL_FINISH", "Copying complete...", "Завершение копирования..."},
      {"IDS_ERROR_DAMAGEDSOURCE",
       "Distribution kit file orvikv8.okd corrupted or not designed for this installation program.",
       "Файл комплекта установки orvikv8.okd поврежден или не предназначен для этой программы установки."},
      {"IDS_DEFPRODUCT", "<Product>", "<Продукт>"},
      {"IDS_DEFPROVIDER", "<Vendor>", "<Поставщик>"},
      {"IDS_SUCCESS_FINISH", "Configuration installed successfully.", "Конфигурация успешно установлена."},
      {"IDS_SUCCESS_OPENDESCR", "Open description of distribution package", "Открыть описание поставки"},
      {"IDS_PROGRESS_START", "Files being copied...", "Идет копирование файлов..."},
      {"IDS_ERROR_FINISH",
       "An error occurred during the installation process. Installation canceled. Template directory has not "
       "been changed.",
       "В процессе установки произошла ошибка. Установка прервана. Каталог шаблонов не изменен."},
      {"IDS_CANCEL_FINISH", "Installation canceled. Template directory has not been changed.",
       "Установка отменена. Каталог шаблонов не изменен."},
      {"IDS_BROWSE_SELDIR", "Directory selected:", "Выбранный каталог:"},
      {"IDS_BROWSE_OK", "Select", "Выбрать"},
      {"IDS_BROWSE_CANCEL", "Cancel", "Отмена"},
      {"IDR_MAINFRAME", "Installing configuration", "Установка конфигурации"},
      {"IDS_ERROR_NOSPACE", "Insufficient space available in the directory Temp.", "Недостаточно места в каталоге Temp."},
      {"IDS_TEMPLATE_CATALOG", "Template directory:", "Каталог шаблонов:"},
      {"IDS_SETUP_EXISTEDTARGET",
       "The installation directory contains files that may be changed during the installation process. Do you "
       "want to continue?",
       "Каталог установки содержит файлы, которые могут быть изменены в процессе установки. Продолжить установку?"},
      {"IDS_CHOOSEDIR_FOLDER", "&Folder:", "&Папка:"},
      {"IDS_CHOOSEDIR_TITLE", "Choose Directory", "Выбор каталога"},
      {"IDS_WELCOME_TITLE", "Welcome to the product installation program", "Добро пожаловать в программу установки продукта"},
      {"IDS_DESTINATION_PROMPT",
       "Specify path to template directory. The installation program will install templates and configuration "
       "files to the specified directory.",
       "Укажите путь к каталогу шаблонов. Программа установки установит шаблоны и файлы конфигурации в указанный "
       "каталог."},
  };
  ASSERT_EQ(std::size(rows), 31u);
  const int en = FindLanguageByCode("en")->number, ru = FindLanguageByCode("ru")->number;
  for (const Row& row : rows) {
    EXPECT_EQ(LookUpMessageUtf8(en, row.id), row.english) << row.id;
    EXPECT_EQ(LookUpMessageUtf8(ru, row.id), row.russian) << row.id;
  }
}

TEST(i18nCatalogue, ArabicShowsTheEnglishTexts) {
  EXPECT_EQ(CompiledTable(FindLanguageByCode("ar")->number), CompiledTable(kEnglishLanguageNumber));
}

TEST(i18nCatalogue, TranslationsKeepNamesEndingsArrowsAndMnemonic) {
  const Table english = CompiledTable(kEnglishLanguageNumber);
  for (const LanguageEntry& language : SupportedLanguages()) {
    SCOPED_TRACE(language.code);
    const Table table = CompiledTable(language.number);
    EXPECT_EQ(Join(TranslationProblems(english, table)), "");
    if (language.code == "en" || language.code == "ar") continue;
    // A table pasted from English would pass every check above. Only a word
    // that the language borrows unchanged ("&Folder:") may equal English.
    std::vector<std::string> same;
    for (const auto& [id, text] : table) {
      if (text == english.at(id)) same.push_back(id);
    }
    EXPECT_LE(same.size(), 1u) << Join(same);
  }
}

TEST(i18nCatalogue, TranslationCheckReportsEachKindOfDamage) {
  const Table english = CompiledTable(kEnglishLanguageNumber);
  const Table german = CompiledTable(FindLanguageByCode("de")->number);
  ASSERT_TRUE(TranslationProblems(english, german).empty());

  struct Damage {
    const char* what;
    std::function<void(Table&)> apply;
    const char* expected;
  };
  auto replace = [](Table& t, const std::string& id, const std::string& from, const std::string& to) {
    std::string& text = t.at(id);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << id << " has no " << from;
    text.replace(at, from.size(), to);
  };
  const Damage damages[] = {
      {"missing", [](Table& t) { t.erase("IDS_BROWSE_OK"); }, "IDS_BROWSE_OK: missing"},
      {"empty", [](Table& t) { t["IDS_WIZARD_FINISH"] = ""; }, "IDS_WIZARD_FINISH: empty"},
      {"file name", [&](Table& t) { replace(t, "IDS_ERROR_NOSOURCE", "orvikv8.okd", "orvikv8.okt"); },
       "IDS_ERROR_NOSOURCE: lost orvikv8.okd"},
      {"file name translated", [&](Table& t) { replace(t, "IDS_ERROR_DAMAGEDSOURCE", "orvikv8.okd", "Datei"); },
       "IDS_ERROR_DAMAGEDSOURCE: lost orvikv8.okd"},
      {"directory name", [&](Table& t) { replace(t, "IDS_ERROR_NOSPACE", "Temp", "Tmp"); },
       "IDS_ERROR_NOSPACE: lost Temp"},
      {"directory name inflected", [&](Table& t) { replace(t, "IDS_ERROR_NOSPACE", "Temp", "Temps"); },
       "IDS_ERROR_NOSPACE: lost Temp"},
      {"ellipsis", [&](Table& t) { replace(t, "IDS_PREPARECOPY", "...", "…"); },
       "IDS_PREPARECOPY: lost the \"...\" ending"},
      {"two dots", [&](Table& t) { replace(t, "IDS_PROGRESS_START", "...", ".."); },
       "IDS_PROGRESS_START: lost the \"...\" ending"},
      {"mnemonic", [&](Table& t) { replace(t, "IDS_CHOOSEDIR_FOLDER", "&", ""); },
       "IDS_CHOOSEDIR_FOLDER: needs exactly one \"&\" before a character"},
      {"mnemonic twice", [&](Table& t) { replace(t, "IDS_CHOOSEDIR_FOLDER", ":", "&:"); },
       "IDS_CHOOSEDIR_FOLDER: needs exactly one \"&\" before a character"},
      {"back arrow", [&](Table& t) { replace(t, "IDS_WIZARD_BACK", "< ", ""); },
       "IDS_WIZARD_BACK: lost the leading \"<\""},
      {"next arrow", [&](Table& t) { replace(t, "IDS_WIZARD_NEXT", " >", ""); },
       "IDS_WIZARD_NEXT: lost the trailing \">\""},
      {"placeholder bracket", [&](Table& t) { t["IDS_DEFPRODUCT"] = "Produkt>"; },
       "IDS_DEFPRODUCT: lost the leading \"<\""},
      {"stray identifier", [](Table& t) { t["IDS_WIZARD_HELP"] = "Hilfe"; }, "IDS_WIZARD_HELP: not an identifier"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    Table damaged = german;
    damage.apply(damaged);
    const auto problems = TranslationProblems(english, damaged);
    ASSERT_EQ(problems.size(), 1u) << Join(problems);
    EXPECT_EQ(problems[0], damage.expected);
  }
}

// The word each language uses for the kit in its "not found" message. A stem
// only: the success page's check button inflects it ("Installationspakets")
// and may capitalise it, so the first letter is left out where the message
// starts a sentence with it.
const std::map<std::string, std::string> kKitTerms = {
    {"hy", "հավաքածու"},
    {"az", "uraşdırma dəst"},
    {"bg", "инсталационния пакет"},
    {"zh", "安装包"},
    {"fr", "kit d'installation"},
    {"ka", "საინსტალაციო ნაკრებ"},
    {"de", "Installationspaket"},
    {"el", "πακέτου εγκατάστασης"},
    {"hu", "telepítőcsomag"},
    {"it", "pacchetto di installazione"},
    {"kk", "рнату жинағ"},
    {"lv", "nstalācijas komplekt"},
    {"lt", "iegimo rinkin"},
    {"pl", "pakietu instalacyjnego"},
    {"ro", "pachetului de instalare"},
    {"es", "paquete de instalación"},
    {"tr", "urulum paket"},
    {"uk", "комплекту встановлення"},
    {"vi", "gói cài đặt"},
    {"tk", "urnama toplum"},
    {"pt_BR", "pacote de instalação"},
};
// English, its Arabic copy and Russian keep their reference texts, whose
// success page says "distribution package" / "поставки".
const char* const kReferenceLanguages[] = {"en", "ar", "ru"};

// The messages that name the kit and do not use the language's term for it.
std::vector<std::string> KitTermProblems(const Table& table, const std::string& term) {
  std::vector<std::string> problems;
  for (const char* id :
       {"IDS_ERROR_NOSOURCE", "IDS_ERROR_DAMAGEDSOURCE", "IDS_ERROR_READSOURCE", "IDS_SUCCESS_OPENDESCR"}) {
    if (!Contains(table.at(id), term)) problems.push_back(std::string(id) + ": no \"" + term + "\"");
  }
  return problems;
}

TEST(i18nCatalogue, TheKitHasOneNameInEachLanguage) {
  for (const LanguageEntry& language : SupportedLanguages()) {
    const std::string code(language.code);
    SCOPED_TRACE(code);
    auto term = kKitTerms.find(code);
    if (std::find(std::begin(kReferenceLanguages), std::end(kReferenceLanguages), code) !=
        std::end(kReferenceLanguages)) {
      EXPECT_EQ(term, kKitTerms.end());
      continue;
    }
    // A language added later needs its term here.
    ASSERT_NE(term, kKitTerms.end());
    EXPECT_EQ(Join(KitTermProblems(CompiledTable(language.number), term->second)), "");
  }
  EXPECT_EQ(kKitTerms.size() + std::size(kReferenceLanguages), SupportedLanguages().size());

  // The check sees the fault the tables used to have: the success page
  // naming the kit with another word than the error messages.
  Table german = CompiledTable(FindLanguageByCode("de")->number);
  german["IDS_SUCCESS_OPENDESCR"] = "Beschreibung des Lieferpakets öffnen";
  EXPECT_EQ(Join(KitTermProblems(german, kKitTerms.at("de"))),
            "IDS_SUCCESS_OPENDESCR: no \"Installationspaket\"\n");
  Table turkish = CompiledTable(FindLanguageByCode("tr")->number);
  turkish["IDS_SUCCESS_OPENDESCR"] = "Dağıtım paketinin açıklamasını aç";
  EXPECT_EQ(KitTermProblems(turkish, kKitTerms.at("tr")).size(), 1u);
}

TEST(i18nLookUpMessage, ReadsTheChosenLanguageOnly) {
  const int before = ChosenLanguage();
  EXPECT_EQ(before, kEnglishLanguageNumber);
  EXPECT_EQ(LookUpMessage("IDS_WIZARD_BACK"), u"< Back");

  SetChosenLanguage(FindLanguageByCode("ru")->number);
  EXPECT_EQ(LookUpMessage("IDS_WIZARD_BACK"), u"< Назад");
  EXPECT_EQ(LookUpMessage("IDS_CHOOSEDIR_FOLDER"), u"&Папка:");
  // Unknown or miscased identifiers give empty text, not another language.
  EXPECT_EQ(LookUpMessage("IDS_WIZARD_HELP"), u"");
  EXPECT_EQ(LookUpMessage("ids_wizard_back"), u"");
  EXPECT_EQ(LookUpMessage(""), u"");

  SetChosenLanguage(0);
  EXPECT_EQ(LookUpMessage("IDS_WIZARD_BACK"), u"");
  SetChosenLanguage(25);
  EXPECT_EQ(LookUpMessage("IDS_WIZARD_BACK"), u"");
  SetChosenLanguage(before);
}

TEST(i18nLookUpMessage, DecodesUtf8WhateverTheLocale) {
  // The texts are UTF-8 whatever the process locale is; a run in a locale of
  // another encoding is tried by the setlocale tests of the language choice.
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(LookUpMessage(FindLanguageByCode("ru")->number, "IDS_ERROR_NOSPACE"),
            u"Недостаточно места в каталоге Temp.");
  EXPECT_EQ(LookUpMessage(FindLanguageByCode("zh")->number, "IDS_CHOOSEDIR_FOLDER"), u"文件夹(&F)：");
  EXPECT_EQ(LookUpMessage(FindLanguageByCode("ka")->number, "IDS_WIZARD_BACK"), u"< უკან");
  EXPECT_EQ(LookUpMessage(FindLanguageByCode("fr")->number, "IDS_BROWSE_SELDIR"), u"Répertoire sélectionné\u00a0:");
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
}  // namespace setup
