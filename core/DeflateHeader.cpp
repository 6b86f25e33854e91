#include "core/DeflateHeader.h"

#include <algorithm>

namespace setup {
namespace {

class BitReader {
 public:
  explicit BitReader(const HeaderBits& source) : source_(source), bits_(source.bits), bitCount_(source.bitCount) {}

  // The next `count` bits, the first one read the least significant.
  bool Take(int count, uint32_t& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
      if (bitCount_ == 0 && !Load()) return false;
      value |= uint32_t(bits_ & 1) << i;
      bits_ >>= 1;
      --bitCount_;
    }
    return true;
  }

 private:
  bool Load() {
    if (used_ < source_.firstLength) {
      bits_ = source_.first[used_++];
    } else if (used_ - source_.firstLength < source_.secondLength) {
      bits_ = source_.second[used_++ - source_.firstLength];
    } else {
      return false;
    }
    bitCount_ = 8;
    return true;
  }

  const HeaderBits& source_;
  uint64_t bits_;
  int bitCount_;
  size_t used_ = 0;
};

constexpr int kLongestCode = 15;

// Whether zlib builds a decoding table from these code lengths: never from an
// over-subscribed set; from an incomplete one only for literals/lengths or
// distances that have a single code of one bit. A code-length code without
// any code is refused here too; zlib goes on with it only to fail later.
bool ZlibTakesLengths(const uint8_t* lengths, int symbols, bool codeLengthCode) {
  int count[kLongestCode + 1] = {};
  for (int i = 0; i < symbols; ++i) ++count[lengths[i]];
  int longest = kLongestCode;
  while (longest > 0 && count[longest] == 0) --longest;
  if (longest == 0) return !codeLengthCode;
  int left = 1;
  for (int length = 1; length <= kLongestCode; ++length) {
    left = 2 * left - count[length];
    if (left < 0) return false;
  }
  return left == 0 || (!codeLengthCode && longest == 1);
}

// The code-length code, decoded one bit at a time: canonical codes of the
// same length are consecutive, so a code of `length` bits is found by
// comparing it with the first code of that length.
class CodeLengthCode {
 public:
  explicit CodeLengthCode(const uint8_t (&lengths)[19]) {
    for (uint8_t length : lengths) ++count_[length];
    int offsets[8] = {};
    for (int length = 1; length < 7; ++length) offsets[length + 1] = offsets[length] + count_[length];
    for (int symbol = 0; symbol < 19; ++symbol) {
      if (lengths[symbol] != 0) symbols_[offsets[lengths[symbol]]++] = uint8_t(symbol);
    }
  }

  // Only for a complete code: every string of bits then ends in a symbol.
  bool Decode(BitReader& reader, uint32_t& symbol) const {
    int code = 0, first = 0, index = 0;
    for (int length = 1; length <= 7; ++length) {
      uint32_t bit;
      if (!reader.Take(1, bit)) return false;
      code |= int(bit);
      if (code - count_[length] < first) {
        symbol = symbols_[index + code - first];
        return true;
      }
      index += count_[length];
      first = (first + count_[length]) << 1;
      code <<= 1;
    }
    return false;
  }

 private:
  int count_[8] = {};
  uint8_t symbols_[19] = {};
};

HeaderVerdict CheckDynamicHeader(BitReader& reader) {
  uint32_t literalCodes, distanceCodes, lengthCodes;
  if (!reader.Take(5, literalCodes) || !reader.Take(5, distanceCodes) || !reader.Take(4, lengthCodes)) {
    return HeaderVerdict::NeedMore;
  }
  literalCodes += 257;
  distanceCodes += 1;
  lengthCodes += 4;
  if (literalCodes > 286 || distanceCodes > 30) return HeaderVerdict::Refused;

  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  uint8_t codeLengths[19] = {};
  for (uint32_t i = 0; i < lengthCodes; ++i) {
    uint32_t length;
    if (!reader.Take(3, length)) return HeaderVerdict::NeedMore;
    codeLengths[kOrder[i]] = uint8_t(length);
  }
  if (!ZlibTakesLengths(codeLengths, 19, true)) return HeaderVerdict::Refused;
  const CodeLengthCode code(codeLengths);

  const uint32_t total = literalCodes + distanceCodes;
  uint8_t lengths[286 + 30] = {};
  for (uint32_t filled = 0; filled < total;) {
    uint32_t symbol;
    if (!code.Decode(reader, symbol)) return HeaderVerdict::NeedMore;
    if (symbol < 16) {
      lengths[filled++] = uint8_t(symbol);
      continue;
    }
    uint8_t repeated = 0;
    uint32_t times;
    if (symbol == 16) {
      if (filled == 0) return HeaderVerdict::Refused;
      repeated = lengths[filled - 1];
      if (!reader.Take(2, times)) return HeaderVerdict::NeedMore;
      times += 3;
    } else if (symbol == 17) {
      if (!reader.Take(3, times)) return HeaderVerdict::NeedMore;
      times += 3;
    } else {
      if (!reader.Take(7, times)) return HeaderVerdict::NeedMore;
      times += 11;
    }
    if (times > total - filled) return HeaderVerdict::Refused;
    std::fill_n(lengths + filled, times, repeated);
    filled += times;
  }
  // Without an end-of-block code the block could never end.
  if (lengths[256] == 0) return HeaderVerdict::Refused;
  if (!ZlibTakesLengths(lengths, int(literalCodes), false) ||
      !ZlibTakesLengths(lengths + literalCodes, int(distanceCodes), false)) {
    return HeaderVerdict::Refused;
  }
  return HeaderVerdict::Sound;
}

}  // namespace

BlockHeader CheckBlockHeader(const HeaderBits& source) {
  BitReader reader(source);
  BlockHeader header;
  uint32_t final, type;
  if (!reader.Take(1, final) || !reader.Take(2, type)) return header;
  header.final = final != 0;
  // Stored and fixed blocks have nothing to check here; the invalid type 3
  // is refused by every inflater alike.
  header.verdict = type == 2 ? CheckDynamicHeader(reader) : HeaderVerdict::Sound;
  return header;
}

}  // namespace setup
