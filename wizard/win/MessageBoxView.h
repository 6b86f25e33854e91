#pragma once
// The view of a silent run on Windows until the property sheet exists: the
// run's messages are real message boxes, captioned with the program's title;
// there are no pages to show.
#include <string>

#include "wizard/MessageOnlyView.h"

namespace setup {

class MessageBoxView : public MessageOnlyView {
 public:
  explicit MessageBoxView(std::u16string caption) : caption_(std::move(caption)) {}
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;
  void OpenFile(const std::u16string& path) override;

 private:
  std::u16string caption_;
};

}  // namespace setup
