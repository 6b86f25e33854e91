#include "wizard/Usage.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/Version.h"
#include "i18n/Catalogue.h"

namespace setup {

namespace {

std::string LanguageCodes() {
  std::vector<std::string_view> sorted;
  for (const LanguageEntry& language : SupportedLanguages()) sorted.push_back(language.code);
  std::sort(sorted.begin(), sorted.end());
  std::string codes;
  for (std::string_view code : sorted) {
    if (!codes.empty()) codes += ' ';
    codes += code;
  }
  return codes;
}

}  // namespace

std::string UsageText(UsageForm form) {
  std::string text = VersionLine("setup");
  text += "\n\n";
  if (form == UsageForm::Posix) {
    text +=
        "Usage: setup [usecwd] [-S] [-Lcode]\n"
        "       setup --help | --version\n"
        "\n"
        "Installs the configuration templates of the distribution kit orvikv8.okd,\n"
        "found beside the program, into the user's template directory, with a\n"
        "wizard on a display or silently with -S.\n"
        "\n"
        "  usecwd       (first argument only) look for orvikv8.okd in the working\n"
        "               directory instead\n"
        "  -S, /S       silent: install into the proposed template directory without\n"
        "               asking; with no display nothing but messages is printed,\n"
        "               on standard error\n"
        "  -Lcode, /Lcode\n"
        "               the language of the program, e.g. -Lde; the options after it\n"
        "               are not read, so give it last\n"
        "  --help, /?   print this text\n"
        "  --version    print the version and the commit\n"
        "\n"
        "Languages: " +
        LanguageCodes() +
        "\n"
        "Without -L the language follows the environment's locale.\n"
        "\n"
        "Exit status:\n"
        "  0  the templates are installed\n"
        "  1  the installation failed and was rolled back, or another installation\n"
        "     into the same template directory is in progress\n"
        "  2  cancelled by the user or by a signal, and rolled back\n"
        "  3  nothing was installed: the kit is missing or damaged, the temporary\n"
        "     directory cannot be written or is too small, no template directory\n"
        "     can be used, or there is no display for the wizard\n";
  } else {
    text +=
        "Usage: setup.exe [/S] [/Lcode]\n"
        "\n"
        "Installs the configuration templates of the distribution kit orvikv8.okd, "
        "found beside setup.exe, into the user's template directory.\n"
        "\n"
        "/S \u2013 silent: install into the proposed template directory without asking.\n"
        "/Lcode \u2013 the language of the program, e.g. /Lde; the options after it are "
        "not read, so give it last.\n"
        "/? \u2013 show this text.\n"
        "--version \u2013 show the version and the commit.\n"
        "\n"
        "Languages: " +
        LanguageCodes() +
        "\n"
        "Without /L the language follows the user's default language.\n"
        "\n"
        "Exit status (in a script: start /wait setup.exe /S, then %ERRORLEVEL%):\n"
        "0 \u2013 the templates are installed\n"
        "1 \u2013 the installation failed and was rolled back, or another installation into the "
        "same template directory is in progress\n"
        "2 \u2013 cancelled, and rolled back\n"
        "3 \u2013 nothing was installed: the kit is missing or damaged, the temporary directory "
        "cannot be written or is too small, or no template directory can be used\n";
  }
  return text;
}

}  // namespace setup
