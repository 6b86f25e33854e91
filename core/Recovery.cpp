#include "core/Recovery.h"

#include <vector>

#include "core/InstallationEngine.h"
#include "platform/FileFinder.h"
#include "platform/FileLock.h"
#include "platform/FileOps.h"
#include "platform/Path.h"

namespace setup {
namespace {

constexpr char16_t kImagePrefix[] = u"odk";

bool IsWorkspaceName(const std::u16string& name) {
  const std::u16string_view prefix = kWorkspacePrefix;
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

bool Exists(const std::u16string& path) {
  PathInfo info;
  return QueryPathInfo(path, info) == 0;
}

void RemoveIfEmpty(const std::u16string& directory) {
  const Listing listing = List(EnsureTrailingSeparator(directory));
  if (listing.complete && listing.files.empty() && listing.directories.empty()) DeleteTree(directory);
}

// The saved files, then the journal, then the folder.
bool RemoveWorkspace(const std::u16string& root, ScopedFileHandle& journal) {
  if (DeleteTree(root + kSavedFolderName) != 0) return false;
  if (DeleteLockedFile(root + kJournalFileName, journal) != 0) return false;
  return DeleteTree(root) == 0;
}

// One workspace a run of this user left: finish it off unless its run lives.
void RecoverWorkspace(const std::u16string& root, RecoveryReport& report) {
  ScopedFileHandle lock;
  const ErrorCode opened = OpenLockedFile(root + kJournalFileName, lock);
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
  // A run that died before it named its target cannot have saved anything;
  // should files be there all the same, they stay.
  const bool undone = journal.targetDirectory.empty() ? HoldsNoFiles(root + kSavedFolderName + kPathSeparator)
                                                       : RollBackFromJournal(journal, root);
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

bool RollBackFromJournal(const JournalContents& journal, const std::u16string& workspaceRoot) {
  bool complete = true;
  const std::u16string saved = workspaceRoot + kSavedFolderName + kPathSeparator;
  if (Exists(saved)) complete = RestoreTree(journal.targetDirectory, saved);
  for (auto entry = journal.entries.rbegin(); entry != journal.entries.rend(); ++entry) {
    if (entry->kind == JournalRecord::NewFile) {
      complete &= RemoveFile(entry->path) == 0;
    }
  }
  // Innermost first. One that holds something the run did not put there
  // stays, since that is no longer the run's to remove.
  for (auto entry = journal.entries.rbegin(); entry != journal.entries.rend(); ++entry) {
    if (entry->kind == JournalRecord::Directory) RemoveIfEmpty(entry->path);
  }
  return complete;
}

RecoveryReport RecoverInterruptedRuns() {
  RecoveryReport report;
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
