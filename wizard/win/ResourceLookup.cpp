#include "wizard/win/ResourceLookup.h"

#include "wizard/win/ResourceIds.h"

namespace setup::res {
namespace {

constexpr uint16_t kEnglish = 1033;

HINSTANCE OwnModule(HINSTANCE module) { return module ? module : GetModuleHandleW(nullptr); }

// A resource's bytes; null when the module lacks it in exactly that language.
const void* LockedResource(HINSTANCE module, LPCWSTR type, uint16_t id, uint16_t lcid, DWORD& size) {
  // Language 0 would let the system pick one by its own rules.
  if (lcid == 0) return nullptr;
  HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), lcid);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  if (!loaded) return nullptr;
  size = SizeofResource(module, found);
  return LockResource(loaded);
}

}  // namespace

DialogResource FindDialogTemplate(uint16_t id, uint16_t lcid, std::initializer_list<HINSTANCE> modules) {
  for (HINSTANCE module : modules) {
    DWORD size = 0;
    if (const void* data = LockedResource(module, RT_DIALOG, id, lcid, size)) {
      return DialogResource{static_cast<const DLGTEMPLATE*>(data), size, module};
    }
  }
  return {};
}

DialogResource FindDialogTemplate(uint16_t id, uint16_t lcid) {
  return FindDialogTemplate(id, lcid, {GetModuleHandleW(nullptr)});
}

std::u16string LoadResourceString(uint16_t number, uint16_t lcid, HINSTANCE module) {
  // Sixteen strings to a block; each is a length in code units followed by
  // that many code units, not terminated.
  DWORD size = 0;
  const void* data = LockedResource(OwnModule(module), RT_STRING, uint16_t(number / 16 + 1), lcid, size);
  if (!data) return {};
  const auto* unit = static_cast<const char16_t*>(data);
  const char16_t* const end = unit + size / sizeof(char16_t);
  for (unsigned place = 0; place < number % 16u; ++place) {
    if (unit >= end) return {};
    unit += 1 + *unit;
  }
  if (unit >= end || *unit > end - unit - 1) return {};
  return std::u16string(unit + 1, *unit);
}

uint16_t ResourceLanguage(uint16_t chosenLcid, HINSTANCE module) {
  DWORD size = 0;
  if (LockedResource(OwnModule(module), RT_DIALOG, kTemplateWelcome, chosenLcid, size)) return chosenLcid;
  return kEnglish;
}

}  // namespace setup::res
