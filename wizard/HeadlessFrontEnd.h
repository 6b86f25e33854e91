#pragma once
// The view of a silent run without a display: each message that would be
// shown in a box becomes one line of UTF-8 on standard error, and nothing
// else is shown. Nobody is there to answer, so every question gets No.
#include <cstdio>

#include "wizard/WizardFlow.h"

namespace setup {

class HeadlessFrontEnd : public WizardView {
 public:
  explicit HeadlessFrontEnd(std::FILE* out = stderr) : out_(out) {}
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;
  void ShowPage(WizardPage) override {}
  void ShowProgress(uint32_t, const std::u16string&) override {}
  void OpenFile(const std::u16string&) override {}
  void Close() override {}
  void SetWelcomeText(const std::u16string&) override {}
  std::u16string DestinationText() override { return {}; }
  void SetDestinationText(const std::u16string&) override {}
  bool OpenDescriptionChecked() override { return false; }
  void DismissMessage() override {}

 private:
  std::FILE* out_;
};

}  // namespace setup
