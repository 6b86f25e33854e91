// What only a POSIX system can show about the kit image: its permission
// bits, and what a bomb does to a small temporary directory.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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

// A kit whose trailer declares a small image stops inflating the moment the
// image outgrows it; without a trailer only the 4 GiB cap would stop it, and
// the temporary directory fills first.
TEST_F(kit_reader_posix, ABombStopsAtTheImageLengthItsTrailerDeclares) {
  if (geteuid() != 0 ||
      std::system(("mount -t tmpfs -o size=4m tmpfs '" + Tmp() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount(at.c_str()); }
  } unmount{Tmp()};
  KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}};
  model.files = {{u"zeros.bin", 1, std::string(64 << 20, '\0')}};
  const std::string image = model.Image();
  const std::string stream = DeflateRaw(image);
  KitTrailer small = TrailerOf(stream, image);
  small.imageLength = 1 << 20;

  KitReader reader;
  EXPECT_EQ(ReadKit(reader, stream + TrailerBytes(small)), kErrorInvalidData);
  EXPECT_EQ(reader.Integrity(), KitIntegrity::Mismatch);
  EXPECT_TRUE(OdkFiles().empty());
  EXPECT_EQ(ReadKit(reader, stream), kErrorDiskFull);
  EXPECT_TRUE(OdkFiles().empty());
}

}  // namespace
}  // namespace setup::kittest
