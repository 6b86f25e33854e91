#pragma once
// The message catalogue: 24 languages, the same 31 identifiers in each.
// The chosen language is set once at start-up (LanguageChoice.h) and read by
// the user-interface thread and the installation worker alike.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "i18n/CatalogueTables.h"

namespace setup {

inline constexpr int kEnglishLanguageNumber = 5;
inline constexpr uint16_t kEnglishLcid = 1033;

// All languages, in order of language number.
std::span<const LanguageEntry> SupportedLanguages();
// All identifiers, sorted by name.
std::span<const MessageIdentifier> MessageIdentifiers();

// Exact, case-sensitive comparison, first language by number wins.
const LanguageEntry* FindLanguageByCode(std::string_view code);
const LanguageEntry* FindLanguageByNumber(int number);
const LanguageEntry* FindLanguageByLcid(uint16_t lcid);

// The Windows string number of an identifier name, 0 when there is none.
uint16_t WindowsNumberOf(std::string_view identifier);
// The identifier name of a Windows string number, empty when there is none.
std::string_view IdentifierOfWindowsNumber(uint16_t number);

// The language that LookUpMessage reads. English until start-up chooses.
void SetChosenLanguage(int languageNumber);
int ChosenLanguage();

// The text of `identifier` in the chosen language; empty text when the
// language or the identifier is unknown. No other language is tried.
std::u16string LookUpMessage(std::string_view identifier);
std::u16string LookUpMessage(int languageNumber, std::string_view identifier);
// The stored UTF-8 bytes, for checks of the tables themselves.
std::string_view LookUpMessageUtf8(int languageNumber, std::string_view identifier);

}  // namespace setup
