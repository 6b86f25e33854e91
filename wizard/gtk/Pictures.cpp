#include "wizard/gtk/Pictures.h"

#include "wizard/gtk/pictures/SidePicture.xpm"
#include "wizard/gtk/pictures/WindowIcon.xpm"

namespace setup {

GdkPixbuf* LoadSidePicture() { return gdk_pixbuf_new_from_xpm_data(side_picture_xpm); }

GdkPixbuf* LoadWindowIcon() { return gdk_pixbuf_new_from_xpm_data(window_icon_xpm); }

}  // namespace setup
