#pragma once
// The view of a silent run on Windows until the property sheet exists: the
// run's messages are real message boxes, captioned with the program's title;
// there are no pages to show.
#include <string>

#include "wizard/WizardFlow.h"

namespace setup {

class MessageBoxView : public WizardView {
 public:
  explicit MessageBoxView(std::u16string caption) : caption_(std::move(caption)) {}
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;
  void ShowPage(WizardPage) override {}
  void ShowProgress(uint32_t, const std::u16string&) override {}
  void OpenFile(const std::u16string& path) override;
  void Close() override {}
  void SetWelcomeText(const std::u16string&) override {}
  std::u16string DestinationText() override { return {}; }
  void SetDestinationText(const std::u16string&) override {}
  bool OpenDescriptionChecked() override { return false; }
  void DismissMessage() override {}

 private:
  std::u16string caption_;
};

}  // namespace setup
