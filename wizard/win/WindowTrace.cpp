#include "wizard/win/WindowTrace.h"

#include <commctrl.h>

#include <vector>

#include "platform/Text.h"

namespace setup {
namespace {

WindowTrace* g_active = nullptr;  // the thread timer carries no pointer of its own

std::string Quoted(std::u16string_view text) {
  std::string out = "\"";
  for (char c : Utf16ToUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::u16string TextOf(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::u16string text(static_cast<size_t>(length) + 1, u'\0');
  const int got = GetWindowTextW(window, reinterpret_cast<wchar_t*>(text.data()), length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

std::u16string ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return reinterpret_cast<const char16_t*>(name);
}

std::string Rect(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  std::string text = "[";
  for (const LONG value : {r.left, r.top, r.right - r.left, r.bottom - r.top}) {
    if (text.size() > 1) text += ',';
    text += std::to_string(value);
  }
  return text + "]";
}

std::string Flag(bool value) { return value ? "true" : "false"; }

std::string Control(HWND control, HWND focus) {
  const std::u16string cls = ClassOf(control);
  HWND parent = GetParent(control);
  // A picture's window text is its resource number, not something shown.
  const bool isStatic = CompareNoCase(cls, u"Static") == 0;
  const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
  const bool picture = isStatic && ((style & SS_TYPEMASK) == SS_BITMAP || (style & SS_TYPEMASK) == SS_ICON);
  std::string line = "{\"id\":" + std::to_string(static_cast<int>(static_cast<short>(GetDlgCtrlID(control)))) +
                     ",\"parent\":" + std::to_string(GetDlgCtrlID(parent)) + ",\"class\":" + Quoted(cls) +
                     ",\"text\":" + Quoted(picture ? u"" : TextOf(control)) + ",\"rect\":" + Rect(control) +
                     ",\"visible\":" + Flag(IsWindowVisible(control)) +
                     ",\"enabled\":" + Flag(IsWindowEnabled(control)) + ",\"focus\":" + Flag(control == focus);
  if (CompareNoCase(cls, u"Button") == 0) {
    const LONG_PTR type = GetWindowLongPtrW(control, GWL_STYLE) & BS_TYPEMASK;
    if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE) {
      line += ",\"check\":" + Flag(SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED);
    }
  }
  if (picture) {
    const UINT type = (style & SS_TYPEMASK) == SS_BITMAP ? IMAGE_BITMAP : IMAGE_ICON;
    line += ",\"image\":" + Flag(SendMessageW(control, STM_GETIMAGE, type, 0) != 0);
  }
  if (CompareNoCase(cls, u"SysListView32") == 0) {
    // The names a list shows (the chooser's folders) are not window texts.
    const LRESULT count = SendMessageW(control, LVM_GETITEMCOUNT, 0, 0);
    line += ",\"items\":[";
    for (LRESULT i = 0; i < count && i < 100; ++i) {
      wchar_t name[MAX_PATH] = {};
      LVITEMW item{};
      item.iSubItem = 0;
      item.pszText = name;
      item.cchTextMax = MAX_PATH;
      SendMessageW(control, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
      if (i) line += ',';
      line += Quoted(reinterpret_cast<const char16_t*>(name));
    }
    line += "]";
  }
  if (CompareNoCase(cls, u"msctls_progress32") == 0) {
    line += ",\"pos\":" + std::to_string(SendMessageW(control, PBM_GETPOS, 0, 0));
  }
  return line + "}";
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

}  // namespace

WindowTrace::WindowTrace() {
  const wchar_t* path = _wgetenv(L"SETUP_UI_TRACE");
  if (path && *path) file_ = _wfopen(path, L"ab");
}

WindowTrace::~WindowTrace() {
  if (timer_) KillTimer(nullptr, timer_);
  if (g_active == this) g_active = nullptr;
  if (file_) std::fclose(file_);
}

void WindowTrace::Start() {
  if (!file_ || timer_) return;
  g_active = this;
  timer_ = SetTimer(nullptr, 0, 100, OnTimer);
}

void CALLBACK WindowTrace::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (g_active) g_active->Snapshot();
}

void WindowTrace::Event(const char* name, const std::u16string& text) {
  if (!file_) return;
  // A picture first, so that what led to the event is on record before it.
  Snapshot();
  Write(std::string("{\"event\":\"") + name + "\",\"text\":" + Quoted(text) + "}");
}

void WindowTrace::Snapshot() {
  if (!file_) return;
  std::vector<HWND> windows;
  EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&windows));
  const HWND focus = GetFocus();
  std::string picture = "\"windows\":[";
  bool firstWindow = true;
  for (HWND window : windows) {
    picture += firstWindow ? "" : ",";
    firstWindow = false;
    picture += "{\"class\":" + Quoted(ClassOf(window)) + ",\"title\":" + Quoted(TextOf(window)) +
               ",\"rect\":" + Rect(window) + ",\"enabled\":" + Flag(IsWindowEnabled(window)) +
               ",\"owned\":" + Flag(GetWindow(window, GW_OWNER) != nullptr) + ",\"controls\":[";
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    bool firstControl = true;
    for (HWND child : children) {
      if (!firstControl) picture += ',';
      picture += Control(child, focus);
      firstControl = false;
    }
    picture += "]}";
  }
  picture += "]";
  if (picture == last_) return;
  last_ = picture;
  Write("{\"snapshot\":" + std::to_string(++sequence_) + ",\"time\":" + std::to_string(GetTickCount()) + "," +
        picture + "}");
}

void WindowTrace::Write(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

}  // namespace setup
