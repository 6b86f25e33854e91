#include "core/Inflater.h"

namespace setup {

std::unique_ptr<Inflater> CreateKitInflater() { return CreateZlibInflater(); }

}  // namespace setup
