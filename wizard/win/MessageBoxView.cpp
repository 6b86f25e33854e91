#include "wizard/win/MessageBoxView.h"

#include <windows.h>
#include <shellapi.h>

namespace setup {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

}  // namespace

bool MessageBoxView::ShowMessage(MessageKind kind, const std::u16string& text) {
  UINT type = MB_OK;
  if (kind == MessageKind::Question) type = MB_YESNO | MB_ICONQUESTION;
  if (kind == MessageKind::Error) type = MB_OK | MB_ICONERROR;
  // Only Yes is consent; closing the box counts as No.
  return MessageBoxW(nullptr, Wide(text), Wide(caption_), type | MB_SETFOREGROUND) == IDYES;
}

void MessageBoxView::OpenFile(const std::u16string& path) {
  // Whether anything opens is not reported.
  ShellExecuteW(nullptr, nullptr, Wide(path), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace setup
