#pragma once
// The view of a silent run without a display: each message that would be
// shown in a box becomes one line of UTF-8 on standard error, and nothing
// else is shown. Nobody is there to answer, so every question gets No.
#include <cstdio>

#include "wizard/MessageOnlyView.h"

namespace setup {

class HeadlessFrontEnd : public MessageOnlyView {
 public:
  explicit HeadlessFrontEnd(std::FILE* out = stderr) : out_(out) {}
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;

 private:
  std::FILE* out_;
};

}  // namespace setup
