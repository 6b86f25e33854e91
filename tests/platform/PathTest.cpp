// The path rules of both styles, on every build.
#include <gtest/gtest.h>

#include "platform/Path.h"

namespace setup {
namespace {

constexpr PathStyle W = PathStyle::Windows;
constexpr PathStyle P = PathStyle::Posix;

TEST(Path, RootsOfBothStyles) {
  for (const char16_t* root : {u"C:", u"c:\\", u"D:/", u"\\\\server", u"\\\\server\\share", u"\\\\server\\share\\"}) {
    EXPECT_TRUE(IsRootPath(root, W)) << std::u16string(root).size();
  }
  for (const char16_t* other : {u"", u"C:\\dir", u"\\\\server\\share\\dir", u"\\", u"dir"}) {
    EXPECT_FALSE(IsRootPath(other, W));
  }
  EXPECT_TRUE(IsRootPath(u"/", P));
  EXPECT_FALSE(IsRootPath(u"//", P));
  EXPECT_FALSE(IsRootPath(u"C:", P));
  EXPECT_TRUE(IsDriveDesignator(u"d:", W));
  EXPECT_FALSE(IsDriveDesignator(u"d:\\", W));
  EXPECT_FALSE(IsDriveDesignator(u"d:", P));
}

TEST(Path, TrailingSeparatorsAreAddedInTheStyleAndRecognisedInBoth) {
  EXPECT_EQ(EnsureTrailingSeparator(u"C:\\T", W), u"C:\\T\\");
  EXPECT_EQ(EnsureTrailingSeparator(u"/home/u", P), u"/home/u/");
  EXPECT_EQ(EnsureTrailingSeparator(u"C:/T/", W), u"C:/T/");
  EXPECT_EQ(EnsureTrailingSeparator(u"/a\\", P), u"/a\\");
  EXPECT_EQ(EnsureTrailingSeparator(u"", W), u"");
  EXPECT_EQ(WithoutTrailingSeparator(u"D:\\T\\", W), u"D:\\T");
  EXPECT_EQ(WithoutTrailingSeparator(u"C:\\", W), u"C:\\");
  EXPECT_EQ(WithoutTrailingSeparator(u"\\\\srv\\share\\", W), u"\\\\srv\\share\\");
  EXPECT_EQ(WithoutTrailingSeparator(u"/", P), u"/");
  EXPECT_EQ(WithoutTrailingSeparator(u"/srv/T/", P), u"/srv/T");
}

TEST(Path, ForeignSeparatorsBecomeTheStylesOwn) {
  EXPECT_EQ(ToNativeSeparators(u"D:/T", W), u"D:\\T");
  EXPECT_EQ(ToNativeSeparators(u"a/b\\c", W), u"a\\b\\c");
  EXPECT_EQ(ToNativeSeparators(u"\\home\\u\\t", P), u"/home/u/t");
  EXPECT_EQ(ToNativeSeparators(u"a/b\\c", P), u"a/b/c");
}

TEST(Path, ParentsKeepTheirRoot) {
  EXPECT_EQ(ParentPath(u"/srv/T/a.cfg", P), u"/srv/T");
  EXPECT_EQ(ParentPath(u"/a", P), u"/");
  EXPECT_EQ(ParentPath(u"a", P), u"");
  EXPECT_EQ(ParentPath(u"a\\b", P), u"");  // "\" is a name character on Linux
  EXPECT_EQ(ParentPath(u"C:\\T\\a.cfg", W), u"C:\\T");
  EXPECT_EQ(ParentPath(u"C:/T/a.cfg", W), u"C:/T");
  EXPECT_EQ(ParentPath(u"C:\\a", W), u"C:\\");
  EXPECT_EQ(ParentPath(u"C:a", W), u"C:");
  EXPECT_EQ(ParentPath(u"\\\\srv\\share\\dir", W), u"\\\\srv\\share\\");
  EXPECT_EQ(ParentPath(u"dir", W), u"");
  EXPECT_EQ(FileName(u"C:\\T\\a.cfg", W), u"a.cfg");
  EXPECT_EQ(FileName(u"C:a.cfg", W), u"a.cfg");
  EXPECT_EQ(FileName(u"/srv/a\\b", P), u"a\\b");
}

TEST(Path, JoinsTakeOneSeparatorBetween) {
  EXPECT_EQ(JoinPath(u"D:\\t", u"\\docs\\readme.htm", W), u"D:\\t\\docs\\readme.htm");
  EXPECT_EQ(JoinPath(u"D:\\t\\", u"docs/readme.htm", W), u"D:\\t\\docs/readme.htm");
  EXPECT_EQ(JoinPath(u"/home/u/tmplts", u"docs\\readme.htm", P), u"/home/u/tmplts/docs\\readme.htm");
  EXPECT_EQ(JoinPath(u"", u"/x", P), u"x");
}

}  // namespace
}  // namespace setup
