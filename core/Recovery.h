#pragma once
// Undoing a run, and recovery at start-up. A run records what it changes in
// its journal before each change; one routine plays that record back, both
// for the live rollback of a failed or cancelled run and for the recovery of
// a run that died (killed, crashed, logged out), so the two cannot drift
// apart.
//
// Recovery finishes off what runs of this user left in the temporary
// directory before anything else happens: a workspace whose journal has no
// "done" is rolled back to the tree the run found; one with "done" is
// removed; kit images nobody holds are deleted. Anything whose lock is held
// belongs to a live run and is left alone, and so is anything of other users
// and anything that does not look exactly like the program's own. Recovery
// shows nothing.
#include <cstddef>
#include <string>

#include "core/Journal.h"

namespace setup {

class ConfinedTree;

struct RecoveryReport {
  size_t rolledBack = 0;     // unfinished runs undone
  size_t finished = 0;       // finished runs whose workspace was removed
  size_t kept = 0;           // workspaces left for a later start
  size_t imagesDeleted = 0;
};

// Looks at every leftover in the temporary directory.
RecoveryReport RecoverInterruptedRuns();

// How much of a run's record can be trusted to be all it did. The live run
// knows; a record read after the run died may lack its last records, if
// the power failed, so then everything the run intended to create counts.
enum class UndoScope { Recorded, Intended };

// Plays back the record of a run that did not finish: the files it moved
// aside go back over what the run wrote, the files it created are deleted,
// and the folders it created are removed when empty (what someone else put
// into them stays). `tree` is the run's template directory, opened and
// locked; when the directory is gone it is closed. Paths outside the
// template directory are never touched. True when nothing is left to undo:
// every saved file is back and every new file gone.
bool UndoRun(const JournalContents& record, const std::u16string& workspaceRoot, ConfinedTree& tree,
             UndoScope scope);

// Removes a folder that holds no file at any depth; true when it is gone.
bool RemoveEmptyShell(const std::u16string& directory);

}  // namespace setup
