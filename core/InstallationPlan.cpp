#include "core/InstallationPlan.h"

#include <unordered_map>

#include "core/KitReader.h"
#include "i18n/Catalogue.h"
#include "platform/Path.h"

namespace setup {
InstallationPlan PlanInstallation(const KitReader& kit, const std::u16string& directory) {
  InstallationPlan plan;
  const std::u16string root = WithoutTrailingSeparator(directory);
  const std::u16string nearest = NearestExistingFolder(root);
  uint64_t free = 0;
  if (!nearest.empty() && QueryFreeSpaceAt(nearest, free) == 0) plan.freeSpace = free;

  // A directory that is not there yet holds nothing: every file is new.
  ConfinedTree tree;
  const bool exists = nearest == root;
  if (exists) {
    if (const ErrorCode code = tree.Open(root)) {
      plan.code = code;
      plan.message = LookUpMessage("IDS_INSTALL_ERROR");
      return plan;
    }
  }
  const std::vector<KitFileEntry>& files = kit.Files();
  if (exists) plan.code = CheckKitPaths(tree, EnsureTrailingSeparator(root), files, plan.message);
  if (plan.code != 0) {
    if (plan.message.empty()) plan.message = LookUpMessage("IDS_INSTALL_ERROR");
    return plan;
  }
  // A kit that names a path twice meets, the second time, the file the run
  // wrote the first time.
  std::unordered_map<std::u16string, FileTime, KitNameHasher> written;
  plan.actions.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const std::u16string relative = RelativePath(files[i]);
    PathInfo existing;
    ErrorCode looked = kErrorPathNotFound;
    if (const auto earlier = written.find(relative); earlier != written.end()) {
      existing.lastWriteTime = earlier->second;
      looked = 0;
    } else if (exists) {
      looked = tree.Inspect(relative, existing);
    }
    FileAction action = FileAction::Skip;
    plan.code = DecideAction(looked, existing, files[i].lastWriteTime, action);
    if (plan.code != 0) {
      plan.message = LookUpMessage("IDS_INSTALL_ERROR");
      return plan;
    }
    if (action != FileAction::Skip) written[relative] = files[i].lastWriteTime;
    plan.actions.push_back(action);
  }
  return plan;
}

}  // namespace setup
