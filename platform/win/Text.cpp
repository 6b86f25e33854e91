// Conversions between wide text and the ANSI code page, and comparison in
// the user's locale.
#include "platform/Text.h"

#include <windows.h>

#include <climits>

namespace setup {
namespace {

struct CodePage {
  UINT id;
  bool doubleByte;  // a character may take two bytes, announced by its first
};

// The ANSI code page is fixed for the life of the process.
const CodePage& AnsiCodePage() {
  static const CodePage page = [] {
    CodePage result{GetACP(), false};
    CPINFO info;
    if (result.id != CP_UTF8 && GetCPInfo(result.id, &info)) result.doubleByte = info.MaxCharSize > 1;
    return result;
  }();
  return page;
}

int Length(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

void AppendDecoded(std::string_view bytes, std::u16string& out, bool* invalid = nullptr) {
  if (bytes.empty()) return;
  const UINT page = AnsiCodePage().id;
  const int length = Length(bytes.size());
  // Only a strict decoding tells a byte the code page does not define from
  // one it does; the lenient one below still gives the text's shape.
  if (invalid && MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0) <= 0) {
    *invalid = true;
  }
  const int n = MultiByteToWideChar(page, MB_PRECOMPOSED, bytes.data(), length, nullptr, 0);
  if (n <= 0) {
    // Not expected for a code page the system itself chose; keep the bytes'
    // count of characters rather than losing the text's shape.
    out.append(bytes.size(), u'\xFFFD');
    if (invalid) *invalid = true;
    return;
  }
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(n));
  MultiByteToWideChar(page, MB_PRECOMPOSED, bytes.data(), length, reinterpret_cast<wchar_t*>(&out[at]), n);
}

}  // namespace

std::string WideToMultiByte(std::u16string_view wide) {
  if (wide.empty()) return {};
  const UINT page = AnsiCodePage().id;
  const auto* text = reinterpret_cast<const wchar_t*>(wide.data());
  const int length = Length(wide.size());
  // A character the code page lacks becomes its default character ("?").
  const int n = WideCharToMultiByte(page, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string(wide.size(), '?');
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(page, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string MultiByteToWide(std::string_view multibyte) {
  std::u16string out;
  AppendDecoded(multibyte, out);
  return out;
}

size_t DecodeMultiBytePrefix(std::string_view bytes, bool final, std::u16string& out, bool* invalid) {
  const CodePage& page = AnsiCodePage();
  if (page.id == CP_UTF8) return DecodeUtf8Prefix(bytes, final, out, invalid);
  size_t whole = bytes.size();
  if (page.doubleByte) {
    // Walk the characters from the start of the piece, which is always the
    // start of a character: a trail byte may look like a lead byte.
    size_t i = 0;
    while (i < bytes.size()) {
      if (IsDBCSLeadByteEx(page.id, static_cast<BYTE>(bytes[i]))) {
        if (i + 1 == bytes.size()) break;  // its second byte comes with the next piece
        i += 2;
      } else {
        ++i;
      }
    }
    whole = i;
  }
  AppendDecoded(bytes.substr(0, whole), out, invalid);
  if (whole < bytes.size() && final) {
    out.push_back(u'\xFFFD');  // a lead byte the file ends on
    if (invalid) *invalid = true;
    return bytes.size();
  }
  return whole;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const int result = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, reinterpret_cast<const wchar_t*>(a.data()),
                                    Length(a.size()), reinterpret_cast<const wchar_t*>(b.data()), Length(b.size()));
  if (result != 0) return result - CSTR_EQUAL;
  // Only for text the locale cannot compare at all: code unit by code unit.
  return a.compare(b);
}

std::string FoldCase(std::u16string_view text) {
  // Two sort keys are equal exactly when CompareStringW finds the texts equal
  // with the same flags, so the locale's own rule is kept, ignorable
  // characters and all.
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = Length(text.size());
  const int n = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, wide, length, nullptr, 0);
  if (n > 0) {
    std::string key(static_cast<size_t>(n), '\0');
    if (LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, wide, length,
                     reinterpret_cast<wchar_t*>(key.data()), n) == n) {
      return key;
    }
  }
  // A text the locale cannot compare is compared code unit by code unit; the
  // leading byte keeps it apart from every sort key.
  std::string raw(1, '\xFF');
  for (const char16_t c : text) {
    raw.push_back(static_cast<char>(c & 0xFF));
    raw.push_back(static_cast<char>(c >> 8));
  }
  return raw;
}

}  // namespace setup
