#include "wizard/gtk/UiTrace.h"

#include <cstdlib>

namespace setup {

UiTrace::UiTrace() {
  const char* path = std::getenv("SETUP_UI_TRACE");
  if (path && *path) file_ = std::fopen(path, "ae");
}

UiTrace::~UiTrace() {
  if (file_) std::fclose(file_);
}

void UiTrace::Write(const std::string& line) {
  if (!file_) return;
  std::string escaped;
  for (char c : line) {
    if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  escaped += '\n';
  std::fwrite(escaped.data(), 1, escaped.size(), file_);
  std::fflush(file_);
}

}  // namespace setup
