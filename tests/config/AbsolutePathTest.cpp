// Which paths name one place whatever the working directory, and how a
// relative one is taken against it, in both separator styles on every build.
#include <gtest/gtest.h>

#include <string>

#include "platform/Path.h"

namespace setup::test {
namespace {

TEST(AbsolutePath, EachStyleKnowsItsAbsolutePathsAndJoinsTheOthersToTheWorkingDirectory) {
  struct Row {
    PathStyle style;
    const char16_t* path;
    const char16_t* workingDirectory;
    bool absolute;
    const char16_t* made;  // MakeAbsolutePath's result
  };
  using S = PathStyle;
  const Row rows[] = {
      {S::Posix, u"/srv/t", u"/home/u", true, u"/srv/t"},
      {S::Posix, u"tmpl", u"/home/u", false, u"/home/u/tmpl"},
      {S::Posix, u"a/b/", u"/", false, u"/a/b/"},
      {S::Posix, u"./t", u"/w/", false, u"/w/./t"},
      {S::Posix, u"C:\\t", u"/w", false, u"/w/C:\\t"},
      {S::Posix, u"t", u"relative", false, u""},  // no absolute result to be had
      {S::Posix, u"t", u"", false, u""},
      {S::Posix, u"", u"/w", false, u""},
      {S::Windows, u"C:\\t", u"D:\\w", true, u"C:\\t"},
      {S::Windows, u"c:/t", u"D:\\w", true, u"c:/t"},
      {S::Windows, u"C:\\", u"D:\\w", true, u"C:\\"},
      {S::Windows, u"\\\\srv\\share\\t", u"D:\\w", true, u"\\\\srv\\share\\t"},
      {S::Windows, u"//srv/share", u"D:\\w", true, u"//srv/share"},
      // A server without a share is no UNC name: the leading separator counts.
      {S::Windows, u"\\\\srv", u"D:\\w", false, u"D:\\srv"},
      {S::Windows, u"\\\\srv\\", u"D:\\w", false, u"D:\\srv\\"},
      {S::Windows, u"tmpl", u"D:\\w", false, u"D:\\w\\tmpl"},
      {S::Windows, u"tmpl", u"D:\\", false, u"D:\\tmpl"},
      {S::Windows, u"\\foo", u"D:\\w\\x", false, u"D:\\foo"},
      {S::Windows, u"/foo", u"\\\\srv\\share\\w", false, u"\\\\srv\\share\\foo"},
      {S::Windows, u"d:foo", u"D:\\w", false, u"D:\\w\\foo"},
      {S::Windows, u"C:foo", u"D:\\w", false, u"C:\\foo"},
      {S::Windows, u"C:", u"C:\\w", false, u"C:\\w\\"},
      {S::Windows, u"tmpl", u"\\w", false, u""},
      {S::Windows, u"tmpl", u"C:w", false, u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("row " + std::to_string(&row - rows));
    EXPECT_EQ(IsAbsolutePath(row.path, row.style), row.absolute);
    EXPECT_EQ(MakeAbsolutePath(row.path, row.workingDirectory, row.style), row.made);
  }
}

}  // namespace
}  // namespace setup::test
