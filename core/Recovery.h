#pragma once
// Recovery at start-up: what runs of this user that died (killed, crashed,
// logged out) left in the temporary directory is finished off before anything
// else happens. A workspace whose journal has no "done" is rolled back to the
// tree the run found; one with "done" is removed; kit images nobody holds are
// deleted. Anything whose lock is held belongs to a live run and is left
// alone, and so is anything of other users. Recovery shows nothing.
#include <cstddef>
#include <string>

#include "core/Journal.h"

namespace setup {

struct RecoveryReport {
  size_t rolledBack = 0;     // unfinished runs undone
  size_t finished = 0;       // finished runs whose workspace was removed
  size_t kept = 0;           // workspaces left for a later start
  size_t imagesDeleted = 0;
};

// Looks at every leftover in the temporary directory.
RecoveryReport RecoverInterruptedRuns();

// Undoes one dead run from its journal: the saved files go back over what
// the run wrote, the files it created are deleted, and the directories it
// created are removed once empty. True when nothing is left to undo; the
// saved files are then all back.
bool RollBackFromJournal(const JournalContents& journal, const std::u16string& workspaceRoot);

// Removes a folder that holds no file at any depth; true when it is gone.
bool RemoveEmptyShell(const std::u16string& directory);

}  // namespace setup
