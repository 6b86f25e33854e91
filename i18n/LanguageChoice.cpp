#include "i18n/LanguageChoice.h"

#include <clocale>
#include <type_traits>
#include <vector>

#include "platform/Text.h"

namespace setup {

namespace {

LanguageChoice ChoiceFor(const LanguageEntry& language) {
  LanguageChoice choice;
  choice.languageNumber = language.number;
  choice.lcid = language.lcid;
  choice.descriptionLanguage = std::string(language.code);
  return choice;
}

// Real languages that have no translation of their own; a user who asks for
// one of them by /L reads English rather than the locale's guess.
constexpr std::string_view kCodesShownInEnglish[] = {
    "af",  "sq", "eu",  "be",  "bn",  "bs",  "my",  "ca",      "hr",  "cs", "da", "dv",
    "nl",  "et", "fo",  "fi",  "gu",  "he",  "hi",  "is",      "id",  "xh", "zu", "ja",
    "kn",  "kok", "ko", "mk",  "ms",  "ml",  "mi",  "mt",      "mr",  "mn", "nb", "nn",
    "pt",  "pa", "qu",  "sa",  "se",  "smj", "sma", "sms",     "smn", "sr", "sr_Latn",
    "sk",  "sl", "sw",  "sv",  "syr", "ta",  "tt",  "te",      "th",  "ur", "uz", "cy",
};
static_assert(std::size(kCodesShownInEnglish) == 59);

// What the Linux scan would look at: "-X..." or "/X...".
bool IsOption(std::string_view argument) {
  return argument.size() >= 2 && (argument[0] == '-' || argument[0] == '/');
}

char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c; }

// The codes are ASCII, so folding ASCII letters is all the case-blindness
// they need; a non-ASCII argument never equals one of them.
bool EqualsNoCase(std::u16string_view argument, std::string_view code) {
  if (argument.size() != code.size()) return false;
  for (size_t i = 0; i < code.size(); ++i) {
    if (AsciiLower(argument[i]) != AsciiLower(static_cast<unsigned char>(code[i]))) return false;
  }
  return true;
}

// "/D=value" -> "value"; empty without the "=".
template <typename View>
View OptionValue(View argument) {
  return argument.size() > 2 && argument[2] == '=' ? argument.substr(3) : View();
}

// Takes one of the unattended options by its letter; any other letter is
// an option nobody knows, and ignored.
template <typename View>
void TakeUnattendedOption(char16_t letter, View argument, UnattendedOptions& options) {
  const auto value = [&] {
    if constexpr (std::is_same_v<View, std::u16string_view>) {
      return std::u16string(OptionValue(argument));
    } else {
      return MultiByteToWide(OptionValue(argument));
    }
  };
  switch (AsciiLower(letter)) {
    case u'd': options.destination = value(); break;
    case u'r': options.report = value(); break;
    case u'q': options.quiet = true; break;
    case u'p': options.plan = true; break;
    default: break;
  }
}

// The custom-locale steps: 0x0C00 says nothing about the language, so ask
// the system what the user's locale really is.
uint16_t ResolveCustomLocale(uint16_t langId, WindowsLanguageSystem& system) {
  if (langId != kCustomLocaleLangId) return langId;
  uint32_t major = 0;
  switch (system.QueryVersion(kVersionRecordSize, major)) {
    case WindowsLanguageSystem::VersionQuery::kFunctionMissing:
      return langId;
    case WindowsLanguageSystem::VersionQuery::kSucceeded:
      if (major < 6) return system.SystemDefaultLangId();
      break;
    case WindowsLanguageSystem::VersionQuery::kCallFailed:
      break;
  }
  uint32_t number = 0;
  if (system.QueryLocaleNumber(kInvariantLocale, kLocaleLanguageInfoType, kLocaleLanguageInfoCharacters, number)) {
    return static_cast<uint16_t>(number);
  }
  return system.SystemDefaultLangId();
}

}  // namespace

LanguageChoice SelectLanguageLinux(std::span<const std::string_view> arguments,
                                   std::optional<std::string_view> environmentLocale) {
  LanguageChoice choice;
  size_t first = 0;
  if (!arguments.empty() && arguments[0] == "usecwd") {
    choice.useCurrentDirectory = true;
    first = 1;
  }
  const LanguageEntry* chosen = nullptr;
  for (size_t i = first; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (!IsOption(argument)) continue;
    const char option = argument[1];
    if (option == 'S' || option == 's') {
      choice.silent = true;
    } else if (option == 'L' || option == 'l') {
      // The first /L ends the scan, whether its code is known or not.
      chosen = FindLanguageByCode(argument.substr(2));
      for (size_t j = i + 1; j < arguments.size(); ++j) {
        if (IsOption(arguments[j])) choice.unreadOptions.emplace_back(arguments[j]);
      }
      break;
    } else {
      TakeUnattendedOption(static_cast<unsigned char>(option), argument, choice.unattended);
    }
  }
  if (!chosen && environmentLocale) {
    // "ru_RU.UTF-8" -> "ru"; "C" stays "C". A mixed locale comes back as
    // "LC_CTYPE=...;..." and so matches nothing.
    std::string_view name = *environmentLocale;
    chosen = FindLanguageByCode(name.size() < 3 ? name : name.substr(0, 2));
  }
  if (!chosen) chosen = FindLanguageByNumber(kEnglishLanguageNumber);

  LanguageChoice result = ChoiceFor(*chosen);
  result.silent = choice.silent;
  result.useCurrentDirectory = choice.useCurrentDirectory;
  result.unattended = std::move(choice.unattended);
  result.unattended.quiet = result.unattended.quiet && result.silent;
  result.unreadOptions = std::move(choice.unreadOptions);
  for (std::string_view argument : arguments) {
    result.help = result.help || argument == "--help" || argument == "/?";
    result.version = result.version || argument == "--version";
  }
  return result;
}

LanguageChoice SelectLanguage(int argc, const char* const* argv) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  // The environment's locale is selected even when /L decides the language:
  // the text layer converts paths in it for the rest of the run.
  const char* locale = std::setlocale(LC_ALL, "");
  LanguageChoice choice =
      SelectLanguageLinux(arguments, locale ? std::optional<std::string_view>(locale) : std::nullopt);
  SetChosenLanguage(choice.languageNumber);
  return choice;
}

uint16_t LcidForLanguageId(uint16_t langId) {
  switch (langId & 0x3FF) {
    case 1: return 1025;
    case 2: return 1026;
    case 4: return 2052;
    case 7: return 1031;
    case 8: return 1032;
    case 10: return 1034;
    case 12: return 1036;
    case 16: return 1040;
    case 22: return 1046;
    case 24: return 1048;
    case 25: return 1049;
    case 31: return 1055;
    case 34: return 1058;
    case 38: return 1062;
    case 39: return 1063;
    case 43: return 1067;
    case 44: return 1068;
    case 55: return 1079;
    case 63: return 1087;
    case 66: return 1090;
    // Hungarian (14), Polish (21) and Vietnamese (42) among them: their
    // tables are reached by /L only.
    default: return kEnglishLcid;
  }
}

LanguageChoice SelectLanguageWindows(std::span<const std::u16string_view> arguments,
                                     WindowsLanguageSystem& system) {
  bool silent = false;
  uint16_t lcid = 0;
  UnattendedOptions unattended;
  for (std::u16string_view argument : arguments) {
    if (argument.size() < 2 || argument[0] != u'/') continue;
    const char16_t option = argument[1];
    if (option == u'S' || option == u's') {
      silent = true;
    } else if (option == u'L' || option == u'l') {
      const std::u16string_view code = argument.substr(2);
      for (const LanguageEntry& language : SupportedLanguages()) {
        if (EqualsNoCase(code, language.code)) {
          lcid = language.lcid;
          break;
        }
      }
      if (lcid == 0) {
        for (std::string_view english : kCodesShownInEnglish) {
          if (EqualsNoCase(code, english)) {
            lcid = kEnglishLcid;
            break;
          }
        }
      }
      break;
    } else {
      TakeUnattendedOption(option, argument, unattended);
    }
  }
  if (lcid == 0) {
    uint16_t langId = ResolveCustomLocale(system.UserDefaultLangId(), system);
    if (langId == kCustomLocaleLangId) langId = ResolveCustomLocale(langId, system);
    lcid = LcidForLanguageId(langId);
  }

  const LanguageEntry* language = FindLanguageByLcid(lcid);
  LanguageChoice choice = language ? ChoiceFor(*language) : LanguageChoice{};
  choice.lcid = lcid;
  choice.silent = silent;
  choice.unattended = std::move(unattended);
  choice.unattended.quiet = choice.unattended.quiet && silent;
  for (std::u16string_view argument : arguments) {
    choice.help = choice.help || argument == u"/?" || argument == u"--help";
    choice.version = choice.version || argument == u"--version";
  }
  return choice;
}

}  // namespace setup
