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
        "Usage: setup [usecwd] [-S [-Q]] [-D=dir] [-R=file] [-P] [-Lcode]\n"
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
        "  -Q, /Q       with -S: no window and no message box even on a display;\n"
        "               messages go to standard error\n"
        "  -D=dir, /D=dir\n"
        "               install into dir (relative to the working directory); the\n"
        "               wizard proposes it, a silent run uses it\n"
        "  -R=file, /R=file\n"
        "               write a report of the run to file, in JSON Lines: one line\n"
        "               per kit file, then one line with the outcome\n"
        "  -P, /P       plan: tell what a run would do to each file, in the report's\n"
        "               form (on standard output without -R), and change nothing\n"
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
        "     can be used, the report cannot be written, or there is no display\n"
        "     for the wizard\n"
        "With -P the status is the one the run would end with before its first\n"
        "change: 0 when it would begin, 1 or 3 when it would not.\n";
  } else {
    text +=
        "Usage: setup.exe [/S [/Q]] [/D=dir] [/R=file] [/P] [/Lcode]\n"
        "\n"
        "Installs the configuration templates of the distribution kit orvikv8.okd, "
        "found beside setup.exe, into the user's template directory.\n"
        "\n"
        "/S \u2013 silent: install into the proposed template directory without asking.\n"
        "/Q \u2013 with /S: no window and no message box; messages go to the console "
        "setup.exe was started from.\n"
        "/D=dir \u2013 install into dir (relative to the working directory); the wizard "
        "proposes it, a silent run uses it.\n"
        "/R=file \u2013 write a report of the run to file, in JSON Lines: one line per kit file, "
        "then one line with the outcome.\n"
        "/P \u2013 plan: tell what a run would do to each file, in the report's form (on the "
        "console without /R), and change nothing.\n"
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
        "cannot be written or is too small, no template directory can be used, or the report "
        "cannot be written\n"
        "With /P the status is the one the run would end with before its first change: 0 when "
        "it would begin, 1 or 3 when it would not.\n";
  }
  return text;
}

}  // namespace setup
