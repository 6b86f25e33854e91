#pragma once
// A line per thing the window shows, read back from the widgets themselves:
// pages with their buttons, message boxes with their icon and buttons, the
// answers, the progress. Written only when SETUP_UI_TRACE names a file; the
// GUI tests read it beside what they see on the X server.
#include <cstdio>
#include <string>

namespace setup {

class UiTrace {
 public:
  UiTrace();
  ~UiTrace();
  UiTrace(const UiTrace&) = delete;
  UiTrace& operator=(const UiTrace&) = delete;

  bool Enabled() const { return file_ != nullptr; }
  // One line; line breaks inside `line` are written as "\n".
  void Write(const std::string& line);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace setup
