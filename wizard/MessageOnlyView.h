#pragma once
// A view with no pages to show, for runs without a wizard window: only the
// messages reach the user, each front-end in its own way.
#include "wizard/WizardFlow.h"

namespace setup {

class MessageOnlyView : public WizardView {
 public:
  void ShowPage(WizardPage) override {}
  void ShowProgress(uint32_t, const std::u16string&) override {}
  void OpenFile(const std::u16string&) override {}
  void Close() override {}
  void SetWelcomeText(const std::u16string&) override {}
  std::u16string DestinationText() override { return {}; }
  void SetDestinationText(const std::u16string&) override {}
  bool OpenDescriptionChecked() override { return false; }
  void DismissMessage() override {}
};

}  // namespace setup
