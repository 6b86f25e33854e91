#include <isa-l/crc.h>

#include "core/Inflater.h"
#include "core/KitTrailer.h"

namespace setup {

// ISA-L inflates about twice as fast as zlib, which a large kit's user waits
// for before the first page appears.
std::unique_ptr<Inflater> CreateKitInflater() { return CreateIsalInflater(); }

// The same CRC as zlib's crc32, several times faster, so that checking a
// kit costs little beside inflating it.
uint32_t KitCrc32(uint32_t crc, const uint8_t* data, size_t length) { return crc32_gzip_refl(crc, data, length); }

}  // namespace setup
