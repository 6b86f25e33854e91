#include "core/Inflater.h"

namespace setup {

// ISA-L inflates about twice as fast as zlib, which a large kit's user waits
// for before the first page appears.
std::unique_ptr<Inflater> CreateKitInflater() { return CreateIsalInflater(); }

}  // namespace setup
