#pragma once
// What "setup --help" prints (Linux) or shows in a message box (Windows "/?").
// English only: it is read by the people who deploy setup, before any
// language has been chosen.
#include <string>

namespace setup {

enum class UsageForm {
  Posix,    // "-" and "/" options, "usecwd", printed to a terminal
  Windows,  // "/" options only, shown in a message box
};

std::string UsageText(UsageForm form);

}  // namespace setup
