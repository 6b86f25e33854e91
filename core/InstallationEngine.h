#pragma once
// The installation engine: copies the kit's files into the template directory
// on the worker thread. Every file it replaces is first moved into a private
// workspace, and everything it creates is recorded before it is written, so a
// failed or cancelled run can put the directory back exactly as it was.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/BackgroundFlush.h"
#include "core/Journal.h"
#include "core/KitImage.h"
#include "platform/ConfinedTree.h"
#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

class KitReader;
class WorkerChannel;

inline constexpr char16_t kWorkspacePrefix[] = u"v8stp";
// A workspace beside the templates, when the temporary directory lies on
// another file system, and the pointers that lead to such workspaces.
inline constexpr char16_t kHiddenWorkspacePrefix[] = u".v8stp";
inline constexpr char16_t kRunPointerPrefix[] = u"run";
inline constexpr std::chrono::milliseconds kCompletionPause{1000};

// What a run does with one kit file, given what stands at its place.
enum class FileAction { Create, Replace, Skip };

struct TargetSurvey;

struct EngineSettings {
  // How long "Copying complete..." stays up before the run returns.
  std::chrono::milliseconds completionPause = kCompletionPause;
  // Before the workspace (the only copy of the replaced files) goes, the new
  // files must be on disk: one flush of the target's file system by default,
  // or a flush of each file as it is written.
  bool flushEachFile = false;
  // Otherwise the file system is also flushed in the background after this
  // many installed files (or 32 MiB), so that the final flush finds little
  // left to write.
  size_t flushEveryFiles = 512;
  // Called on the worker once each entry is done (installed or skipped),
  // before the cancel check; lets a caller watch or steer a run entry by
  // entry.
  std::function<void(size_t index, FileAction action)> onEntryDone;
  // A look at the template directory taken before the run (SurveyTargets);
  // the run takes it over when it is of the run's directory and file table.
  TargetSurvey* survey = nullptr;
};

// What a run knows of one kit entry, a byte each: a kit of a hundred
// thousand small files must not cost a set of paths.
enum EntryFlag : uint8_t {
  kEntryAbsent = 1,   // nothing stood at its place when the intentions were recorded
  kEntryCreated = 2,  // the run created the file there; its only record but the intention
  kEntryWritten = 4,  // the run wrote the file there
  kEntryKept = 8,     // a file at least as new as the kit's stood there when the run looked
  kEntryFound = 16,   // something stood there when the run looked
};

struct RollbackLog {
  std::u16string targetDirectory;  // absolute, ends with a separator
  std::u16string workspaceRoot;    // v8stpN, with a separator; empty until made
  std::u16string workspace;        // where replaced files are saved, inside the root
  // Written before each change; the one record the rollback, live or after a
  // crash, plays back.
  Journal journal;
  // The template directory, opened and locked for the whole run: every change
  // below it goes through here, never through a link.
  ConfinedTree tree;
  // Folders made to hold the workspace, outside the template directory.
  std::vector<std::u16string> holders;
  // The pointer to a workspace outside the temporary directory, locked for
  // the run's life; empty for one inside it.
  std::u16string pointer;
  ScopedFileHandle pointerLock;
  // Folders below the template directory known to exist, so each is looked
  // at once per run (relative paths).
  std::unordered_set<std::u16string, KitNameHasher> knownDirectories;
  // The kit's entries, with a byte of flags for each (EntryFlag). A kit
  // naming a path twice must not have the second entry move the first one's
  // file aside over the user's saved original: for each entry whose path an
  // earlier one names, that earlier entry.
  const std::vector<KitFileEntry>* files = nullptr;
  std::vector<uint8_t> entryFlags;
  std::unordered_map<size_t, size_t> earlierSamePath;
  // Folders below the template directory the run will make, each with the
  // first entry that needs it, outermost first.
  std::vector<std::pair<size_t, std::u16string>> foldersToMake;
  // Whether the look found every entry's folder a real folder, reached
  // folder by folder without a link, under the run's lock.
  bool foldersWalked = false;
  // Flushes the template directory's file system now and then while files
  // are written, where the run flushes it as a whole.
  std::unique_ptr<BackgroundFlush> background;
  // Set by Rollback when something could not be put back; the workspace then
  // stays for the next start.
  bool rollbackIncomplete = false;
};

// A run's first look at its template directory, taken before the run
// begins: a silent run knows its directory before the kit is read, so it
// looks while the kit's data still inflates. The directory is opened and
// locked, and what stands at each of the kit's places is known; nothing is
// changed. A run of the same directory and file table goes on from here
// instead of looking again; the lock goes when the survey or the run does.
struct TargetSurvey {
  std::unique_ptr<RollbackLog> log;
};

// Surveys `directory` for `files`, which must outlive the survey. Leaves it
// empty where the run must find out for itself: a directory that is not
// there yet, cannot be opened, or is locked by another run. Returns whether
// a run may change anything there, and so need the kit's file data: false
// only when the survey found every file in place. `onChange` is called, as
// soon as the look finds something to change, from any of its threads and
// perhaps more than once.
bool SurveyTargets(TargetSurvey& survey, const std::u16string& directory, const std::vector<KitFileEntry>& files,
                   const std::function<void()>& onChange = nullptr);

// The body of the worker thread. 0 on success, 1223 when cancelled, else the
// code of the first failure; the template directory is then as it was.
ErrorCode RunInstallation(WorkerChannel& channel, const EngineSettings& settings = {});

// Runs the installation and marks the channel finished with its result.
void RunWorker(WorkerChannel& channel, const EngineSettings& settings = {});

// The run's decision for one entry: `looked` and `existing` are what
// ConfinedTree::Inspect found at its place. A file at least as new as the
// kit's stays; an older directory where the kit has a file fails the run
// (80), as does a place that cannot be looked at.
ErrorCode DecideAction(ErrorCode looked, const PathInfo& existing, FileTime kitTime, FileAction& action);

// The checks made before the first change: no kit path may lead through a
// link below the template directory, or into the temporary directory should
// that lie inside it. `targetDirectory` is the tree's root, ending in a
// separator. On failure `message` is what the user is told.
// A workspace at `workspaceRoot`, when given, is no place for kit paths either.
// `foldersWalked`: every entry's folder has just been reached without a
// link, so only the temporary directory and the workspace are checked.
ErrorCode CheckKitPaths(ConfinedTree& tree, const std::u16string& targetDirectory,
                        const std::vector<KitFileEntry>& files, std::u16string& message,
                        const std::u16string& workspaceRoot = {}, bool foldersWalked = false);

// An entry's name with native separators: its path below the template
// directory.
std::u16string RelativePath(const KitFileEntry& file);
// For each entry whose path an earlier entry names too, the nearest such.
std::unordered_map<size_t, size_t> EarlierSamePath(const std::vector<KitFileEntry>& files);

// The nearest folder that exists at or above `path`; empty when none does
// or a file stands there.
std::u16string NearestExistingFolder(std::u16string path);
// Where the pointers to workspaces outside the temporary directory live:
// beside the default template directory, in the user's own folder.
std::u16string RunPointerFolder();

// The steps of a run, for the run itself and its tests. Paths of kit files
// are relative to the template directory, with native separators.
ErrorCode CreateWorkspace(RollbackLog& log, const std::u16string& directory);
// The template directory's missing levels, innermost first.
ErrorCode MissingTargetLevels(const RollbackLog& log, std::vector<std::u16string>& missing);
// Looks, once, at what stands at each kit path (needs log.files; looks into
// the tree when it is open): kEntryFound where something stands, with
// kEntryKept where that is a file at least as new as the kit's. A path in a
// folder that is not there is not looked at. `onChange` as for
// SurveyTargets.
void LookAtTargets(RollbackLog& log, const std::function<void()>& onChange = nullptr);
// For a run that changes something, after LookAtTargets: kEntryAbsent on
// each entry where nothing stands, save one whose path an earlier entry
// names (log.earlierSamePath), and the folders to make for them in
// log.foldersToMake.
void PlanAbsentEntries(RollbackLog& log);
// Whether the run has nothing to do: every file kept, no folder to make.
bool NothingToChange(const RollbackLog& log, const std::vector<std::u16string>& missingLevels);
// Records in the journal, flushed, what the run may create, as the look
// found it: the template directory's missing levels, then each absent kit
// file after the folders it needs.
ErrorCode RecordIntentions(RollbackLog& log, const std::vector<std::u16string>& missingLevels);
// Creates the template directory's missing levels, recorded, then opens and
// locks it: kErrorBusy when another run holds it.
ErrorCode OpenTemplateDirectory(RollbackLog& log);
ErrorCode SaveExisting(RollbackLog& log, const std::u16string& relative);
// Creates the folder `relative` and its missing parents below the template
// directory, each recorded before it is made.
ErrorCode CreateDirectories(RollbackLog& log, const std::u16string& relative);
// Writes entry `index` to `relative`: over a file this run wrote, or where
// nothing stands (80 when something does).
ErrorCode ExtractEntry(KitReader& kit, size_t index, RollbackLog& log, const std::u16string& relative,
                       bool mustBeNew, const EngineSettings& settings = {});
// The run's one durability step, after the last entry: every installed file
// and directory is on stable storage when it returns 0. The kit's image may
// be let go; ReopenImage brings it back for another run.
ErrorCode MakeInstallationDurable(KitReader& kit, RollbackLog& log, size_t installed,
                                  const EngineSettings& settings = {});
// Plays the run's record back (UndoRun) and removes the workspace when all
// is back; returns `code`.
ErrorCode Rollback(RollbackLog& log, ErrorCode code);
// The saved files, then the journal, then the folder: the journal outlives
// everything it would be needed for.
ErrorCode DeleteWorkspace(RollbackLog& log);
ErrorCode DeleteTree(const std::u16string& path);

}  // namespace setup
