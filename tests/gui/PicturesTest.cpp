// The two pictures as the window loads them: their sizes, their palettes
// (the side picture has 256 colours; the icon 210 and a transparent one),
// and that every colour listed is one a pixel uses.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "wizard/gtk/Pictures.h"
#include "wizard/gtk/pictures/SidePicture.xpm"
#include "wizard/gtk/pictures/WindowIcon.xpm"

namespace setup {
namespace {

struct XpmFacts {
  int width = 0, height = 0, colours = 0, charsPerPixel = 0;
  size_t coloursUsed = 0;
  bool transparent = false;
};

XpmFacts Inspect(const char* const* xpm) {
  XpmFacts facts;
  std::sscanf(xpm[0], "%d %d %d %d", &facts.width, &facts.height, &facts.colours, &facts.charsPerPixel);
  const size_t cpp = static_cast<size_t>(facts.charsPerPixel);
  std::set<std::string> listed, used;
  for (int i = 1; i <= facts.colours; ++i) {
    const std::string line = xpm[i];
    listed.insert(line.substr(0, cpp));
    if (line.find(" c None") != std::string::npos) facts.transparent = true;
  }
  for (int y = 0; y < facts.height; ++y) {
    const std::string row = xpm[1 + facts.colours + y];
    for (size_t x = 0; x + cpp <= row.size(); x += cpp) used.insert(row.substr(x, cpp));
  }
  for (const std::string& code : used) facts.coloursUsed += listed.count(code);
  return facts;
}

TEST(Pictures, SidePictureHas256ColoursAndIconHas211Entries) {
  const XpmFacts side = Inspect(side_picture_xpm);
  EXPECT_EQ(side.width, 158);
  EXPECT_EQ(side.height, 286);
  EXPECT_EQ(side.colours, 256);
  EXPECT_EQ(side.coloursUsed, 256u);
  EXPECT_FALSE(side.transparent);

  const XpmFacts icon = Inspect(window_icon_xpm);
  EXPECT_EQ(icon.width, 256);
  EXPECT_EQ(icon.height, 256);
  EXPECT_EQ(icon.colours, 211);
  EXPECT_EQ(icon.coloursUsed, 211u);
  EXPECT_TRUE(icon.transparent);
}

TEST(Pictures, BothLoadAtTheirSizes) {
  GdkPixbuf* side = LoadSidePicture();
  ASSERT_NE(side, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(side), 158);
  EXPECT_EQ(gdk_pixbuf_get_height(side), 286);
  g_object_unref(side);
  GdkPixbuf* icon = LoadWindowIcon();
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(icon), 256);
  EXPECT_EQ(gdk_pixbuf_get_height(icon), 256);
  EXPECT_TRUE(gdk_pixbuf_get_has_alpha(icon));
  g_object_unref(icon);
}

}  // namespace
}  // namespace setup
