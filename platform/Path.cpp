#include "platform/Path.h"

#include <algorithm>

namespace setup {
namespace {

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// How many leading characters form the root of `path` in the Windows style:
// "C:" or "C:\" (2 or 3), "\\server\share\" (up to and with the separator
// after the share), or 0 for a relative path. A single leading separator
// ("\dir") is the current drive's root.
size_t WindowsRootLength(std::u16string_view path) {
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
    return path.size() >= 3 && IsSeparator(path[2], PathStyle::Windows) ? 3 : 2;
  }
  if (path.size() >= 2 && IsSeparator(path[0], PathStyle::Windows) && IsSeparator(path[1], PathStyle::Windows)) {
    // Server and share, each followed by its separator when there is one.
    size_t at = 2;
    for (int component = 0; component < 2 && at < path.size(); ++component) {
      while (at < path.size() && !IsSeparator(path[at], PathStyle::Windows)) ++at;
      if (at < path.size()) ++at;
    }
    return at;
  }
  if (!path.empty() && IsSeparator(path[0], PathStyle::Windows)) return 1;
  return 0;
}

size_t RootLength(std::u16string_view path, PathStyle style) {
  if (style == PathStyle::Windows) return WindowsRootLength(path);
  return !path.empty() && path[0] == u'/' ? 1 : 0;
}

// The one-to-one upper-case letter of `c`, or `c` itself, in the blocks
// NameComparisonUnit covers.
char16_t UpperCaseLetter(char16_t c) {
  auto pairs = [c](char16_t first, char16_t last, bool upperIsEven) -> bool {
    return c >= first && c <= last && ((c % 2 == 0) != upperIsEven);
  };
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  if (c < 0xB5) return c;
  if (c == 0xB5) return 0x39C;                                       // micro sign: Greek mu
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);  // Latin-1
  if (c == 0xFF) return 0x178;
  if (c == 0x131) return u'I';                                       // dotless i
  if (c == 0x17F) return u'S';                                       // long s
  if (pairs(0x100, 0x12F, true) || pairs(0x132, 0x137, true) || pairs(0x14A, 0x177, true)) return char16_t(c - 1);
  if (pairs(0x139, 0x148, false) || pairs(0x179, 0x17E, false)) return char16_t(c - 1);
  // Greek
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return char16_t(c - 37);
  if (c == 0x3C2) return 0x3A3;                                      // final sigma
  if (c >= 0x3B1 && c <= 0x3CB) return char16_t(c - 32);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return char16_t(c - 63);
  // Cyrillic
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 32);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 80);
  if (pairs(0x460, 0x481, true) || pairs(0x48A, 0x4BF, true) || pairs(0x4D0, 0x52F, true)) return char16_t(c - 1);
  if (pairs(0x4C1, 0x4CE, false)) return char16_t(c - 1);
  if (c == 0x4CF) return 0x4C0;
  if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 32);          // full-width Latin
  return c;
}

}  // namespace

char16_t NameComparisonUnit(char16_t c, PathStyle style) {
  return style == PathStyle::Windows ? UpperCaseLetter(c) : c;
}

bool IsSeparator(char16_t c, PathStyle style) {
  return c == u'/' || (style == PathStyle::Windows && c == u'\\');
}

bool EndsWithSeparator(std::u16string_view path) {
  return !path.empty() && (path.back() == u'/' || path.back() == u'\\');
}

std::u16string EnsureTrailingSeparator(std::u16string path, PathStyle style) {
  if (!path.empty() && !EndsWithSeparator(path)) path.push_back(SeparatorOf(style));
  return path;
}

std::u16string WithoutTrailingSeparator(std::u16string path, PathStyle style) {
  if (EndsWithSeparator(path) && !IsRootPath(path, style)) path.pop_back();
  return path;
}

std::u16string ToNativeSeparators(std::u16string path, PathStyle style) {
  const char16_t foreign = style == PathStyle::Windows ? u'/' : u'\\';
  std::replace(path.begin(), path.end(), foreign, SeparatorOf(style));
  return path;
}

std::u16string ParentPath(std::u16string_view path, PathStyle style) {
  const size_t root = RootLength(path, style);
  size_t last = path.size();
  while (last > root && !IsSeparator(path[last - 1], style)) --last;
  if (last <= root) return std::u16string(path.substr(0, root));
  // `last` is just past the separator; the parent is what stands before it.
  size_t end = last - 1;
  return std::u16string(path.substr(0, std::max(end, root)));
}

std::u16string_view FileName(std::u16string_view path, PathStyle style) {
  const size_t root = RootLength(path, style);
  size_t start = path.size();
  while (start > root && !IsSeparator(path[start - 1], style)) --start;
  return path.substr(std::max(start, root));
}

std::u16string JoinPath(std::u16string base, std::u16string_view relative, PathStyle style) {
  if (!relative.empty() && (relative.front() == u'/' || relative.front() == u'\\')) relative.remove_prefix(1);
  if (base.empty()) return std::u16string(relative);
  base = EnsureTrailingSeparator(std::move(base), style);
  base.append(relative);
  return base;
}

bool IsRootPath(std::u16string_view path, PathStyle style) {
  if (style == PathStyle::Posix) return path == u"/";
  if (path.size() >= 2 && path.size() <= 3 && path[1] == u':') return true;
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    // At most two non-empty components after the two backslashes.
    int components = 0;
    bool inComponent = false;
    for (size_t i = 2; i < path.size(); ++i) {
      if (path[i] == u'\\' || path[i] == u'/') {
        inComponent = false;
      } else if (!inComponent) {
        inComponent = true;
        ++components;
      }
    }
    return components <= 2;
  }
  return false;
}

bool IsDriveDesignator(std::u16string_view path, PathStyle style) {
  return style == PathStyle::Windows && path.size() == 2 && IsDriveLetter(path[0]) && path[1] == u':';
}

bool IsAbsolutePath(std::u16string_view path, PathStyle style) {
  if (style == PathStyle::Posix) return !path.empty() && path[0] == u'/';
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':') return IsSeparator(path[2], style);
  if (path.size() < 2 || !IsSeparator(path[0], style) || !IsSeparator(path[1], style)) return false;
  // "\\server\share": two components, neither empty.
  size_t at = 2;
  for (int component = 0; component < 2; ++component) {
    const size_t start = at;
    while (at < path.size() && !IsSeparator(path[at], style)) ++at;
    if (at == start) return false;
    if (component == 0) {
      if (at == path.size()) return false;
      ++at;
    }
  }
  return true;
}

std::u16string MakeAbsolutePath(std::u16string_view path, std::u16string_view workingDirectory, PathStyle style) {
  if (path.empty()) return {};
  if (IsAbsolutePath(path, style)) return std::u16string(path);
  if (!IsAbsolutePath(workingDirectory, style)) return {};
  const std::u16string base(workingDirectory);
  if (style == PathStyle::Windows) {
    if (IsSeparator(path[0], style)) return JoinPath(base.substr(0, WindowsRootLength(base)), path.substr(1), style);
    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
      const bool sameDrive = (base[0] | 0x20) == (path[0] | 0x20) && base[1] == u':';
      return JoinPath(sameDrive ? base : std::u16string(path.substr(0, 2)) + u'\\', path.substr(2), style);
    }
  }
  return JoinPath(base, path, style);
}

}  // namespace setup
