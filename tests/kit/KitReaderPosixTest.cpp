// What only a POSIX system can show about the kit image: its permission bits.
#include <sys/stat.h>

#include "KitTestUtil.h"

namespace setup::kittest {
namespace {

using kit_reader_posix = KitTest;

// The image holds the whole kit decompressed; nobody else may read it, even
// under a permissive umask.
TEST_F(kit_reader_posix, TheImageIsTheUsersAlone) {
  const mode_t saved = umask(0);
  KitReader reader;
  KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}};
  model.files = {{u"a/b.txt", 1, "abc"}};
  const ErrorCode code = ReadImage(reader, model.Image());
  umask(saved);
  ASSERT_EQ(code, 0u);
  const std::vector<std::string> odk = OdkFiles();
  ASSERT_EQ(odk.size(), 1u);
  struct stat st;
  ASSERT_EQ(stat((Tmp() + "/" + odk[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(uint64_t(st.st_size), model.Image().size());
}

}  // namespace
}  // namespace setup::kittest
