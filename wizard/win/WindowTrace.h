#pragma once
// What the program's windows show, read back from the windows themselves:
// every visible top-level window of the UI thread with all its controls (id,
// class, text, screen rectangle, visible, enabled, focus, check and progress
// position), one JSON line per change, plus a line for each event worth
// naming (a page shown, a message asked, a file opened). Written only when
// SETUP_UI_TRACE names a file; the GUI tests wait on it instead of reading
// pixels. A thread timer takes the pictures, so they go on inside message
// boxes and the file dialog, whose loops dispatch it too.
#include <windows.h>

#include <cstdio>
#include <string>

namespace setup {

class WindowTrace {
 public:
  WindowTrace();
  ~WindowTrace();
  WindowTrace(const WindowTrace&) = delete;
  WindowTrace& operator=(const WindowTrace&) = delete;

  bool Enabled() const { return file_ != nullptr; }
  // Starts taking pictures every 100 ms on the calling thread.
  void Start();
  // One event line: {"event": name, "text": text}.
  void Event(const char* name, const std::u16string& text = u"");
  // A picture now, written when it differs from the last one.
  void Snapshot();

 private:
  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
  void Write(const std::string& line);

  std::FILE* file_ = nullptr;
  UINT_PTR timer_ = 0;
  std::string last_;
  unsigned sequence_ = 0;
};

}  // namespace setup
