#include "core/KitTrailer.h"

#include <algorithm>
#include <cstring>

namespace setup {

namespace {

constexpr uint8_t kMagic[4] = {0x89, 'O', 'K', 'T'};
constexpr size_t kCheckedBytes = 32;

void PutU32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(value >> (8 * i));
}

void PutU64(uint8_t* out, uint64_t value) {
  PutU32(out, uint32_t(value));
  PutU32(out + 4, uint32_t(value >> 32));
}

uint32_t GetU32(const uint8_t* in) {
  return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

uint64_t GetU64(const uint8_t* in) { return uint64_t(GetU32(in)) | uint64_t(GetU32(in + 4)) << 32; }

}  // namespace

std::array<uint8_t, kKitTrailerSize> EncodeKitTrailer(const KitTrailer& trailer) {
  std::array<uint8_t, kKitTrailerSize> bytes{};
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  PutU32(bytes.data() + 4, trailer.version);
  PutU64(bytes.data() + 8, trailer.streamLength);
  PutU64(bytes.data() + 16, trailer.imageLength);
  PutU32(bytes.data() + 24, trailer.imageCrc);
  PutU32(bytes.data() + 28, trailer.streamCrc);
  PutU32(bytes.data() + kCheckedBytes, KitCrc32(0, bytes.data(), kCheckedBytes));
  return bytes;
}

KitTrailerVerdict DecodeKitTrailer(const uint8_t* bytes, size_t available, uint64_t streamLength,
                                   KitTrailer& trailer) {
  if (available == 0) return KitTrailerVerdict::Absent;
  const size_t magicBytes = std::min(available, sizeof kMagic);
  const bool magic = std::memcmp(bytes, kMagic, magicBytes) == 0;
  const bool ownLength = available >= 16 && GetU64(bytes + 8) == streamLength;
  if (!magic && !ownLength) return KitTrailerVerdict::Absent;
  if (available < kKitTrailerSize || !magic || GetU32(bytes + kCheckedBytes) != KitCrc32(0, bytes, kCheckedBytes)) {
    return KitTrailerVerdict::Damaged;
  }
  trailer.version = GetU32(bytes + 4);
  trailer.streamLength = GetU64(bytes + 8);
  trailer.imageLength = GetU64(bytes + 16);
  trailer.imageCrc = GetU32(bytes + 24);
  trailer.streamCrc = GetU32(bytes + 28);
  // A later version may mean more than this reader can check.
  return trailer.version == kKitTrailerVersion ? KitTrailerVerdict::Valid : KitTrailerVerdict::Damaged;
}

}  // namespace setup
