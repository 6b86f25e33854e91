#pragma once
// The installation engine: copies the kit's files into the template directory
// on the worker thread. Every file it replaces is first moved into a private
// workspace, and everything it creates is recorded before it is written, so a
// failed or cancelled run can put the directory back exactly as it was.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/Journal.h"
#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

class KitReader;
class WorkerChannel;

inline constexpr char16_t kWorkspacePrefix[] = u"v8stp";
inline constexpr std::chrono::milliseconds kCompletionPause{1000};

struct EngineSettings {
  // How long "Copying complete..." stays up before the run returns.
  std::chrono::milliseconds completionPause = kCompletionPause;
  // Before the workspace (the only copy of the replaced files) goes, the new
  // files must be on disk: one flush of the target's file system by default,
  // or a flush of each file as it is written.
  bool flushEachFile = false;
  // Called on the worker after each entry is installed, just before the
  // cancel check; lets a caller watch or steer a run entry by entry.
  std::function<void(size_t index)> onEntryInstalled;
};

struct RollbackLog {
  std::u16string targetDirectory;  // ends with a separator
  std::u16string workspaceRoot;    // v8stpN, with a separator; empty until made
  std::u16string workspace;        // where replaced files are saved, inside the root
  // Written before each change, so that a start after a crash can undo the run.
  Journal journal;
  std::vector<std::u16string> newDirectories;
  std::vector<std::u16string> newFiles;
  // Directories known to exist, so each is looked at once per run.
  std::unordered_set<std::u16string> knownDirectories;
  // Targets this run has written. A kit naming one twice must not move the
  // first copy aside over the user's saved original.
  std::unordered_set<std::u16string> writtenFiles;
};

// The body of the worker thread. 0 on success, 1223 when cancelled, else the
// code of the first failure; the template directory is then as it was.
ErrorCode RunInstallation(WorkerChannel& channel, const EngineSettings& settings = {});

// Runs the installation and marks the channel finished with its result.
void RunWorker(WorkerChannel& channel, const EngineSettings& settings = {});

// The steps of a run, for the run itself and its tests.
ErrorCode CreateWorkspace(RollbackLog& log, const std::u16string& directory);
ErrorCode SaveExisting(RollbackLog& log, const std::u16string& target);
ErrorCode CreateDirectories(RollbackLog& log, const std::u16string& path, bool record,
                            DirectoryAccess access = DirectoryAccess::Shared);
// Writes entry `index` over whatever stands at `target`.
ErrorCode ExtractEntry(KitReader& kit, size_t index, const std::u16string& target,
                       const EngineSettings& settings = {});
// Writes entry `index` to a `target` where nothing stands; 80 when something does.
ErrorCode ExtractNewEntry(KitReader& kit, size_t index, const std::u16string& target,
                          const EngineSettings& settings = {});
// The run's one durability step, after the last entry: every installed file
// and directory is on stable storage when it returns 0. The kit's image may
// be let go; ReopenImage brings it back for another run.
ErrorCode MakeInstallationDurable(KitReader& kit, const std::u16string& destination, size_t installed,
                                  const EngineSettings& settings = {});
ErrorCode Rollback(RollbackLog& log, ErrorCode code);
// The saved files, then the journal, then the folder: the journal outlives
// everything it would be needed for.
ErrorCode DeleteWorkspace(RollbackLog& log);
// Moves every saved file back; false when some could not be moved.
bool RestoreTree(const std::u16string& target, const std::u16string& saved);
ErrorCode DeleteTree(const std::u16string& path);

}  // namespace setup
