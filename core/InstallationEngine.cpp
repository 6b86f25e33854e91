#include "core/InstallationEngine.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>

#include "core/KitReader.h"
#include "core/Recovery.h"
#include "core/Startup.h"
#include "core/WorkerChannel.h"
#include "i18n/Catalogue.h"
#include "core/TemplateDirectory.h"
#include "platform/FileFinder.h"
#include "platform/FileLock.h"
#include "platform/Text.h"
#include "platform/FileOps.h"
#include "platform/Process.h"

namespace setup {
namespace {

// Where the file system cannot be flushed as a whole, each file is.
bool FlushesEachFile(const EngineSettings& settings) {
  return settings.flushEachFile || !FileSystemFlushAvailable();
}

uint32_t Percentage(size_t index, size_t count) {
  if (count == 0) return 100;
  return static_cast<uint32_t>(static_cast<uint64_t>(index) * 100 / count);
}

// Waits out an open cancel question, then tells whether it was answered Yes.
bool CancelledAfterAnyHold(WorkerChannel& channel) {
  channel.WaitWhileHeld();
  return channel.IsCancelRequested();
}

// Rolls back; when something could not be put back the user is told so, and
// the workspace stays for the next start to finish.
ErrorCode Abandon(WorkerChannel& channel, RollbackLog& log, ErrorCode code, uint32_t percentage) {
  Rollback(log, code);
  if (log.rollbackIncomplete) {
    channel.Publish(code, LookUpMessage("IDS_ERROR_NOTRESTORED"), percentage);
    channel.MarkRollbackIncomplete();
  }
  return code;
}

ErrorCode FailRun(WorkerChannel& channel, RollbackLog& log, ErrorCode code, uint32_t percentage,
                  const std::u16string& text = {}) {
  channel.Publish(code, text.empty() ? LookUpMessage("IDS_INSTALL_ERROR") : text, percentage);
  // A front-end that wants the message read before the rollback holds us.
  channel.WaitWhileHeld();
  return Abandon(channel, log, code, percentage);
}

// A run whose kit turned out damaged, or whose image could not be made, as
// it inflated beside the run: undone, and told as start-up would have told it.
ErrorCode FailKit(WorkerChannel& channel, RollbackLog& log, const KitReader& kit, ErrorCode code,
                  uint32_t percentage) {
  if (code == kErrorCancelled) return Abandon(channel, log, code, percentage);
  return FailRun(channel, log, code, percentage, LookUpMessage(KitReadFailureMessage(code, kit.FailurePlace())));
}

// A message that names a place: the text, then the path on a line of its own.
std::u16string Naming(const char* identifier, const std::u16string& path) {
  return LookUpMessage(identifier) + u"\n" + path;
}

}  // namespace

ErrorCode DecideAction(ErrorCode looked, const PathInfo& existing, FileTime kitTime, FileAction& action) {
  if (looked == kErrorFileNotFound || looked == kErrorPathNotFound) {
    action = FileAction::Create;
    return 0;
  }
  if (looked != 0) return looked;
  if (existing.lastWriteTime >= kitTime) {
    action = FileAction::Skip;
    return 0;
  }
  // An older directory where the kit has a file would go to the workspace
  // and be deleted with it after success; refuse it instead.
  if (existing.directory) return kErrorAlreadyExists;
  action = FileAction::Replace;
  return 0;
}

std::u16string RelativePath(const KitFileEntry& file) { return ToNativeSeparators(std::u16string(file.name)); }

namespace {

// The folder part of a kit name, up to and with its last separator of
// either kind: entries come folder by folder, and one whose name has the
// folder part of the one before needs no path of its own to find its folder.
std::u16string_view FolderPart(std::u16string_view name) { return name.substr(0, name.find_last_of(u"/\\") + 1); }

// A unit of a kit name as part of a path: either separator is the same one.
char16_t PathUnit(char16_t c) { return c == u'\\' ? u'/' : c; }

// FNV-1a of the path an entry names: "a/b" and "a\\b" alike.
uint64_t PathHash(std::u16string_view name) {
  uint64_t hash = 14695981039346656037ull;
  for (const char16_t c : name) hash = (hash ^ PathUnit(c)) * 1099511628211ull;
  return hash;
}

// Orders two kit names as paths.
int ComparePaths(std::u16string_view a, std::u16string_view b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (PathUnit(a[i]) != PathUnit(b[i])) return PathUnit(a[i]) < PathUnit(b[i]) ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

}  // namespace

std::unordered_map<size_t, size_t> EarlierSamePath(const std::vector<KitFileEntry>& files) {
  // Paths, not names: "a/b" and "a\\b" are one file. Each entry is one
  // word, its path's hash above its index. Sorted by hash, then by path,
  // then by index, equal paths sit together in kit order, so each needs one
  // comparison with its neighbour however many paths share a hash (a kit
  // can be made to collide on purpose).
  unsigned indexBits = 1;
  while (indexBits < 63 && (uint64_t(1) << indexBits) < files.size()) ++indexBits;
  const uint64_t indexMask = (uint64_t(1) << indexBits) - 1;
  std::vector<uint64_t> keys;
  keys.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    keys.push_back(PathHash(files[i].name) << indexBits | i);
  }
  const auto pathOf = [&](uint64_t key) { return files[key & indexMask].name; };
  std::sort(keys.begin(), keys.end(), [&](uint64_t a, uint64_t b) {
    if (a >> indexBits != b >> indexBits) return a < b;
    const int order = ComparePaths(pathOf(a), pathOf(b));
    return order != 0 ? order < 0 : a < b;
  });
  std::unordered_map<size_t, size_t> earlier;
  for (size_t k = 1; k < keys.size(); ++k) {
    if (keys[k - 1] >> indexBits == keys[k] >> indexBits && ComparePaths(pathOf(keys[k - 1]), pathOf(keys[k])) == 0) {
      earlier[keys[k] & indexMask] = keys[k - 1] & indexMask;
    }
  }
  return earlier;
}

ErrorCode CheckKitPaths(ConfinedTree& tree, const std::u16string& targetDirectory,
                        const std::vector<KitFileEntry>& files, std::u16string& message,
                        const std::u16string& workspaceRoot, bool foldersWalked) {
  std::u16string temp, tempInside, workspaceInside;
  const bool tempIsInside = GetTempDirectory(temp) == 0 && tree.Locate(temp, tempInside);
  const bool workspaceIsInside =
      !workspaceRoot.empty() && tree.Locate(WithoutTrailingSeparator(workspaceRoot), workspaceInside);
  std::unordered_set<std::u16string, KitNameHasher> checkedFolders;
  const bool runsFolderInside = tempIsInside || workspaceIsInside;
  if (foldersWalked && !runsFolderInside) return 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const KitFileEntry& file = files[i];
    if (!runsFolderInside && i > 0 && FolderPart(file.name) == FolderPart(files[i - 1].name)) continue;
    const std::u16string relative = RelativePath(file);
    if (tempIsInside && ConfinedTree::IsSameOrBelow(relative, tempInside)) {
      message = LookUpMessage("IDS_ERROR_TEMPINSIDE");
      return kErrorAccessDenied;
    }
    // A kit that names the run's own workspace beside the templates.
    if (workspaceIsInside && ConfinedTree::IsSameOrBelow(relative, workspaceInside)) return kErrorAccessDenied;
    const std::u16string folder = ParentPath(relative);
    if (foldersWalked || folder.empty() || !checkedFolders.insert(folder).second) continue;
    std::u16string link;
    if (const ErrorCode code = tree.CheckFolders(relative, &link)) {
      if (code == kErrorLinkInPath) message = Naming("IDS_ERROR_LINKINPATH", targetDirectory + link);
      return code;
    }
  }
  return 0;
}

ErrorCode CreateDirectories(RollbackLog& log, const std::u16string& relative) {
  const std::u16string directory = WithoutTrailingSeparator(relative);
  if (directory.empty() || log.knownDirectories.count(directory)) return 0;
  // Find the missing levels, innermost first.
  std::vector<std::u16string> missing;
  for (std::u16string level = directory; !level.empty(); level = ParentPath(level)) {
    if (log.knownDirectories.count(level)) break;
    PathInfo info;
    const ErrorCode looked = log.tree.Inspect(level, info);
    if (looked == 0) {
      if (!info.directory) return kErrorPathNotFound;
      break;
    }
    if (looked != kErrorFileNotFound && looked != kErrorPathNotFound) return looked;
    missing.push_back(level);
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (const ErrorCode code = log.journal.Record(JournalRecord::Directory, log.targetDirectory + *level)) return code;
    const ErrorCode code = log.tree.MakeDirectory(*level);
    if (code != 0) {
      // Not made, so not the run's: whatever stands there stays.
      log.journal.Record(JournalRecord::NotMade, log.targetDirectory + *level);
      PathInfo info;
      if (code == kErrorAlreadyExists && log.tree.Inspect(*level, info) == 0 && info.directory) continue;
      return code;
    }
  }
  log.knownDirectories.insert(directory);
  return 0;
}

std::u16string NearestExistingFolder(std::u16string path) {
  for (PathInfo info; !path.empty(); path = ParentPath(path)) {
    if (QueryPathInfo(path, info) == 0) return info.directory ? path : std::u16string();
    if (IsRootPath(path)) break;
  }
  return {};
}

std::u16string RunPointerFolder() {
  const std::u16string templates = WithoutTrailingSeparator(DefaultTemplateDirectory());
  return templates.empty() ? templates : JoinPath(ParentPath(templates), u"runs") + kPathSeparator;
}

namespace {

// A new workspace named `prefix` and a number in `parent`: made exclusively
// and private to the user (in a shared folder a name made by someone else
// must never be reused), with its journal begun.
ErrorCode MakeWorkspace(RollbackLog& log, const std::u16string& parent, const std::u16string& prefix) {
  int takenAway = 0;
  for (uint64_t n = 0;; ++n) {
    std::u16string candidate = parent + prefix;
    for (char c : std::to_string(n)) candidate.push_back(static_cast<char16_t>(c));
    FileFinder finder;
    if (finder.FindFirst(candidate)) continue;
    const ErrorCode code = CreateNewDirectory(candidate, DirectoryAccess::Private);
    if (code == kErrorAlreadyExists) continue;
    if (code != 0) return code;
    const ErrorCode begun = log.journal.Begin(candidate, log.targetDirectory);
    const bool raced = begun == kErrorSharingViolation || begun == kErrorFileNotFound || begun == kErrorPathNotFound;
    if (raced && ++takenAway < 100) {
      // Another start took the new folder, still without a journal, for a
      // dead run's leftover: take the next number. Should the folder still
      // be there and empty, it goes.
      RemoveEmptyShell(candidate);
      continue;
    }
    if (begun != 0) {
      RemoveEmptyShell(candidate);
      return begun;
    }
    log.workspaceRoot = candidate + kPathSeparator;
    log.workspace = log.workspaceRoot + kSavedFolderName + kPathSeparator;
    return 0;
  }
}

// A workspace outside the temporary directory is found again, after a
// reboot too, through a pointer in the user's own folder. The pointer names
// the folder that will hold the workspace, and is written and flushed before
// the workspace is made, so no workspace is ever there without one; it stays
// locked while the run lives. Its flush makes its name durable too on the
// file systems that journal their metadata.
ErrorCode PointToWorkspaces(RollbackLog& log, const std::u16string& parent) {
  const std::u16string folder = RunPointerFolder();
  if (folder.empty()) return kErrorPathNotFound;
  // Another run that has just ended may remove the folder, empty, between
  // our making it and our pointer's arrival: then it is made once more.
  for (int attempt = 0;; ++attempt) {
    if (const ErrorCode code = CreateDirectoryTree(folder, DirectoryAccess::Private);
        code != 0 && code != kErrorAlreadyExists) {
      return code;
    }
    const ErrorCode code = CreateLockedTempFile(folder, kRunPointerPrefix, log.pointer, log.pointerLock);
    if (code == 0) break;
    if (attempt > 0 || (code != kErrorPathNotFound && code != kErrorFileNotFound)) return code;
  }
  const std::string text = Utf16ToUtf8(WithoutTrailingSeparator(parent));
  uint32_t written = 0;
  ErrorCode code = WriteToFile(log.pointerLock.Get(), text.data(), static_cast<uint32_t>(text.size()), written);
  if (!code) code = FlushFileHandle(log.pointerLock.Get());
  if (code) {
    DeleteLockedFile(log.pointer, log.pointerLock);
    log.pointer.clear();
  }
  return code;
}

}  // namespace

ErrorCode CreateWorkspace(RollbackLog& log, const std::u16string& directory) {
  log.targetDirectory = EnsureTrailingSeparator(directory);
  if (directory.empty()) return 0;
  std::u16string temp;
  if (const ErrorCode code = GetTempDirectory(temp)) return code;
  temp = WithoutTrailingSeparator(temp);
  // The files a run replaces are moved aside by a rename, onto the template
  // directory's own file system, where a power cut cannot take them: into
  // the temporary directory when it lies there, and otherwise into a hidden
  // workspace in the nearest folder that exists at or above the template
  // directory.
  const std::u16string anchor = NearestExistingFolder(WithoutTrailingSeparator(directory));
  const std::u16string tempAnchor = NearestExistingFolder(temp);
  if (!anchor.empty() && !tempAnchor.empty() && !SameFileSystem(anchor, tempAnchor)) {
    if (const ErrorCode code = PointToWorkspaces(log, anchor)) return code;
    const ErrorCode code = MakeWorkspace(log, EnsureTrailingSeparator(anchor), kHiddenWorkspacePrefix);
    if (code) {
      DeleteLockedFile(log.pointer, log.pointerLock);
      log.pointer.clear();
    }
    return code;
  }
  // Folders made to hold the workspace are the run's too, outside the tree.
  std::vector<std::u16string> missing;
  for (std::u16string level = temp; !level.empty() && !IsRootPath(level); level = ParentPath(level)) {
    PathInfo info;
    if (QueryPathInfo(level, info) == 0) break;
    missing.push_back(level);
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    const ErrorCode code = CreateNewDirectory(*level, DirectoryAccess::Shared);
    if (code == kErrorAlreadyExists) continue;
    if (code != 0) return code;
    log.holders.push_back(*level);
  }
  return MakeWorkspace(log, EnsureTrailingSeparator(temp), kWorkspacePrefix);
}

ErrorCode MissingTargetLevels(const RollbackLog& log, std::vector<std::u16string>& missing) {
  missing.clear();
  const std::u16string target = WithoutTrailingSeparator(log.targetDirectory);
  for (std::u16string level = target; !level.empty() && !IsRootPath(level); level = ParentPath(level)) {
    PathInfo info;
    const ErrorCode looked = QueryPathInfo(level, info);
    if (looked == 0) break;
    if (looked != kErrorFileNotFound && looked != kErrorPathNotFound) return looked;
    missing.push_back(level);
  }
  return 0;
}

namespace {

// Tells `onChange`, once for the thread that holds it, that the look found
// something to change.
struct ChangeSignal {
  const std::function<void()>& onChange;
  bool told = false;
  void operator()() {
    if (!told && onChange) onChange();
    told = true;
  }
};

// Below this many places a second thread costs more than it saves.
constexpr size_t kLooksForTwoThreads = 256;
// How many places a thread of the look takes at a time.
constexpr size_t kLookRun = 128;

// Looks at the place of every entry whose folder is there: kEntryFound where
// something stands, with kEntryKept where that is a file at least as new as
// the kit's; one to replace, or a place that cannot be looked at, is left to
// the run to judge again. Each look is a system call, most of what a
// reinstall of many small files costs, so the places are shared out between
// this thread and a second one with a view of its own of the same tree.
void LookAtPlaces(RollbackLog& log, const std::function<void()>& onChange) {
  const std::vector<KitFileEntry>& files = *log.files;
  ChangeSignal changes{onChange};
  // A bit for each entry, rather than a list of the places to look at: the
  // look runs while the tables are at their largest in memory.
  std::vector<bool> folderThere(files.size());
  // Entries come folder by folder; each folder is looked at once, and an
  // entry whose name has the same folder part as the one before costs no
  // path of its own. Each look walks to the folder without following a
  // link, so when all are there the run's path check need not walk again.
  std::unordered_map<std::u16string, bool, KitNameHasher> folders;
  const std::pair<const std::u16string, bool>* last = nullptr;
  log.foldersWalked = true;
  size_t places = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!last || FolderPart(files[i].name) != FolderPart(files[i - 1].name)) {
      const std::u16string folder = ParentPath(RelativePath(files[i]));
      const auto [at, added] = folders.try_emplace(folder, true);
      if (added && !folder.empty()) {
        PathInfo info;
        at->second = log.tree.Inspect(folder, info) == 0 && info.directory;
      }
      last = &*at;
      if (!last->second) {
        changes();
        log.foldersWalked = false;
      }
    }
    folderThere[i] = last->second;
    places += last->second;
  }
  // The entries are handed out a run of consecutive ones at a time, so that
  // each thread keeps to a folder at a time and the two end together, even
  // when one of them is held up.
  std::atomic<size_t> next{0};
  const auto lookAt = [&log, &files, &folderThere, &onChange, &next](ConfinedTree& tree) noexcept {
    ChangeSignal changes{onChange};
    try {
      for (size_t begin; (begin = next.fetch_add(kLookRun)) < files.size();) {
        for (size_t i = begin; i < std::min(begin + kLookRun, files.size()); ++i) {
          if (!folderThere[i]) continue;
          PathInfo existing;
          if (tree.Inspect(RelativePath(files[i]), existing) != 0) {
            changes();
            continue;
          }
          FileAction action = FileAction::Create;
          const bool kept =
              DecideAction(0, existing, files[i].lastWriteTime, action) == 0 && action == FileAction::Skip;
          log.entryFlags[i] = kEntryFound | (kept ? kEntryKept : 0);
          if (!kept) changes();
        }
      }
    } catch (const std::bad_alloc&) {
      // A place not looked at is left to the run, as one where nothing
      // stood: its exclusive create finds whatever is there.
      changes();
    }
  };
  ConfinedTree second;
  std::thread helper;
  if (places >= kLooksForTwoThreads && second.OpenSame(log.tree) == 0) {
    try {
      helper = std::thread(lookAt, std::ref(second));
    } catch (const std::system_error&) {
      // No second thread: this one looks at them all.
    }
  }
  lookAt(log.tree);
  if (helper.joinable()) helper.join();
}

}  // namespace

void LookAtTargets(RollbackLog& log, const std::function<void()>& onChange) {
  const std::vector<KitFileEntry>& files = *log.files;
  log.entryFlags.assign(files.size(), 0);
  log.foldersWalked = false;
  if (log.tree.IsOpen()) LookAtPlaces(log, onChange);
}

void PlanAbsentEntries(RollbackLog& log) {
  const std::vector<KitFileEntry>& files = *log.files;
  log.foldersToMake.clear();
  log.earlierSamePath = EarlierSamePath(files);
  // Folders known to be there, or to be made for an earlier entry.
  std::unordered_set<std::u16string, KitNameHasher> folders;
  const auto absent = [&log](const std::u16string& relative) {
    PathInfo info;
    return !log.tree.IsOpen() || log.tree.Inspect(relative, info) != 0;
  };
  for (size_t i = 0; i < files.size(); ++i) {
    if (log.entryFlags[i] & kEntryFound) continue;
    // A path named again is created once, by its first entry.
    if (log.earlierSamePath.count(i)) continue;
    const std::u16string relative = RelativePath(files[i]);
    std::vector<std::u16string> missing;
    for (std::u16string level = ParentPath(relative); !level.empty() && !folders.count(level);
         level = ParentPath(level)) {
      if (!absent(level)) {
        folders.insert(level);
        break;
      }
      missing.push_back(level);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
      folders.insert(*level);
      log.foldersToMake.emplace_back(i, *level);
    }
    log.entryFlags[i] |= kEntryAbsent;
  }
}

bool NothingToChange(const RollbackLog& log, const std::vector<std::u16string>& missingLevels) {
  return missingLevels.empty() &&
         std::all_of(log.entryFlags.begin(), log.entryFlags.end(), [](uint8_t flags) { return flags & kEntryKept; });
}

ErrorCode RecordIntentions(RollbackLog& log, const std::vector<std::u16string>& missingLevels) {
  for (auto level = missingLevels.rbegin(); level != missingLevels.rend(); ++level) {
    if (const ErrorCode code = log.journal.Intend(JournalRecord::IntendTargetLevel, *level)) return code;
  }
  auto folder = log.foldersToMake.begin();
  for (size_t i = 0; i < log.entryFlags.size(); ++i) {
    for (; folder != log.foldersToMake.end() && folder->first == i; ++folder) {
      if (const ErrorCode code = log.journal.Intend(JournalRecord::IntendFolder, folder->second)) return code;
    }
    if (log.entryFlags[i] & kEntryAbsent) {
      if (const ErrorCode code = log.journal.Intend(JournalRecord::IntendFile, RelativePath((*log.files)[i]))) {
        return code;
      }
    }
  }
  return log.journal.CommitIntentions();
}

ErrorCode OpenTemplateDirectory(RollbackLog& log) {
  const std::u16string target = WithoutTrailingSeparator(log.targetDirectory);
  // The missing levels of the template directory itself, innermost first.
  std::vector<std::u16string> missing;
  if (const ErrorCode code = MissingTargetLevels(log, missing)) return code;
  std::vector<std::u16string> made;
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (const ErrorCode code = log.journal.Record(JournalRecord::Directory, *level)) return code;
    const ErrorCode code = CreateNewDirectory(*level, DirectoryAccess::Shared);
    if (code == 0) {
      made.push_back(*level);
      continue;
    }
    log.journal.Record(JournalRecord::NotMade, *level);
    if (code == kErrorAlreadyExists) continue;  // made by someone else meanwhile
    // A path with no parent to create first cannot be made at all.
    const std::u16string parent = ParentPath(*level);
    return parent.empty() || IsDriveDesignator(parent) ? kErrorPathNotFound : code;
  }
  if (const ErrorCode code = log.tree.Open(target)) return code;
  const ErrorCode locked = log.tree.Lock();
  if (locked == kErrorBusy) {
    // The folders just made are the other run's to use now; they are not
    // ours to remove.
    for (const std::u16string& level : made) log.journal.Record(JournalRecord::NotMade, level);
  }
  return locked;
}

ErrorCode SaveExisting(RollbackLog& log, const std::u16string& relative) {
  const std::u16string saved = log.workspace + relative;
  if (const ErrorCode code = CreateDirectoryTree(ParentPath(saved), DirectoryAccess::Private);
      code != 0 && code != kErrorAlreadyExists) {
    return code;
  }
  return log.tree.MoveOut(relative, saved);
}

namespace {

// Copies the entry's bytes from the kit image into the open target and sets
// its time.
ErrorCode CopyEntry(KitReader& kit, const KitFileEntry& entry, FileHandle out, bool cutAfter,
                    const EngineSettings& settings) {
  uint64_t position = entry.position;
  for (uint32_t remaining = entry.size; remaining > 0;) {
    const uint8_t* data = nullptr;
    uint32_t got = 0, written = 0;
    if (const ErrorCode code = kit.ViewImage(position, remaining, data, got)) return code;
    if (const ErrorCode code = WriteToFile(out, data, got, written)) return code;
    remaining -= got;
    position += got;
  }
  // A file that is cut short, has the wrong time or failed to close is not
  // installed, so these failures fail the run like any other.
  if (cutAfter) {
    if (const ErrorCode code = TruncateFileHere(out)) return code;
  }
  if (const ErrorCode code = SetFileTimes(out, nullptr, nullptr, &entry.lastWriteTime)) return code;
  if (FlushesEachFile(settings)) {
    if (const ErrorCode code = FlushFileHandle(out)) return code;
  }
  return 0;
}

ErrorCode CloseInstalled(ScopedFileHandle& out) {
  CloseFileHandle(out.Release());
  return GetLastErrorCode();
}

}  // namespace

ErrorCode ExtractEntry(KitReader& kit, size_t index, RollbackLog& log, const std::u16string& relative,
                       bool mustBeNew, const EngineSettings& settings) {
  // A new file is made exclusively, so there is no old tail to cut and
  // whatever appears there meanwhile is not written over.
  ScopedFileHandle out;
  if (const ErrorCode code = log.tree.OpenToWrite(relative, mustBeNew, out)) return code;
  if (const ErrorCode code = CopyEntry(kit, kit.Files()[index], out.Get(), !mustBeNew, settings)) return code;
  return CloseInstalled(out);
}

ErrorCode MakeInstallationDurable(KitReader& kit, RollbackLog& log, size_t installed,
                                  const EngineSettings& settings) {
  // A write-back error the background flush saw is reported once, to it.
  const ErrorCode background = log.background ? log.background->Stop() : 0;
  if (background != 0) return background;
  // Each file was flushed as it was written, or nothing was written.
  if (FlushesEachFile(settings) || installed == 0) return 0;
  // The image has served this run. Deleted now, the part of it that is still
  // only in memory is dropped instead of being written by the flush below.
  kit.DiscardImage();
  return log.tree.Flush();
}

ErrorCode DeleteTree(const std::u16string& path) {
  if (path.empty()) return 0;
  return RemoveDirectoryTree(path);
}

ErrorCode DeleteWorkspace(RollbackLog& log) {
  if (log.workspaceRoot.empty()) return 0;
  if (const ErrorCode code = DeleteTree(log.workspace)) return code;
  if (const ErrorCode code = log.journal.Remove()) return code;
  if (const ErrorCode code = DeleteTree(log.workspaceRoot)) return code;
  if (!log.pointer.empty()) {
    // Only once the workspace is gone for good may its pointer go: a
    // workspace nobody points to would stay beside the templates.
    FlushFileSystem(ParentPath(WithoutTrailingSeparator(log.workspaceRoot)));
    DeleteLockedFile(log.pointer, log.pointerLock);
    ConfinedTree::RemoveEmptyFolder(ParentPath(log.pointer));
    log.pointer.clear();
  }
  log.workspaceRoot.clear();
  for (auto holder = log.holders.rbegin(); holder != log.holders.rend(); ++holder) {
    ConfinedTree::RemoveEmptyFolder(*holder);
  }
  return 0;
}

ErrorCode Rollback(RollbackLog& log, ErrorCode code) {
  if (log.background) log.background->Stop();
  if (log.workspaceRoot.empty()) {
    // The workspace was never made; only the folders made to hold it go.
    for (auto holder = log.holders.rbegin(); holder != log.holders.rend(); ++holder) {
      ConfinedTree::RemoveEmptyFolder(*holder);
    }
    return code;
  }
  // The workspace and its journal go last, so the journal outlives every
  // change it describes; when something could not be put back, the
  // workspace holds its only copy and stays, journal and all, for the next
  // start to finish the work.
  // The files the run created where its intentions said nothing stood have
  // no record of their own; they are the run's as much as the recorded ones.
  JournalContents record = log.journal.Contents();
  for (size_t i = 0; i < log.entryFlags.size(); ++i) {
    if (log.entryFlags[i] & kEntryCreated) {
      record.entries.push_back({JournalRecord::NewFile, log.targetDirectory + RelativePath((*log.files)[i])});
    }
  }
  if (UndoRun(record, log.workspaceRoot, log.tree, UndoScope::Recorded)) {
    DeleteWorkspace(log);
  } else {
    log.rollbackIncomplete = true;
  }
  return code;
}

namespace {

// Whether an earlier entry naming the same path was written by the run.
bool WrittenBefore(const RollbackLog& log, size_t index) {
  for (auto earlier = log.earlierSamePath.find(index); earlier != log.earlierSamePath.end();
       earlier = log.earlierSamePath.find(earlier->second)) {
    if (log.entryFlags[earlier->second] & kEntryWritten) return true;
  }
  return false;
}

// Installs entry `index` at `relative`, or leaves what stands there; what was
// done goes into `action`. Every change is recorded before it is made.
ErrorCode InstallEntry(KitReader& kit, size_t index, RollbackLog& log, const std::u16string& relative,
                       const EngineSettings& settings, FileAction& action) {
  uint8_t& flags = log.entryFlags[index];
  const std::u16string target = log.targetDirectory + relative;
  const bool writtenBefore = WrittenBefore(log, index);
  if (!writtenBefore && (flags & kEntryAbsent)) {
    // Nothing stood here when the intentions went to the journal, and they
    // name this file: it is created exclusively without a look first, since
    // the create itself catches anything that appeared since.
    if (const ErrorCode code = CreateDirectories(log, ParentPath(relative))) return code;
    flags |= kEntryCreated;
    const ErrorCode extracted = ExtractEntry(kit, index, log, relative, true, settings);
    if (extracted != kErrorFileExists) {
      if (extracted == 0) flags |= kEntryWritten;
      action = FileAction::Create;
      return extracted;
    }
    // Someone else's file appeared: not the run's to delete, now or after a
    // crash. It is judged below like any file that stood there.
    flags &= static_cast<uint8_t>(~(kEntryCreated | kEntryAbsent));
    if (const ErrorCode code = log.journal.Record(JournalRecord::NotMade, target)) return code;
  }
  // Only what stands there tells whether to skip: a file at least as new as
  // the kit's stays. A file that cannot be looked at fails the run rather
  // than being replaced blindly.
  PathInfo existing;
  const ErrorCode looked = log.tree.Inspect(relative, existing);
  if (const ErrorCode code = DecideAction(looked, existing, kit.Files()[index].lastWriteTime, action)) return code;
  if (action == FileAction::Skip) return 0;

  // Only something that stands there is moved aside, and only once: what
  // this run wrote itself is simply written over.
  bool created = false;
  if (!writtenBefore) {
    // A file moved aside comes back over the run's version; only where
    // nothing stood (any more) is the run's file a new one to delete.
    ErrorCode saved = looked;
    if (looked == 0) {
      if (const ErrorCode code = log.journal.Record(JournalRecord::Moved, target)) return code;
      saved = SaveExisting(log, relative);
      if (saved != 0 && saved != kErrorFileNotFound && saved != kErrorPathNotFound) return saved;
    }
    if (const ErrorCode code = CreateDirectories(log, ParentPath(relative))) return code;
    if (saved != 0) {
      if (const ErrorCode code = log.journal.Record(JournalRecord::NewFile, target)) return code;
      created = true;
    }
  }
  // Only a file this run wrote itself can still stand at the target.
  const ErrorCode extracted = ExtractEntry(kit, index, log, relative, !writtenBefore, settings);
  if (extracted == kErrorFileExists && created) {
    // Someone else's file appeared there: it is not the run's to delete.
    log.journal.Record(JournalRecord::NotMade, target);
  }
  if (extracted == 0) flags |= kEntryWritten;
  return extracted;
}

constexpr uint64_t kFlushEveryBytes = 32u << 20;

// Above this many bytes of data per file, flushes during the run cost more
// than they save when the image shares the file system (measured: 5 000 files
// of 32 KiB on average install in 0.96 of the time without them; 20 000 and
// 100 000 files of half a kilobyte in 0.73 of the time with them).
constexpr uint64_t kImageBytesPerFileToSkipFlushes = 8u << 10;

// A flush of the file system during the run writes the image as well when
// it lies there, and the image is written once only to be deleted. For many
// small files that costs little next to what the flushes are for, the
// files' own records; for a kit of large files it doubles what is written.
// The flush at the end, after the image is deleted, never writes it.
bool FlushesWouldWriteTheImage(const KitReader& kit, const RollbackLog& log) {
  const std::vector<KitFileEntry>& files = kit.Files();
  uint64_t bytes = 0;
  for (const KitFileEntry& entry : files) bytes += entry.size;
  return bytes > kImageBytesPerFileToSkipFlushes * files.size() &&
         SameFileSystem(kit.ImagePath(), log.targetDirectory);
}

// The survey's log when it is of this run's directory and table; a survey
// of anything else is let go, and its lock with it.
std::unique_ptr<RollbackLog> TakeSurvey(TargetSurvey* survey, const std::u16string& destination,
                                        const std::vector<KitFileEntry>& files) {
  if (!survey || !survey->log) return nullptr;
  std::unique_ptr<RollbackLog> log = std::move(survey->log);
  if (log->targetDirectory != EnsureTrailingSeparator(destination) || log->files != &files ||
      log->entryFlags.size() != files.size()) {
    return nullptr;
  }
  return log;
}

}  // namespace

bool SurveyTargets(TargetSurvey& survey, const std::u16string& directory, const std::vector<KitFileEntry>& files,
                   const std::function<void()>& onChange) {
  survey.log.reset();
  if (!IsAbsolutePath(directory)) return true;
  auto log = std::make_unique<RollbackLog>();
  log->targetDirectory = EnsureTrailingSeparator(directory);
  log->files = &files;
  std::vector<std::u16string> missing;
  if (MissingTargetLevels(*log, missing) != 0 || !missing.empty()) return true;
  if (OpenTemplateDirectory(*log) != 0) return true;
  // What to make where nothing stands is left to the run, once the kit is
  // read and its buffers are given back: the survey runs while the data may
  // still inflate, with the tables at their largest in memory.
  LookAtTargets(*log, onChange);
  const bool changes = !NothingToChange(*log, missing);
  survey.log = std::move(log);
  return changes;
}

ErrorCode RunInstallation(WorkerChannel& channel, const EngineSettings& settings) {
  KitReader* kit = nullptr;
  std::u16string destination;
  channel.ReadInput(kit, destination);
  RollbackLog own;
  // Without an absolute destination the kit's names would land wherever the
  // working directory happens to be.
  if (!kit || !IsAbsolutePath(destination)) return FailRun(channel, own, kErrorPathNotFound, 0);

  const std::vector<KitFileEntry>& files = kit->Files();
  // A survey of this directory and table holds the directory open and locked
  // already, and knows what stands there.
  const std::unique_ptr<RollbackLog> surveyed = TakeSurvey(settings.survey, destination, files);
  RollbackLog& log = surveyed ? *surveyed : own;
  if (!surveyed) {
    log.targetDirectory = EnsureTrailingSeparator(destination);
    log.files = &files;
  }
  // Checks the kit's paths in the open template directory: none may lead
  // through a link, into the temporary directory or into the workspace.
  const auto checkPaths = [&]() -> ErrorCode {
    std::u16string refusal;
    if (const ErrorCode code =
            CheckKitPaths(log.tree, log.targetDirectory, files, refusal, log.workspaceRoot, log.foldersWalked)) {
      return FailRun(channel, log, code, 0, refusal);
    }
    return 0;
  };
  // Opens and locks the template directory, making its missing levels, and
  // checks the kit's paths in it; no other change comes first.
  const auto openTarget = [&]() -> ErrorCode {
    if (const ErrorCode code = OpenTemplateDirectory(log)) {
      return FailRun(channel, log, code, 0,
                     code == kErrorBusy ? LookUpMessage("IDS_ERROR_INPROGRESS") : std::u16string());
    }
    return checkPaths();
  };
  // A template directory that is there is opened (and locked) first, so
  // that what it holds can be looked at; a run that finds nothing to do
  // makes no workspace, writes no journal and flushes nothing.
  std::vector<std::u16string> missingLevels;
  if (surveyed) {
    if (const ErrorCode code = checkPaths()) return code;
  } else {
    if (const ErrorCode code = MissingTargetLevels(log, missingLevels)) return FailRun(channel, log, code, 0);
    if (missingLevels.empty()) {
      if (const ErrorCode code = openTarget()) return code;
    }
    LookAtTargets(log);
  }
  if (!NothingToChange(log, missingLevels)) {
    PlanAbsentEntries(log);
    if (const ErrorCode code = CreateWorkspace(log, destination)) return FailRun(channel, log, code, 0);
    // A workspace beside the templates (found through a pointer) is no
    // place for the kit's files; the paths were checked without it.
    if (log.tree.IsOpen() && !log.pointer.empty()) {
      if (const ErrorCode code = checkPaths()) return code;
    }
    // Whatever a power cut leaves, a later start must know every path the
    // run may have made: all of them go into the journal, flushed once,
    // before the first change.
    if (const ErrorCode code = RecordIntentions(log, missingLevels)) return FailRun(channel, log, code, 0);
    if (!missingLevels.empty()) {
      if (const ErrorCode code = openTarget()) return code;
    }
    // An earlier run with this reader may have let its image go.
    if (const ErrorCode code = kit->ReopenImage()) return FailRun(channel, log, code, 0);
    if (!FlushesEachFile(settings) && !FlushesWouldWriteTheImage(*kit, log)) {
      log.background = std::make_unique<BackgroundFlush>([&log] { return log.tree.Flush(); });
    }
  }

  size_t installed = 0, sinceFlush = 0;
  uint64_t bytesSinceFlush = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const uint32_t percentage = Percentage(i, files.size());
    if (log.entryFlags[i] & kEntryKept) {
      // At least as new as the kit's when the run looked, before its first
      // change: nothing to do, only the progress moves on.
      if (i == 0 || percentage != Percentage(i - 1, files.size())) channel.PublishProgress(percentage);
      if (settings.onEntryDone) settings.onEntryDone(i, FileAction::Skip);
      continue;
    }
    const std::u16string relative = RelativePath(files[i]);
    channel.Publish(0, log.targetDirectory + relative, percentage);
    FileAction action = FileAction::Skip;
    if (const ErrorCode code = InstallEntry(*kit, i, log, relative, settings, action)) {
      // A read of the image fails too when the kit does as it inflates.
      if (const ErrorCode kitCode = kit->ImageError()) return FailKit(channel, log, *kit, kitCode, percentage);
      return FailRun(channel, log, code, percentage);
    }
    if (settings.onEntryDone) settings.onEntryDone(i, action);
    if (action == FileAction::Skip) continue;
    ++installed;
    bytesSinceFlush += files[i].size;
    if (log.background && (++sinceFlush >= settings.flushEveryFiles || bytesSinceFlush >= kFlushEveryBytes)) {
      log.background->Request();
      sinceFlush = 0;
      bytesSinceFlush = 0;
    }
    // While the user is asked whether to cancel, no further file is begun.
    // A termination signal stops the run at this same point, without
    // waiting for the front-end to notice it and pass it on.
    if (CancelledAfterAnyHold(channel) || TerminationRequested()) {
      return Abandon(channel, log, kErrorCancelled, percentage);
    }
  }
  const uint32_t complete = Percentage(files.size(), files.size());
  // A Yes given while the last entries went by still cancels: nothing is
  // final until the workspace goes.
  if (CancelledAfterAnyHold(channel)) return Abandon(channel, log, kErrorCancelled, complete);
  // Nothing is final before the whole kit has been proved the one packed.
  if (const ErrorCode code = kit->FinishImage()) return FailKit(channel, log, *kit, code, complete);

  // The replaced files' old versions go with the workspace, so the new ones
  // must be on disk before it is deleted.
  if (const ErrorCode code = MakeInstallationDurable(*kit, log, installed, settings)) {
    return FailRun(channel, log, code, complete);
  }
  // A termination signal that came before "done" still cancels the run,
  // even one that arrived during the flush, before the main thread could
  // pass it on.
  if (CancelledAfterAnyHold(channel) || TerminationRequested()) {
    return Abandon(channel, log, kErrorCancelled, complete);
  }
  if (const ErrorCode code = log.journal.MarkDone()) return FailRun(channel, log, code, complete);
  // The workspace now only holds old versions; a second try catches a
  // passing failure, and what still stays the next start removes.
  if (DeleteWorkspace(log) != 0) DeleteWorkspace(log);
  channel.Publish(0, LookUpMessage("IDS_INSTALL_FINISH"), 100);
  std::this_thread::sleep_for(settings.completionPause);
  return 0;
}

void RunWorker(WorkerChannel& channel, const EngineSettings& settings) {
  channel.Finish(RunInstallation(channel, settings));
}

}  // namespace setup
