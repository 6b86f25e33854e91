// Conversions between wide text and the locale's multibyte encoding. They run on
// the main and the worker thread at once, so they keep their shift state in
// locals and never touch the process locale.
#include "platform/Text.h"

#include <langinfo.h>

#include <cstring>
#include <cctype>
#include <climits>
#include <cwchar>

namespace setup {
namespace {

// The plain C/POSIX locale is ASCII; treating it as UTF-8 lets non-ASCII names
// through when LANG is unset, as it is for services and in containers.
bool MultiByteIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0;
}

char32_t NextCodePoint(std::u16string_view text, size_t& i) {
  char32_t c = text[i++];
  if (c >= 0xD800 && c <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
    c = 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
  } else if (c >= 0xD800 && c <= 0xDFFF) {
    c = 0xFFFD;
  }
  return c;
}

}  // namespace

std::string WideToMultiByte(std::u16string_view wide) {
  if (MultiByteIsUtf8()) return Utf16ToUtf8(wide);
  std::string out;
  out.reserve(wide.size());
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (size_t i = 0; i < wide.size();) {
    const char32_t c = NextCodePoint(wide, i);
    size_t n = std::wcrtomb(buffer, static_cast<wchar_t>(c), &state);
    if (n == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      n = std::wcrtomb(buffer, L'?', &state);  // the encoding lacks this character
    }
    out.append(buffer, n);
  }
  return out;
}

size_t DecodeMultiBytePrefix(std::string_view bytes, bool final, std::u16string& out, bool* invalid) {
  if (MultiByteIsUtf8()) return DecodeUtf8Prefix(bytes, final, out, invalid);
  std::mbstate_t state{};
  size_t i = 0;
  while (i < bytes.size()) {
    wchar_t wc = 0;
    const size_t n = std::mbrtowc(&wc, bytes.data() + i, bytes.size() - i, &state);
    if (n == static_cast<size_t>(-2)) {
      if (!final) break;  // the rest belongs to a character the next piece completes
      out.push_back(0xFFFD);
      if (invalid) *invalid = true;
      i = bytes.size();
    } else if (n == static_cast<size_t>(-1)) {
      out.push_back(0xFFFD);
      if (invalid) *invalid = true;
      state = std::mbstate_t{};
      ++i;
    } else {
      const char32_t c = static_cast<char32_t>(wc);
      if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
      } else if (c <= 0x10FFFF) {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      } else {
        out.push_back(0xFFFD);
        if (invalid) *invalid = true;
      }
      i += n == 0 ? 1 : n;  // n == 0: an embedded NUL, one byte long
    }
  }
  return i;
}

std::u16string MultiByteToWide(std::string_view multibyte) {
  std::u16string out;
  DecodeMultiBytePrefix(multibyte, true, out);
  return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  // strcasecmp's rule, byte by byte in the current locale, written out: the
  // sanitizers replace strcasecmp with an ASCII-only one.
  const std::string x = WideToMultiByte(a), y = WideToMultiByte(b);
  for (size_t i = 0;; ++i) {
    const int cx = i < x.size() ? std::tolower(static_cast<unsigned char>(x[i])) : -1;
    const int cy = i < y.size() ? std::tolower(static_cast<unsigned char>(y[i])) : -1;
    if (cx != cy || cx < 0) return cx - cy;
  }
}

std::string FoldCase(std::u16string_view text) {
  // CompareNoCase's own rule, applied once to one text instead of on every
  // comparison.
  std::string folded = WideToMultiByte(text);
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace setup
