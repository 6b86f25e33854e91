// Runs the start-up language choice on its own command line and prints what
// came of it, one field a line:
//   number, code, silent, usecwd, the window title as UTF-8, the process locale.
#include <clocale>
#include <cstdio>
#include <string>

#include "i18n/LanguageChoice.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
  const setup::LanguageChoice choice = setup::SelectLanguage(argc, argv);
  const std::string title = setup::Utf16ToUtf8(setup::LookUpMessage("IDR_MAINFRAME"));
  const char* locale = std::setlocale(LC_ALL, nullptr);
  std::printf("%d\n%s\n%d\n%d\n%s\n%s\n", choice.languageNumber, choice.descriptionLanguage.c_str(),
              choice.silent ? 1 : 0, choice.useCurrentDirectory ? 1 : 0, title.c_str(), locale ? locale : "(null)");
  return 0;
}
