#pragma once
// A dry run: what an installation into a directory would do to each kit
// file, found without changing anything. It makes the run's own decisions
// against the tree as it stands, so a run on an unchanged tree does the same.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/InstallationEngine.h"

namespace setup {

struct InstallationPlan {
  std::vector<FileAction> actions;  // one per kit file, in the kit's order
  // Free bytes where the files would go (the nearest folder that exists).
  std::optional<uint64_t> freeSpace;
  // The failure the run would meet before its first change, and what it
  // would say then; `actions` then stops short.
  ErrorCode code = 0;
  std::u16string message;
};

// `directory` is absolute.
InstallationPlan PlanInstallation(const KitReader& kit, const std::u16string& directory);

}  // namespace setup
