#pragma once
// Wide text is UTF-16 in std::u16string on every platform. The multibyte form is
// what the operating system takes for paths: the locale's encoding on Linux,
// UTF-8 under the plain C/POSIX locale.
#include <string>
#include <string_view>

namespace setup {

std::string WideToMultiByte(std::u16string_view wide);
std::u16string MultiByteToWide(std::string_view multibyte);

// Less than, equal to or greater than zero, like strcmp, ignoring case.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
// A byte form of `text` for hashing: two texts without NULs have equal forms
// exactly when CompareNoCase finds them equal. The form holds no NUL byte
// except, on Windows, one at its end. Linux: the multibyte form with every
// byte lowered as CompareNoCase lowers it; Windows: the user locale's sort
// key, case ignored.
std::string FoldCase(std::u16string_view text);

// Strict UTF-8 <-> UTF-16, independent of the locale. Malformed input (bad
// bytes, lone surrogates) becomes U+FFFD; nothing is dropped silently.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Incremental decoding of a byte stream whose pieces may split a character.
// Decodes the longest prefix of `bytes` that holds whole characters and
// returns how many bytes it used; when `final` is set every byte is used and an
// incomplete tail becomes U+FFFD. `invalid`, when given, is set once a byte
// that the encoding does not allow there had to become U+FFFD (a U+FFFD the
// bytes spell out is no such byte).
size_t DecodeUtf8Prefix(std::string_view bytes, bool final, std::u16string& out, bool* invalid = nullptr);
size_t DecodeMultiBytePrefix(std::string_view bytes, bool final, std::u16string& out, bool* invalid = nullptr);

// Handy for literals in the core: u"..." already is UTF-16, this is for
// byte strings known to be UTF-8 (catalogue texts, kit data written by tools).
inline std::u16string U16(std::string_view utf8) { return Utf8ToUtf16(utf8); }

}  // namespace setup
