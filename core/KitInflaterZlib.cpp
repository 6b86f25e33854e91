#include <zlib.h>

#include "core/Inflater.h"
#include "core/KitTrailer.h"

namespace setup {

std::unique_ptr<Inflater> CreateKitInflater() { return CreateZlibInflater(); }

uint32_t KitCrc32(uint32_t crc, const uint8_t* data, size_t length) {
  // zlib takes at most a uInt at a time.
  while (length > 0) {
    const uInt piece = length > 0x40000000 ? uInt(0x40000000) : uInt(length);
    crc = uint32_t(crc32(crc, data, piece));
    data += piece;
    length -= piece;
  }
  return crc;
}

}  // namespace setup
