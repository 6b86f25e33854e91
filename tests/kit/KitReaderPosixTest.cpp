// What only a POSIX system can show about the kit image: its permission
// bits, and what a bomb or a large kit does to a small temporary directory.
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

// The temporary directory made a 4 MiB file system of its own for the
// test's life, and a kit of 64 MiB of zeros that it cannot hold.
class kit_reader_small_tmp : public KitTest {
 protected:
  void SetUp() override {
    KitTest::SetUp();
    if (geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=4m tmpfs '" + Tmp() + "' 2>/dev/null").c_str()) != 0) {
      GTEST_SKIP() << "cannot mount a small file system here";
    }
    mounted_ = true;
    model_.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}};
    model_.files = {{u"zeros.bin", 1, std::string(64 << 20, '\0')}};
  }
  void TearDown() override {
    if (mounted_) umount(Tmp().c_str());
    KitTest::TearDown();
  }

  KitModel model_;
  bool mounted_ = false;
};

// A kit whose trailer declares a small image stops inflating the moment the
// image outgrows it; without a trailer only the 4 GiB cap would stop it, and
// the temporary directory fills first.
TEST_F(kit_reader_small_tmp, ABombStopsAtTheImageLengthItsTrailerDeclares) {
  const std::string image = model_.Image();
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

// A listener that wants the data does not have Read return early when the
// image plainly cannot fit: Read fails as it would have without one, before
// any run has begun, rather than a run failing halfway.
TEST_F(kit_reader_small_tmp, AnImageThatCannotFitIsNotHandedOutWhileItInflates) {
  InflaterGate gate;
  gate.OpenAfter(std::chrono::milliseconds(100));
  KitReader reader;
  reader.SetInflaterFactory(CreateGatedInflater);
  reader.SetTableListener([](const std::vector<KitFileEntry>&, const KitReader::DataWanted&) { return true; });
  EXPECT_EQ(ReadKit(reader, SealedKit(model_.Image())), kErrorDiskFull);
  EXPECT_EQ(reader.FailurePlace(), KitFailurePlace::Image);
  EXPECT_TRUE(OdkFiles().empty());
}

}  // namespace
}  // namespace setup::kittest
