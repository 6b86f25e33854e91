// libFuzzer target over the kit image parser: whatever the bytes, parsing
// must neither crash nor read out of bounds, and a table it accepts must
// point only inside the image and hold only safe names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/KitImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup::KitMemorySource source(data, size);
  std::vector<setup::KitDescription> descriptions;
  setup::KitFileTable files;
  if (setup::ParseKitImage(source, size, descriptions, files) != 0) {
    if (!files.entries.empty()) std::abort();
    return 0;
  }
  for (const setup::KitFileEntry& entry : files.entries) {
    if (uint64_t(entry.position) + entry.size > size) std::abort();
    if (!setup::IsSafeKitEntryName(entry.name)) std::abort();
  }
  return 0;
}
