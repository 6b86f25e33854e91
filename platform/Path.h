#pragma once
// Paths as text: separators, roots, parents and joins. The separator style is
// a parameter, so the Windows rules are exercised by the tests of every build;
// the native style is the default.
#include <string>
#include <string_view>

namespace setup {

enum class PathStyle { Posix, Windows };

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

constexpr char16_t SeparatorOf(PathStyle style) { return style == PathStyle::Windows ? u'\\' : u'/'; }
inline constexpr char16_t kPathSeparator = SeparatorOf(kNativePathStyle);

// Two names are one file's to the style's file systems when they are equal
// unit by unit after this. The Posix style compares exactly; Windows file
// systems ignore case, letter by letter through an upper-case table, which
// this follows for the scripts template names come in (Latin, Greek,
// Cyrillic, full-width Latin), leaving every other unit as it is.
char16_t NameComparisonUnit(char16_t c, PathStyle style = kNativePathStyle);

// "/" in both styles; "\" too in the Windows style, where the system takes both.
bool IsSeparator(char16_t c, PathStyle style = kNativePathStyle);

// A trailing "/" or "\" counts in every style: directories handed between
// the parts of the program may come from either build's conventions.
bool EndsWithSeparator(std::u16string_view path);

// Appends the style's separator unless the path is empty or already ends in
// "/" or "\".
std::u16string EnsureTrailingSeparator(std::u16string path, PathStyle style = kNativePathStyle);

// Drops one trailing separator, unless the path is a root, which needs it.
std::u16string WithoutTrailingSeparator(std::u16string path, PathStyle style = kNativePathStyle);

// Every separator of the other style becomes the style's own: "\" -> "/" in
// the Posix style, "/" -> "\" in the Windows style ("D:/T" -> "D:\T").
std::u16string ToNativeSeparators(std::u16string path, PathStyle style = kNativePathStyle);

// The directory that holds `path`: the text before its last separator, a root
// keeping its own separator ("/a" -> "/", "C:\a" -> "C:\", "C:a" -> "C:").
// Empty when the path has no separator (and, in the Windows style, no drive).
std::u16string ParentPath(std::u16string_view path, PathStyle style = kNativePathStyle);

// The last component: the text after the last separator (and after a drive).
std::u16string_view FileName(std::u16string_view path, PathStyle style = kNativePathStyle);

// `base`, a separator unless it already ends in one, and `relative` without
// one leading separator. An empty base gives `relative` as it stands.
std::u16string JoinPath(std::u16string base, std::u16string_view relative, PathStyle style = kNativePathStyle);

// Posix: only "/". Windows: a drive letter and a colon with at most one
// character after it ("C:", "C:\"), and a UNC root of at most two components
// ("\\server", "\\server\share", "\\server\share\").
bool IsRootPath(std::u16string_view path, PathStyle style = kNativePathStyle);

// Windows: a letter and a colon and nothing else ("C:"), which names a drive's
// current directory rather than a place of its own. Never in the Posix style.
bool IsDriveDesignator(std::u16string_view path, PathStyle style = kNativePathStyle);

// Whether `path` names the same place whatever the working directory. Posix:
// a leading "/". Windows: a drive, a colon and a separator ("C:\", "C:/"), or
// a UNC name with a server and a share ("\\server\share"). "\dir" (the root
// of whichever drive is current) and "C:dir" (drive C's current directory)
// are not.
bool IsAbsolutePath(std::u16string_view path, PathStyle style = kNativePathStyle);

// `path` made absolute against `workingDirectory`: an absolute path as it
// stands, a relative one joined to the working directory. Windows: "\t" goes
// below the working directory's drive or share, "C:t" below the working
// directory when that is on drive C and below "C:\" otherwise (a process
// knows no current directory for another drive). Empty when `path` is empty
// or the working directory is not absolute.
std::u16string MakeAbsolutePath(std::u16string_view path, std::u16string_view workingDirectory,
                                PathStyle style = kNativePathStyle);

}  // namespace setup
