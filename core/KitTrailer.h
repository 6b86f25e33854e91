#pragma once
// The trailer okdpack writes right after a kit's DEFLATE stream, so that a
// reader can prove the kit whole before installing anything from it. The
// format lets bytes follow the stream, so a reader that knows nothing of the
// trailer still reads such a kit, and a kit without one still reads here.
//
// 36 bytes, integers little-endian:
//   0  magic 89 4F 4B 54 ("\x89OKT"; the high bit catches 7-bit transfers)
//   4  u32 version, 1
//   8  u64 stream length: bytes of the DEFLATE stream, from the kit's start
//  16  u64 image length: bytes the stream inflates to
//  24  u32 CRC-32 of the image (gzip's polynomial, as zlib's crc32)
//  28  u32 CRC-32 of the stream, which also catches damage that leaves the
//      image as it was: some flipped bits change nothing the stream
//      produces (the padding of its last byte, an unused code length)
//  32  u32 CRC-32 of bytes 0 to 31, so that damage to the trailer itself is
//      told from damage to the kit
// CRC-32 is a checksum against accidental damage (a download or a medium),
// which it finds with certainty for any burst of up to 32 bits; a vendor who
// must also stop deliberate changes signs the kit as a whole.
#include <array>
#include <cstddef>
#include <cstdint>

namespace setup {

inline constexpr size_t kKitTrailerSize = 36;
inline constexpr uint32_t kKitTrailerVersion = 1;

struct KitTrailer {
  uint32_t version = kKitTrailerVersion;
  uint64_t streamLength = 0;
  uint64_t imageLength = 0;
  uint32_t imageCrc = 0;
  uint32_t streamCrc = 0;
};

std::array<uint8_t, kKitTrailerSize> EncodeKitTrailer(const KitTrailer& trailer);

enum class KitTrailerVerdict {
  Absent,   // nothing that was ever meant as a trailer: bytes to ignore
  Valid,    // a whole trailer of a version this reader knows
  Damaged,  // meant as a trailer, but cut, altered or of an unknown version
};

// Judges the `available` bytes (any number; only the first 36 count) that
// stand where a trailer of a stream `streamLength` bytes long would. They
// were meant as a trailer when they begin with the magic, or with as much of
// it as there is, or when their stream length is the stream's own, so that a
// single flipped bit anywhere in a trailer never lets it pass for bytes to
// ignore.
KitTrailerVerdict DecodeKitTrailer(const uint8_t* bytes, size_t available, uint64_t streamLength,
                                   KitTrailer& trailer);

// CRC-32 with gzip's polynomial, continued from `crc` (0 to start); the
// build's fastest implementation.
uint32_t KitCrc32(uint32_t crc, const uint8_t* data, size_t length);

}  // namespace setup
