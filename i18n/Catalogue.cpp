#include "i18n/Catalogue.h"

#include <algorithm>
#include <atomic>

#include "platform/Text.h"

namespace setup {

namespace {

// Written once before the worker thread exists; atomic all the same, so that
// tests which switch languages stay clean under the thread sanitizer.
std::atomic<int> g_chosenLanguage{kEnglishLanguageNumber};

const MessageIdentifier* FindIdentifier(std::string_view name) {
  const auto ids = MessageIdentifiers();
  auto it = std::lower_bound(ids.begin(), ids.end(), name,
                             [](const MessageIdentifier& id, std::string_view n) { return id.name < n; });
  if (it == ids.end() || it->name != name) return nullptr;
  return &*it;
}

}  // namespace

std::span<const LanguageEntry> SupportedLanguages() {
  return {catalogue_tables::kLanguages, catalogue_tables::kLanguageCount};
}

std::span<const MessageIdentifier> MessageIdentifiers() {
  return {catalogue_tables::kIdentifiers, catalogue_tables::kIdentifierCount};
}

const LanguageEntry* FindLanguageByCode(std::string_view code) {
  for (const LanguageEntry& language : SupportedLanguages()) {
    if (language.code == code) return &language;
  }
  return nullptr;
}

const LanguageEntry* FindLanguageByNumber(int number) {
  for (const LanguageEntry& language : SupportedLanguages()) {
    if (language.number == number) return &language;
  }
  return nullptr;
}

const LanguageEntry* FindLanguageByLcid(uint16_t lcid) {
  for (const LanguageEntry& language : SupportedLanguages()) {
    if (language.lcid == lcid) return &language;
  }
  return nullptr;
}

uint16_t WindowsNumberOf(std::string_view identifier) {
  const MessageIdentifier* id = FindIdentifier(identifier);
  return id ? id->windowsNumber : 0;
}

std::string_view IdentifierOfWindowsNumber(uint16_t number) {
  for (const MessageIdentifier& id : MessageIdentifiers()) {
    if (id.windowsNumber == number) return id.name;
  }
  return {};
}

void SetChosenLanguage(int languageNumber) { g_chosenLanguage.store(languageNumber, std::memory_order_relaxed); }

int ChosenLanguage() { return g_chosenLanguage.load(std::memory_order_relaxed); }

std::string_view LookUpMessageUtf8(int languageNumber, std::string_view identifier) {
  const LanguageEntry* language = FindLanguageByNumber(languageNumber);
  const MessageIdentifier* id = FindIdentifier(identifier);
  if (!language || !id) return {};
  return language->texts[id - catalogue_tables::kIdentifiers];
}

std::u16string LookUpMessage(int languageNumber, std::string_view identifier) {
  // The tables are UTF-8 whatever the locale is, so they are decoded as such:
  // going through the locale's conversion would garble them under LANG=C.
  return Utf8ToUtf16(LookUpMessageUtf8(languageNumber, identifier));
}

std::u16string LookUpMessage(std::string_view identifier) { return LookUpMessage(ChosenLanguage(), identifier); }

}  // namespace setup
