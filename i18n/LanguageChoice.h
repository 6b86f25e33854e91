#pragma once
// The choice of the user-interface language, made once at start-up from the
// command line and, failing that, from the environment. The same scan of the
// arguments collects the silent option and, on Linux, "usecwd".
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "i18n/Catalogue.h"

namespace setup {

// The options for unattended installation. The scan reads them as it reads
// /S, so not after the language option. A path option without "=" or with
// nothing after it gives an empty path, which start-up refuses: a mistyped
// "/D dir" must not install into the proposed directory instead.
struct UnattendedOptions {
  std::optional<std::u16string> destination;  // /D=<dir>
  std::optional<std::u16string> report;       // /R=<file>
  bool quiet = false;                         // /Q, kept only together with /S
  bool plan = false;                          // /P
};

struct LanguageChoice {
  int languageNumber = kEnglishLanguageNumber;  // key of the language's table
  uint16_t lcid = kEnglishLcid;                 // the same language on Windows
  // Code of the chosen language ("ru", "pt_BR", "ar"), "en" when none was
  // chosen; the kit's description records are looked up with it.
  std::string descriptionLanguage = "en";
  bool silent = false;               // /S
  bool useCurrentDirectory = false;  // Linux: "usecwd" as the first argument
  UnattendedOptions unattended;
  // "--help" or "/?", and "--version", anywhere on the line: the program
  // prints what was asked for and does nothing else.
  bool help = false;
  bool version = false;
  // Linux: the options after the language option, which the scan never
  // reads ("setup -Lde -S" is not silent); a message may point them out.
  std::vector<std::string> unreadOptions;
};

// Linux, the whole start-up step: scans argv (argv[0] is the program name),
// selects the environment's locale for the process, and makes the result the
// language that LookUpMessage reads.
LanguageChoice SelectLanguage(int argc, const char* const* argv);

// The Linux choice itself. `arguments` are those after the program name;
// `environmentLocale` is what setlocale(LC_ALL, "") returned, nullopt when
// it returned NULL.
LanguageChoice SelectLanguageLinux(std::span<const std::string_view> arguments,
                                   std::optional<std::string_view> environmentLocale);

// What the Windows choice needs from the system. The Windows build forwards
// each call to the Win32 function of the same purpose.
class WindowsLanguageSystem {
 public:
  enum class VersionQuery { kFunctionMissing, kCallFailed, kSucceeded };

  virtual ~WindowsLanguageSystem() = default;
  virtual uint16_t UserDefaultLangId() = 0;    // GetUserDefaultLangID
  virtual uint16_t SystemDefaultLangId() = 0;  // GetSystemDefaultLangID
  // GetVersionExW, looked up in "kernel32.dll" with GetProcAddress and called
  // with a version record of `recordSize` bytes.
  virtual VersionQuery QueryVersion(uint32_t recordSize, uint32_t& majorVersion) = 0;
  // GetLocaleInfoW(locale, infoType, buffer of `characters` characters);
  // false when the call fails.
  virtual bool QueryLocaleNumber(uint32_t locale, uint32_t infoType, int characters, uint32_t& number) = 0;
};

inline constexpr uint16_t kCustomLocaleLangId = 0x0C00;
inline constexpr uint32_t kVersionRecordSize = 276;
inline constexpr uint32_t kInvariantLocale = 127;
inline constexpr uint32_t kLocaleLanguageInfoType = 0x2000006D;
inline constexpr int kLocaleLanguageInfoCharacters = 1;

// The Windows choice: only "/" options, codes compared without regard to
// case, real languages without a translation sent to English, otherwise the
// user's default language. `arguments` are those after the program name.
LanguageChoice SelectLanguageWindows(std::span<const std::u16string_view> arguments,
                                     WindowsLanguageSystem& system);

// The LCID shown for a language identifier: the table language of its
// primary language, English for every other.
uint16_t LcidForLanguageId(uint16_t langId);

}  // namespace setup
