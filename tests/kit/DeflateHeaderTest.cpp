// The block-header check against zlib itself: for dynamic headers with code
// lengths of every kind (complete, incomplete, over-subscribed, the one
// single-code exception), the check must take exactly what zlib takes.
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "KitTestUtil.h"
#include "core/DeflateHeader.h"

namespace setup {
namespace {

using kittest::BitWriter;

// One final dynamic block with nothing in it.
std::string DynamicBlock(const std::vector<int>& literals, const std::vector<int>& distances) {
  BitWriter out;
  kittest::PutDynamicBlock(out, true, literals, distances);
  return out.Bytes();
}

bool ZlibTakes(const std::string& stream) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  std::string out(1024, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = uInt(stream.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return result == Z_STREAM_END;
}

HeaderVerdict Check(const std::string& stream) {
  HeaderBits bits;
  bits.first = reinterpret_cast<const uint8_t*>(stream.data());
  bits.firstLength = stream.size();
  return CheckBlockHeader(bits).verdict;
}

// Code lengths of a complete code with `leaves` codes, spread over
// `symbols` symbols: leaves are split in two, at random, until there are
// enough.
std::vector<int> CompleteLengths(std::mt19937& random, size_t symbols, size_t leaves) {
  std::vector<int> depths{0};
  while (depths.size() < leaves) {
    const size_t at = random() % depths.size();
    if (depths[at] == 15) continue;
    depths.push_back(++depths[at]);
  }
  std::vector<int> lengths(symbols, 0);
  std::vector<size_t> order(symbols);
  for (size_t i = 0; i < symbols; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  for (size_t i = 0; i < depths.size(); ++i) lengths[order[i]] = depths[i];
  return lengths;
}

TEST(deflate_header, TakesExactlyTheCodeLengthsZlibTakes) {
  std::mt19937 random(7);
  int sound = 0, refused = 0;
  for (int round = 0; round < 3000; ++round) {
    const size_t literalCount = 257 + random() % 30, distanceCount = 2 + random() % 29;
    std::vector<int> literals = CompleteLengths(random, literalCount, 2 + random() % (literalCount - 1));
    std::vector<int> distances = CompleteLengths(random, distanceCount, 2 + random() % (distanceCount - 1));
    if (literals[256] == 0) std::swap(literals[256], *std::find_if(literals.begin(), literals.end(), [](int l) {
      return l != 0;
    }));
    // Spoil one of the codes now and then: a code taken away leaves a gap,
    // one added over-subscribes; a code of one bit alone is zlib's exception.
    std::vector<int>& spoiled = random() % 2 ? literals : distances;
    switch (random() % 6) {
      case 0: {
        auto used = std::find_if(spoiled.begin() + (&spoiled == &literals ? 257 : 0), spoiled.end(),
                                 [](int l) { return l != 0; });
        if (used != spoiled.end()) *used = 0;
        break;
      }
      case 1:
        spoiled[random() % spoiled.size()] = 1 + int(random() % 15);
        break;
      case 2:
        std::fill(spoiled.begin(), spoiled.end(), 0);
        spoiled[&spoiled == &literals ? 256 : random() % spoiled.size()] = 1;
        break;
      case 3:
        if (&spoiled == &distances) std::fill(spoiled.begin(), spoiled.end(), 0);
        break;
      default:
        break;
    }
    const std::string block = DynamicBlock(literals, distances);
    const bool zlib = ZlibTakes(block);
    const HeaderVerdict verdict = Check(block);
    ASSERT_NE(verdict, HeaderVerdict::NeedMore) << "round " << round;
    ASSERT_EQ(verdict == HeaderVerdict::Sound, zlib) << "round " << round;
    (zlib ? sound : refused)++;
  }
  // Both kinds came up often: this is no test of a check that takes all.
  EXPECT_GT(sound, 500);
  EXPECT_GT(refused, 500);
}

TEST(deflate_header, ReadsAHeaderHoweverItsBitsAreSplit) {
  const std::string stream = kittest::DeflateRaw(kittest::SampleText(20000, 5), 9);
  const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
  // The bytes the header needs: fewer leave it incomplete.
  size_t needed = 1;
  while (Check(stream.substr(0, needed)) == HeaderVerdict::NeedMore) ++needed;
  ASSERT_EQ(Check(stream), HeaderVerdict::Sound);
  ASSERT_GT(needed, 20u);
  for (int buffered = 0; buffered <= 64; buffered += 8) {
    for (size_t split = 0; split <= needed; ++split) {
      HeaderBits bits;
      const size_t inBuffer = size_t(buffered / 8);
      for (size_t i = 0; i < inBuffer; ++i) bits.bits |= uint64_t(bytes[i]) << (8 * i);
      bits.bitCount = buffered;
      const size_t firstStart = std::min(inBuffer, needed);
      bits.first = bytes + firstStart;
      bits.firstLength = std::max(firstStart, split) - firstStart;
      bits.second = bytes + firstStart + bits.firstLength;
      bits.secondLength = needed - firstStart - bits.firstLength;
      const BlockHeader header = CheckBlockHeader(bits);
      EXPECT_EQ(header.verdict, HeaderVerdict::Sound) << buffered << " bits buffered, split at " << split;
      EXPECT_TRUE(header.final);
      if (bits.secondLength > 0) {
        --bits.secondLength;
      } else if (bits.firstLength > 0) {
        --bits.firstLength;
      }
      if (bits.firstLength + bits.secondLength + inBuffer < needed) {
        EXPECT_EQ(CheckBlockHeader(bits).verdict, HeaderVerdict::NeedMore) << buffered << ", " << split;
      }
    }
  }
}

TEST(deflate_header, StoredAndFixedBlocksNeedOnlyTheirFirstThreeBits) {
  BitWriter stored;
  stored.Put(0, 1);
  stored.Put(0, 2);
  EXPECT_EQ(Check(stored.Bytes()), HeaderVerdict::Sound);
  EXPECT_FALSE(CheckBlockHeader({0, 0, reinterpret_cast<const uint8_t*>("\0"), 1, nullptr, 0}).final);
  HeaderBits fixed;
  fixed.bits = 0x3;  // final, fixed
  fixed.bitCount = 3;
  EXPECT_EQ(CheckBlockHeader(fixed).verdict, HeaderVerdict::Sound);
  EXPECT_TRUE(CheckBlockHeader(fixed).final);
  fixed.bitCount = 2;
  EXPECT_EQ(CheckBlockHeader(fixed).verdict, HeaderVerdict::NeedMore);
}

}  // namespace
}  // namespace setup
