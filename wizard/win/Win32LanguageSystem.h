#pragma once
// The system calls the Windows language choice asks, made for real.
#include "i18n/LanguageChoice.h"

namespace setup {

class Win32LanguageSystem : public WindowsLanguageSystem {
 public:
  uint16_t UserDefaultLangId() override;
  uint16_t SystemDefaultLangId() override;
  VersionQuery QueryVersion(uint32_t recordSize, uint32_t& majorVersion) override;
  bool QueryLocaleNumber(uint32_t locale, uint32_t infoType, int characters, uint32_t& number) override;
};

}  // namespace setup
