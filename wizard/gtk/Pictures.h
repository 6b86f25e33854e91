#pragma once
// The wizard's two pictures, drawn by pictures/make_pictures.py.
#include <gdk-pixbuf/gdk-pixbuf.h>

namespace setup {

// New references; the caller unrefs them.
GdkPixbuf* LoadSidePicture();  // 158 x 286, left of the pages
GdkPixbuf* LoadWindowIcon();   // 256 x 256

}  // namespace setup
