#pragma once
// The front-end of a silent run without a display: each message that would
// be shown in a box becomes one line of UTF-8 on standard error, and nothing
// else is printed.
#include <cstdio>

#include "core/FrontEnd.h"

namespace setup {

class HeadlessFrontEnd : public FrontEnd {
 public:
  explicit HeadlessFrontEnd(std::FILE* out = stderr) : out_(out) {}
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;
  void ShowPage(WizardPage) override {}
  void ShowProgress(uint32_t, const std::u16string&) override {}
  void OpenFile(const std::u16string&) override {}
  void Close() override {}

 private:
  std::FILE* out_;
};

}  // namespace setup
