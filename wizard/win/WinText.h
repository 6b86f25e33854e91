#pragma once
// Texts at the Win32 boundary: our UTF-16 strings as wchar_t, and catalogue
// texts by their Windows string numbers.
#include <cstdint>
#include <string>

#include "i18n/Catalogue.h"

namespace setup {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline std::u16string FromWide(const wchar_t* text) {
  return text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

// The catalogue text of a Windows string number in the chosen language.
inline std::u16string CatalogueText(uint16_t number) { return LookUpMessage(IdentifierOfWindowsNumber(number)); }

}  // namespace setup
