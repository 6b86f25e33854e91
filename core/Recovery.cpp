#include "core/Recovery.h"

#include <vector>

#include "core/InstallationEngine.h"
#include "platform/ConfinedTree.h"
#include "platform/FileFinder.h"
#include "platform/FileLock.h"
#include "platform/FileOps.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace setup {
namespace {

constexpr char16_t kImagePrefix[] = u"odk";

// "v8stpN" in the temporary directory; ".v8stpN" beside the templates.
bool IsWorkspaceName(const std::u16string& name, std::u16string_view prefix = kWorkspacePrefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return false;
  }
  return true;
}

struct Listing {
  std::vector<std::u16string> files;
  std::vector<std::u16string> directories;
  bool complete = true;
};

// The entries of `directory` (ending in a separator), "." and ".." left out.
Listing List(const std::u16string& directory) {
  Listing listing;
  FileFinder finder;
  for (bool more = finder.FindFirst(directory + u"*"); more; more = finder.FindNext()) {
    const std::u16string& name = finder.FoundName();
    if (name == u"." || name == u"..") continue;
    const bool isDirectory = (finder.FoundAttributes() & kFileAttributeDirectory) && !finder.FoundIsSymbolicLink();
    (isDirectory ? listing.directories : listing.files).push_back(name);
  }
  listing.complete = !finder.Failed();
  return listing;
}

// True when the tree holds directories at most: removing it loses nothing.
bool HoldsNoFiles(const std::u16string& directory) {
  const Listing listing = List(directory);
  if (!listing.complete || !listing.files.empty()) return false;
  for (const std::u16string& name : listing.directories) {
    if (!HoldsNoFiles(directory + name + kPathSeparator)) return false;
  }
  return true;
}

// Moves every file below `saved` back to the same place below the tree's
// root; false when one could not go back. The names are taken first: moving
// entries out of a directory while it is read may make the reading skip some.
bool RestoreSaved(ConfinedTree& tree, const std::u16string& saved, const std::u16string& relative) {
  const Listing listing = List(saved);
  bool complete = listing.complete;
  for (const std::u16string& name : listing.files) {
    complete &= tree.MoveIn(saved + name, relative + name) == 0;
  }
  for (const std::u16string& name : listing.directories) {
    complete &= RestoreSaved(tree, saved + name + kPathSeparator, relative + name + kPathSeparator);
  }
  return complete;
}

// The path below `target` (which ends in a separator) that `path` names;
// false for anything else: the target itself, and a path that climbs out
// of it with "..", which the program never writes.
bool Below(const std::u16string& target, const std::u16string& path, std::u16string& relative) {
  if (path.size() <= target.size() || path.compare(0, target.size(), target) != 0) return false;
  relative = path.substr(target.size());
  for (size_t begin = 0; begin <= relative.size();) {
    size_t end = begin;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    if (relative.compare(begin, end - begin, u"..") == 0) return false;
    begin = end + 1;
  }
  return true;
}

// The saved files, then the journal, then the folder.
bool RemoveWorkspace(const std::u16string& root, ScopedFileHandle& journal) {
  if (DeleteTree(root + kSavedFolderName) != 0) return false;
  if (DeleteLockedFile(root + kJournalFileName, journal) != 0) return false;
  return DeleteTree(root) == 0;
}

// Whether a dead run's record may be played back: its template directory
// opened and locked in `tree`, or gone with nothing saved to put into it.
// False leaves the workspace for a later start.
bool OpenDeadRunsTree(const JournalContents& record, const std::u16string& root, ConfinedTree& tree) {
  // A relative target would be taken against whatever the working directory
  // of this start happens to be.
  if (!IsAbsolutePath(record.targetDirectory)) return false;
  const ErrorCode opened = tree.Open(record.targetDirectory);
  if (opened == kErrorFileNotFound || opened == kErrorPathNotFound) {
    return HoldsNoFiles(root + kSavedFolderName + kPathSeparator);
  }
  // A live run into the same directory owns it now.
  return opened == 0 && tree.Lock() == 0;
}

// One workspace a run of this user left: finish it off unless its run lives.
void RecoverWorkspace(const std::u16string& root, RecoveryReport& report) {
  const std::u16string journalPath = root + kJournalFileName;
  // Only what the program itself makes: a journal of the user's own, private,
  // in a private folder. Anything else was put there by someone else.
  if (!IsOwnEntry(journalPath, EntryKind::File)) {
    if (!RemoveEmptyShell(root)) ++report.kept;
    return;
  }
  ScopedFileHandle lock;
  const ErrorCode opened = OpenLockedFile(journalPath, lock);
  if (opened == kErrorSharingViolation) return;  // a live run's
  if (opened != 0) {
    // No journal: a run that died before it wrote one, or one that had
    // removed it on its way out. Only an empty shell may go.
    if ((opened != kErrorFileNotFound && opened != kErrorPathNotFound) || !RemoveEmptyShell(root)) ++report.kept;
    return;
  }
  JournalContents journal;
  if (ReadJournal(lock.Get(), journal) != 0) {
    ++report.kept;
    return;
  }
  if (journal.done) {
    if (RemoveWorkspace(root, lock)) ++report.finished; else ++report.kept;
    return;
  }
  bool undone = false;
  if (journal.targetDirectory.empty()) {
    // A run that died before it named its target cannot have saved anything;
    // should files be there all the same, they stay.
    undone = HoldsNoFiles(root + kSavedFolderName + kPathSeparator);
  } else {
    ConfinedTree tree;
    undone = OpenDeadRunsTree(journal, root, tree) && UndoRun(journal, root, tree, UndoScope::Intended);
  }
  if (undone && RemoveWorkspace(root, lock)) {
    ++report.rolledBack;
  } else {
    ++report.kept;
  }
}

}  // namespace

bool RemoveEmptyShell(const std::u16string& directory) {
  return HoldsNoFiles(EnsureTrailingSeparator(directory)) && DeleteTree(directory) == 0;
}

bool UndoRun(const JournalContents& record, const std::u16string& workspaceRoot, ConfinedTree& tree,
             UndoScope scope) {
  const std::u16string target = EnsureTrailingSeparator(record.targetDirectory);
  const std::u16string saved = workspaceRoot + kSavedFolderName + kPathSeparator;
  // The paths below the target that entries of `kind` name, last first.
  const auto named = [&](JournalRecord kind) {
    std::vector<std::u16string> paths;
    std::u16string relative;
    for (auto entry = record.entries.rbegin(); entry != record.entries.rend(); ++entry) {
      if (entry->kind == kind && Below(target, entry->path, relative)) paths.push_back(relative);
    }
    if (scope == UndoScope::Intended) {
      const JournalRecord intended = kind == JournalRecord::NewFile ? JournalRecord::IntendFile
                                                                    : JournalRecord::IntendFolder;
      for (auto entry = record.intentions.rbegin(); entry != record.intentions.rend(); ++entry) {
        if (entry->kind == intended && Below(target, target + entry->path, relative)) paths.push_back(relative);
      }
    }
    return paths;
  };
  bool complete = true;
  if (tree.IsOpen()) {
    FileFinder finder;
    if (finder.FindFirst(saved)) complete = RestoreSaved(tree, saved, u"");
    for (const std::u16string& file : named(JournalRecord::NewFile)) complete &= tree.RemoveFile(file) == 0;
    // Innermost first. One that holds something the run did not put there
    // stays, since that is no longer the run's to remove.
    for (const std::u16string& folder : named(JournalRecord::Directory)) tree.RemoveEmptyDirectory(folder);
  } else if (!HoldsNoFiles(saved)) {
    complete = false;
  }
  // The template directory itself and the folders above it that the run
  // made, innermost first, when empty.
  tree.Close();
  const auto removeLevel = [&target](const std::u16string& path) {
    if (!path.empty() && target.compare(0, EnsureTrailingSeparator(path).size(), EnsureTrailingSeparator(path)) == 0) {
      ConfinedTree::RemoveEmptyFolder(path);
    }
  };
  for (auto entry = record.entries.rbegin(); entry != record.entries.rend(); ++entry) {
    if (entry->kind == JournalRecord::Directory) removeLevel(entry->path);
  }
  if (scope == UndoScope::Intended) {
    for (auto entry = record.intentions.rbegin(); entry != record.intentions.rend(); ++entry) {
      if (entry->kind == JournalRecord::IntendTargetLevel) removeLevel(entry->path);
    }
  }
  return complete;
}

namespace {

// The workspaces outside the temporary directory, found through their
// pointers, each of which names a folder that holds (or held, or was about
// to hold) one. A pointer whose run lives is locked; one whose folder holds
// no workspace any more has served. Only private folders of the user's own,
// named as the program names its workspaces, are followed.
void RecoverThroughPointers(RecoveryReport& report) {
  const std::u16string folder = RunPointerFolder();
  if (folder.empty()) return;
  bool served = false;
  for (const std::u16string& name : List(folder).files) {
    const std::u16string path = folder + name;
    if (!IsLockedTempFileName(name, kRunPointerPrefix) || !IsOwnEntry(path, EntryKind::File)) continue;
    ScopedFileHandle lock;
    if (OpenLockedFile(path, lock) != 0) continue;
    char bytes[4096];
    uint32_t got = 0;
    if (ReadFromFile(lock.Get(), bytes, sizeof bytes, got) != 0) continue;
    const std::u16string parent = Utf8ToUtf16(std::string_view(bytes, got));
    size_t left = 0;
    if (IsAbsolutePath(parent)) {
      const std::u16string within = EnsureTrailingSeparator(parent);
      for (const std::u16string& entry : List(within).directories) {
        const std::u16string root = within + entry;
        if (!IsWorkspaceName(entry, kHiddenWorkspacePrefix) || !IsOwnEntry(root, EntryKind::Directory)) continue;
        RecoverWorkspace(root + kPathSeparator, report);
        FileFinder finder;
        if (finder.FindFirst(root)) ++left;
      }
    }
    if (left == 0) {
      // The workspaces' removal is on the disk before their pointer goes.
      if (IsAbsolutePath(parent)) FlushFileSystem(parent);
      served = DeleteLockedFile(path, lock) == 0 || served;
    }
  }
  if (served) ConfinedTree::RemoveEmptyFolder(WithoutTrailingSeparator(folder));
}

}  // namespace

RecoveryReport RecoverInterruptedRuns() {
  RecoveryReport report;
  RecoverThroughPointers(report);
  std::u16string temp;
  if (GetTempDirectory(temp) != 0) return report;
  temp = EnsureTrailingSeparator(temp);
  const Listing listing = List(temp);
  for (const std::u16string& name : listing.directories) {
    const std::u16string path = temp + name;
    if (IsWorkspaceName(name) && IsOwnEntry(path, EntryKind::Directory)) RecoverWorkspace(path + kPathSeparator, report);
  }
  for (const std::u16string& name : listing.files) {
    const std::u16string path = temp + name;
    if (!IsLockedTempFileName(name, kImagePrefix) || !IsOwnEntry(path, EntryKind::File)) continue;
    ScopedFileHandle lock;
    if (OpenLockedFile(path, lock) == 0 && DeleteLockedFile(path, lock) == 0) ++report.imagesDeleted;
  }
  return report;
}

}  // namespace setup
