#pragma once
// The view of a run without a window (no display, or /S /Q): each message
// that would be shown in a box becomes one line on standard error, and
// nothing else is shown. Nobody is there to answer, so every question gets No.
#include "wizard/MessageOnlyView.h"

namespace setup {

class HeadlessFrontEnd : public MessageOnlyView {
 public:
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;
};

}  // namespace setup
