#pragma once
// The compiled message tables. generate_catalogue.py writes their definitions
// from i18n/tables at build time; only the catalogue reads them directly.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace setup {

struct MessageIdentifier {
  std::string_view name;   // "IDS_WIZARD_BACK"
  uint16_t windowsNumber;  // its string number in the Windows resources
};

struct LanguageEntry {
  std::string_view code;  // "ru", "pt_BR"
  uint16_t lcid;          // Windows language identifier
  int number;             // the language's key on Linux, 1 to 24
  std::string_view name;  // English name, for messages and tests
  // UTF-8 texts, one per identifier, in the order of kIdentifiers.
  const std::string_view* texts;
};

namespace catalogue_tables {
// Sorted by name, byte-wise.
extern const MessageIdentifier kIdentifiers[];
extern const std::size_t kIdentifierCount;
// In order of language number.
extern const LanguageEntry kLanguages[];
extern const std::size_t kLanguageCount;
}  // namespace catalogue_tables

}  // namespace setup
