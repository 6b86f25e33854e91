// The trailer that proves a kit whole: no damaged kit may pass for a whole
// one, on either back-end, and a kit without a trailer reads as it always did.
#include <map>

#include "KitTestUtil.h"

namespace setup::kittest {
namespace {

using kit_trailer = KitTest;

KitModel SmallModel() {
  KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}, {u"ru", u"Демо", u"Магазин", u""}};
  model.files = {{u"readme.txt", 77, "Demo templates\n"}, {u"base\\sub 18.cfg", 78, "sub 18\n"}};
  return model;
}

// The build's own back-end and zlib, which the Linux build falls back to.
constexpr std::unique_ptr<Inflater> (*kBackEnds[])() = {CreateKitInflater, CreateZlibInflater};

TEST_F(kit_trailer, EverySingleBitFlipIsRefusedOnBothBackEnds) {
  const KitModel model = SmallModel();
  const std::string kit = SealedKit(model.Image());
  for (auto factory : kBackEnds) {
    KitReader reader;
    reader.SetInflaterFactory(factory);
    ASSERT_EQ(ReadKit(reader, kit), 0u);
    EXPECT_EQ(reader.Integrity(), KitIntegrity::Verified);
    ExpectHolds(reader, model);
    std::map<KitIntegrity, int> found;
    for (size_t i = 0; i < kit.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        std::string damaged = kit;
        damaged[i] = char(damaged[i] ^ (1 << bit));
        ASSERT_EQ(ReadKit(reader, damaged), kErrorInvalidData) << "byte " << i << " bit " << bit;
        ++found[reader.Integrity()];
      }
    }
    EXPECT_TRUE(OdkFiles().empty());
    // Damage to the stream that still inflates is caught by the trailer; and
    // damage to the trailer is told from damage to the kit.
    EXPECT_GT(found[KitIntegrity::Mismatch], 0);
    EXPECT_GT(found[KitIntegrity::DamagedTrailer], 0);
    EXPECT_EQ(found[KitIntegrity::Verified] + found[KitIntegrity::Unchecked], 0);
  }
}

TEST_F(kit_trailer, ACutKitIsRefusedUnlessItEndsWithItsStream) {
  const KitModel model = SmallModel();
  const std::string image = model.Image();
  const std::string stream = DeflateRaw(image, 0);  // stored: every cut leaves a kit that inflates in part
  const std::string kit = stream + TrailerBytes(TrailerOf(stream, image));
  for (size_t length = 1; length < kit.size(); ++length) {
    KitReader reader;
    const ErrorCode code = ReadKit(reader, kit.substr(0, length));
    if (length == stream.size()) {
      // All of the stream and nothing of the trailer: a kit of an older
      // okdpack, whose image is whole.
      ASSERT_EQ(code, 0u);
      EXPECT_EQ(reader.Integrity(), KitIntegrity::Unchecked);
      ExpectHolds(reader, model);
    } else {
      EXPECT_EQ(code, kErrorInvalidData) << length;
    }
  }
  EXPECT_TRUE(OdkFiles().empty());
}

TEST_F(kit_trailer, WhatFollowsTheStreamDecides) {
  const KitModel model = SmallModel();
  const std::string image = model.Image();
  const std::string stream = DeflateRaw(image);
  const std::string trailer = TrailerBytes(TrailerOf(stream, image));
  const std::string garbage = SampleText(40000, 7);
  KitTrailer later = TrailerOf(stream, image);
  later.version = 2;
  KitTrailer longer = TrailerOf(stream, image);
  longer.imageLength += 1;
  const std::string otherImage = image + "x";
  struct Case {
    const char* what;
    std::string kit;
    ErrorCode code;
    KitIntegrity integrity;
  } cases[] = {
      {"nothing: an older kit", stream, 0, KitIntegrity::Unchecked},
      {"bytes that are no trailer: an older kit", stream + garbage, 0, KitIntegrity::Unchecked},
      {"a trailer and bytes after it", stream + trailer + garbage, 0, KitIntegrity::Verified},
      {"a trailer of a later version", stream + TrailerBytes(later), kErrorInvalidData, KitIntegrity::DamagedTrailer},
      {"a trailer that declares a longer image", stream + TrailerBytes(longer), kErrorInvalidData,
       KitIntegrity::Mismatch},
      {"another image's trailer", stream + TrailerBytes(TrailerOf(stream, otherImage)), kErrorInvalidData,
       KitIntegrity::Mismatch},
      {"a byte between the stream and its trailer", stream + "x" + trailer, kErrorInvalidData,
       KitIntegrity::Mismatch},
  };
  for (const Case& c : cases) {
    for (auto factory : kBackEnds) {
      KitReader reader;
      reader.SetInflaterFactory(factory);
      EXPECT_EQ(ReadKit(reader, c.kit), c.code) << c.what;
      EXPECT_EQ(reader.Integrity(), c.integrity) << c.what;
      if (c.code == 0) ExpectHolds(reader, model);
    }
  }
  EXPECT_TRUE(OdkFiles().empty());
}

// The trailer is looked for where the stream ends, to the byte, also when
// that end lies a few bytes either side of where the reader's windows meet.
TEST_F(kit_trailer, ATrailerWithBytesAfterItIsFoundWhereverTheWindowsBreak) {
  for (int delta = -6; delta <= 6; ++delta) {
    KitModel model = SmallModel();
    const size_t tables = model.Image().size();
    // One stored block: its 5 header bytes, then the image as it stands.
    model.files.back().data += std::string(size_t(32768 + delta - 5) - tables, 'z');
    const std::string image = model.Image();
    const std::string stream = DeflateRaw(image, 0);
    ASSERT_EQ(stream.size(), size_t(32768 + delta));
    const std::string kit = stream + TrailerBytes(TrailerOf(stream, image)) + "and more";
    for (auto factory : kBackEnds) {
      KitReader reader;
      reader.SetInflaterFactory(factory);
      EXPECT_EQ(ReadKit(reader, kit), 0u) << delta;
      EXPECT_EQ(reader.Integrity(), KitIntegrity::Verified) << delta;
    }
  }
}

}  // namespace
}  // namespace setup::kittest
