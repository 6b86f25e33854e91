#pragma once
// The program's own resources in one language: dialog templates to create
// the wizard's pages and the chooser from memory, and string table entries.
// Every lookup names its language; the system's choice of language (which
// Wine takes from the environment) is never used.
#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace setup::res {

struct DialogResource {
  // A DLGTEMPLATEEX, ready for PSP_DLGINDIRECT or CreateDialogIndirectParamW.
  const DLGTEMPLATE* dialog = nullptr;
  DWORD size = 0;
  // The module that holds it: pictures named by the template load from here.
  HINSTANCE instance = nullptr;

  explicit operator bool() const { return dialog != nullptr; }
};

// Template `id` in language `lcid`, from the first of `modules` that has it
// in that language; empty when none has. No other language is tried.
DialogResource FindDialogTemplate(uint16_t id, uint16_t lcid, std::initializer_list<HINSTANCE> modules);
// The same in this program's module.
DialogResource FindDialogTemplate(uint16_t id, uint16_t lcid);

// String `number` of the string table in language `lcid` of `module` (this
// program's when null); empty text when its block or the string is missing.
std::u16string LoadResourceString(uint16_t number, uint16_t lcid, HINSTANCE module = nullptr);

// The language of the templates and string tables for the chosen LCID: that
// LCID when the program carries resources in it, otherwise English.
// Portuguese (Brazil) is such a language: its texts are in the catalogue, but
// its pages are laid out from the English templates.
uint16_t ResourceLanguage(uint16_t chosenLcid, HINSTANCE module = nullptr);

}  // namespace setup::res
