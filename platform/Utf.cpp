// UTF-8 and UTF-16 conversions that do not depend on the locale.
#include "platform/Text.h"

namespace setup {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(char32_t c, std::u16string& out) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Length of the sequence a lead byte announces, and the range its second byte
// must fall in so that overlong forms and surrogates are refused (RFC 3629).
struct Lead {
  int length;  // 0: not a lead byte
  unsigned char low, high;
};

Lead ClassifyLead(unsigned char b) {
  if (b < 0x80) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

size_t DecodeUtf8Prefix(std::string_view bytes, bool final, std::u16string& out, bool* invalid) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  out.reserve(out.size() + n);
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    const Lead lead = ClassifyLead(b);
    if (lead.length == 0) {
      out.push_back(kReplacement);
      if (invalid) *invalid = true;
      ++i;
      continue;
    }
    // Count the valid continuation bytes that follow.
    size_t valid = 1;
    while (valid < static_cast<size_t>(lead.length) && i + valid < n) {
      const unsigned char c = p[i + valid];
      const unsigned char low = valid == 1 ? lead.low : 0x80;
      const unsigned char high = valid == 1 ? lead.high : 0xBF;
      if (c < low || c > high) break;
      ++valid;
    }
    if (valid == static_cast<size_t>(lead.length)) {
      char32_t c = b & (0xFF >> (lead.length + 1));
      for (size_t k = 1; k < valid; ++k) c = (c << 6) | (p[i + k] & 0x3F);
      AppendUtf16(c, out);
      i += valid;
    } else if (i + valid == n && !final) {
      break;  // a character split at the end of the piece: keep it for the next
    } else {
      out.push_back(kReplacement);  // one U+FFFD per maximal broken sequence
      if (invalid) *invalid = true;
      i += valid;
    }
  }
  return i;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  DecodeUtf8Prefix(utf8, true, out);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;  // a lone surrogate has no UTF-8 form
    }
    AppendUtf8(c, out);
  }
  return out;
}

}  // namespace setup
