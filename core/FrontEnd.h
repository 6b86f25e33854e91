#pragma once
// What the core needs from whatever shows the program to the user: the GTK
// window, or nothing at all in a headless silent run.
#include <cstdint>
#include <string>

namespace setup {

enum class MessageKind {
  Plain,     // no icon, OK
  Question,  // question mark, Yes and No
  Error,     // error icon, OK
};

// The cancel page exists on Windows only: there a confirmed cancel before the
// run shows it, where the Linux window simply closes.
enum class WizardPage { Welcome, Destination, Progress, Success, Error, Cancel };

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // Modal; true only when a question was answered Yes.
  virtual bool ShowMessage(MessageKind kind, const std::u16string& text) = 0;
  virtual void ShowPage(WizardPage page) = 0;
  virtual void ShowProgress(uint32_t percentage, const std::u16string& label) = 0;
  // Opens a file with the desktop's default application; failures are not reported.
  virtual void OpenFile(const std::u16string& path) = 0;
  // Closes the wizard; the program ends once the front-end's loop returns.
  virtual void Close() = 0;
};

}  // namespace setup
