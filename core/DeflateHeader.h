#pragma once
// A look at one DEFLATE block header before an inflater decodes the block.
// zlib refuses a dynamic header whose code lengths do not make a complete
// Huffman code (but for its one allowed exception); faster inflaters only
// fail when a missing code is actually met. Checking the header the way zlib
// does lets every back-end accept and refuse the same streams.
#include <cstddef>
#include <cstdint>

namespace setup {

enum class HeaderVerdict {
  Sound,     // zlib would take the header
  NeedMore,  // the bits end inside the header
  Refused,   // zlib would refuse the header
};

struct BlockHeader {
  HeaderVerdict verdict = HeaderVerdict::NeedMore;
  bool final = false;  // the block's BFINAL bit, when it could be read
};

// The header starts at the least significant of `bitCount` buffered bits in
// `bits` (as an inflater keeps them), and goes on in `first` and then in
// `second`, each read from its least significant bit up.
struct HeaderBits {
  uint64_t bits = 0;
  int bitCount = 0;
  const uint8_t* first = nullptr;
  size_t firstLength = 0;
  const uint8_t* second = nullptr;
  size_t secondLength = 0;
};

BlockHeader CheckBlockHeader(const HeaderBits& source);

// A dynamic header takes at most 3 + 14 + 57 + 316 * 14 bits.
constexpr size_t kLongestBlockHeader = 564;

}  // namespace setup
