#include "wizard/HeadlessFrontEnd.h"

#include "platform/Console.h"
#include "platform/Text.h"

namespace setup {

bool HeadlessFrontEnd::ShowMessage(MessageKind, const std::u16string& text) {
  std::string line = Utf16ToUtf8(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line.push_back('\n');
  WriteStandard(StandardStream::Error, line);
  return false;  // nobody is there to say Yes
}

}  // namespace setup
