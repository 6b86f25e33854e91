#pragma once
// Packs a directory tree into a distribution kit, streaming the file data
// through deflate so that memory use does not grow with the files' sizes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/KitImage.h"

namespace okdpack {

struct PackOptions {
  std::string directory;  // paths in the program's text (ProgramText.h)
  std::string kit;
  bool single = false;  // one description, language "en"
  std::vector<setup::KitDescription> descriptions;
  char16_t separator = u'\\';
  int level = 9;
  // Given to every file instead of its own last-write time.
  std::optional<setup::FileTime> time;
};

// 0 on success; otherwise 1 with a one-line message, naming the file at
// fault, in `message`. A partly written kit is removed.
int Pack(const PackOptions& options, std::string& message);

}  // namespace okdpack
