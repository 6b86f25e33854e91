#include "core/InstallationEngine.h"

#include <algorithm>
#include <thread>

#include "core/KitReader.h"
#include "core/Recovery.h"
#include "core/WorkerChannel.h"
#include "i18n/Catalogue.h"
#include "platform/FileFinder.h"
#include "platform/FileOps.h"

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

bool IsDirectory(const std::u16string& path) {
  PathInfo info;
  return QueryPathInfo(path, info) == 0 && info.directory;
}

// Waits out an open cancel question, then tells whether it was answered Yes.
bool CancelledAfterAnyHold(WorkerChannel& channel) {
  channel.WaitWhileHeld();
  return channel.IsCancelRequested();
}

// Whether `path` is `directory` or lies inside it.
bool IsSameOrAbove(const std::u16string& directory, const std::u16string& path) {
  if (directory.empty() || path.compare(0, directory.size(), directory) != 0) return false;
  return path.size() == directory.size() || IsSeparator(path[directory.size()]) || EndsWithSeparator(directory);
}

ErrorCode FailRun(WorkerChannel& channel, RollbackLog& log, ErrorCode code, uint32_t percentage) {
  channel.Publish(code, LookUpMessage("IDS_INSTALL_ERROR"), percentage);
  // A front-end that wants the message read before the rollback holds us.
  channel.WaitWhileHeld();
  return Rollback(log, code);
}

}  // namespace

ErrorCode CreateDirectories(RollbackLog& log, const std::u16string& path, bool record, DirectoryAccess access) {
  const std::u16string directory = WithoutTrailingSeparator(path);
  if (directory.empty() || IsRootPath(directory) || log.knownDirectories.count(directory)) return 0;
  // Find the missing levels, innermost first.
  std::vector<std::u16string> missing;
  for (std::u16string level = directory; !level.empty() && !IsRootPath(level);
       level = ParentPath(level)) {
    if (log.knownDirectories.count(level) || IsDirectory(level)) break;
    missing.push_back(level);
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (record) {
      if (const ErrorCode code = log.journal.Record(JournalRecord::Directory, *level)) return code;
    }
    const ErrorCode code = CreateNewDirectory(*level, access);
    if (code == kErrorAlreadyExists && IsDirectory(*level)) continue;  // made by someone else meanwhile
    if (code != 0) {
      // A path with no parent to create first cannot be made at all.
      const std::u16string parent = ParentPath(*level);
      return parent.empty() || IsDriveDesignator(parent) ? kErrorPathNotFound : code;
    }
    if (record) log.newDirectories.push_back(*level);
  }
  log.knownDirectories.insert(directory);
  return 0;
}

ErrorCode CreateWorkspace(RollbackLog& log, const std::u16string& directory) {
  log.targetDirectory = directory;
  if (directory.empty()) return 0;
  std::u16string temp;
  if (const ErrorCode code = GetTempDirectory(temp)) return code;
  if (const ErrorCode code = CreateDirectories(log, temp, true)) return code;
  temp = EnsureTrailingSeparator(temp);
  // The workspace is made exclusively and private to the user: in a shared
  // temporary directory a name made by someone else must never be reused.
  int takenAway = 0;
  for (uint64_t n = 0;; ++n) {
    std::u16string candidate = temp + kWorkspacePrefix;
    for (char c : std::to_string(n)) candidate.push_back(static_cast<char16_t>(c));
    FileFinder finder;
    if (finder.FindFirst(candidate)) continue;
    const ErrorCode code = CreateNewDirectory(candidate, DirectoryAccess::Private);
    if (code == kErrorAlreadyExists) continue;
    if (code != 0) return code;
    log.newDirectories.push_back(candidate);
    const ErrorCode begun = log.journal.Begin(candidate, directory);
    const bool raced = begun == kErrorSharingViolation || begun == kErrorFileNotFound || begun == kErrorPathNotFound;
    if (raced && ++takenAway < 100) {
      // Another start took the new folder, still without a journal, for a
      // dead run's leftover: take the next number. Should the folder still
      // be there and empty, it goes.
      log.newDirectories.pop_back();
      RemoveEmptyShell(candidate);
      continue;
    }
    if (begun != 0) return begun;
    log.workspaceRoot = candidate + kPathSeparator;
    log.workspace = log.workspaceRoot + kSavedFolderName + kPathSeparator;
    log.knownDirectories.insert(candidate);
    return 0;
  }
}

ErrorCode SaveExisting(RollbackLog& log, const std::u16string& target) {
  const std::u16string saved = log.workspace + target.substr(log.targetDirectory.size());
  if (const ErrorCode code = CreateDirectories(log, ParentPath(saved), false)) return code;
  return MoveFileTo(target, saved);
}

namespace {

// Copies the entry's bytes from the kit image into the open target and sets
// its time. Reads by position, so the image is never seeked.
ErrorCode CopyEntry(KitReader& kit, const KitFileEntry& entry, FileHandle out, bool cutAfter,
                    const EngineSettings& settings) {
  const FileHandle image = kit.ImageHandle();
  uint8_t* buffer = kit.TransferBuffer();
  uint64_t position = entry.position;
  for (uint32_t remaining = entry.size; remaining > 0;) {
    const uint32_t want = std::min(remaining, KitReader::kTransferBufferSize);
    uint32_t got = 0, written = 0;
    if (const ErrorCode code = ReadFromFileAt(image, position, buffer, want, got)) return code;
    if (got == 0) return kErrorInvalidData;  // the image ended early; reading again would spin
    if (const ErrorCode code = WriteToFile(out, buffer, got, written)) return code;
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

// Opens the target with `disposition`, copies the entry into it and closes
// it. A file opened over an older one is cut after the new bytes.
ErrorCode WriteEntry(KitReader& kit, size_t index, const std::u16string& target, uint32_t disposition,
                     const EngineSettings& settings) {
  ScopedFileHandle out;
  if (const ErrorCode code = OpenFileHandle(target, kGenericWrite, 0, disposition, *out.Out())) return code;
  const bool cutAfter = disposition != kCreateNew;
  if (const ErrorCode code = CopyEntry(kit, kit.Files()[index], out.Get(), cutAfter, settings)) return code;
  return CloseInstalled(out);
}

}  // namespace

ErrorCode ExtractEntry(KitReader& kit, size_t index, const std::u16string& target,
                       const EngineSettings& settings) {
  return WriteEntry(kit, index, target, kCreateAlways, settings);
}

ErrorCode ExtractNewEntry(KitReader& kit, size_t index, const std::u16string& target,
                          const EngineSettings& settings) {
  // Nothing stands at the target, so it is made exclusively and there is no
  // old tail to cut; whatever appears there meanwhile is not written over.
  return WriteEntry(kit, index, target, kCreateNew, settings);
}

ErrorCode MakeInstallationDurable(KitReader& kit, const std::u16string& destination, size_t installed,
                                  const EngineSettings& settings) {
  // Each file was flushed as it was written, or nothing was written.
  if (FlushesEachFile(settings) || installed == 0) return 0;
  // The image has served this run. Deleted now, the part of it that is still
  // only in memory is dropped instead of being written by the flush below.
  kit.DiscardImage();
  return FlushFileSystem(destination);
}

bool RestoreTree(const std::u16string& target, const std::u16string& saved) {
  // The names are taken first: moving entries out of a directory while it
  // is being read may make the reading skip some, and a skipped file would
  // then be deleted with the workspace.
  struct Saved {
    std::u16string name;
    bool directory;
  };
  std::vector<Saved> entries;
  FileFinder finder;
  for (bool more = finder.FindFirst(saved + u"*"); more; more = finder.FindNext()) {
    const std::u16string name = finder.FoundName();
    if (name == u"." || name == u"..") continue;
    entries.push_back({name, (finder.FoundAttributes() & kFileAttributeDirectory) && !finder.FoundIsSymbolicLink()});
  }
  // A listing cut short by an error would leave saved files unseen, and the
  // workspace that holds them must then not be deleted.
  bool complete = !finder.Failed();
  finder.Close();
  for (const Saved& entry : entries) {
    if (entry.directory) {
      complete &= RestoreTree(target + entry.name + kPathSeparator, saved + entry.name + kPathSeparator);
    } else if (MoveFileTo(saved + entry.name, target + entry.name) != 0) {
      complete = false;
    }
  }
  return complete;
}

ErrorCode DeleteTree(const std::u16string& path) {
  if (path.empty()) return 0;
  return RemoveDirectoryTree(path);
}

ErrorCode DeleteWorkspace(RollbackLog& log) {
  if (const ErrorCode code = DeleteTree(log.workspace)) return code;
  if (const ErrorCode code = log.journal.Remove()) return code;
  return DeleteTree(log.workspaceRoot);
}

ErrorCode Rollback(RollbackLog& log, ErrorCode code) {
  bool restored = true;
  if (!log.targetDirectory.empty() && !log.workspace.empty()) {
    restored = RestoreTree(log.targetDirectory, log.workspace);
  }
  for (const std::u16string& file : log.newFiles) RemoveFile(file);
  // Inner directories first. The workspace and what was made to hold it go
  // last, so its journal outlives every change it describes; and when a
  // saved file could not be moved back, the workspace holds its only copy
  // and stays, journal and all, for the next start to finish the work.
  const std::u16string root = WithoutTrailingSeparator(log.workspaceRoot);
  std::vector<std::u16string> holders;
  for (auto directory = log.newDirectories.rbegin(); directory != log.newDirectories.rend(); ++directory) {
    if (IsSameOrAbove(*directory, root)) {
      holders.push_back(*directory);
    } else {
      DeleteTree(*directory);
    }
  }
  if (!restored) return code;
  DeleteWorkspace(log);
  for (const std::u16string& directory : holders) DeleteTree(directory);
  return code;
}

ErrorCode RunInstallation(WorkerChannel& channel, const EngineSettings& settings) {
  KitReader* kit = nullptr;
  std::u16string destination;
  channel.ReadInput(kit, destination);
  RollbackLog log;
  // Without a destination the kit's names would land in the working directory.
  if (destination.empty() || !kit) return FailRun(channel, log, kErrorPathNotFound, 0);

  if (const ErrorCode code = CreateWorkspace(log, destination)) return FailRun(channel, log, code, 0);
  // An earlier run with this reader may have let its image go.
  if (const ErrorCode code = kit->ReopenImage()) return FailRun(channel, log, code, 0);

  const std::vector<KitFileEntry>& files = kit->Files();
  size_t installed = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::u16string target = destination + ToNativeSeparators(files[i].name);
    const uint32_t percentage = Percentage(i, files.size());
    channel.Publish(0, target, percentage);

    // Only what stands there tells whether to skip: a file at least as new
    // as the kit's stays. A file that cannot be looked at fails the run
    // rather than being replaced blindly.
    PathInfo existing;
    const ErrorCode looked = QueryPathInfo(target, existing);
    if (looked == 0) {
      if (existing.lastWriteTime >= files[i].lastWriteTime) continue;
      // An older directory where the kit has a file would go to the
      // workspace and be deleted with it after success; refuse it instead.
      if (existing.directory) return FailRun(channel, log, kErrorAlreadyExists, percentage);
    } else if (looked != kErrorFileNotFound && looked != kErrorPathNotFound) {
      return FailRun(channel, log, looked, percentage);
    }

    // Only something that stands there is moved aside, and only once: what
    // this run wrote itself is simply written over. A new file is recorded
    // before it is written.
    ErrorCode saved = looked;
    const bool writtenBefore = log.writtenFiles.count(target) > 0;
    if (writtenBefore) {
      saved = 0;
    } else if (const ErrorCode code = log.journal.Record(looked == 0 ? JournalRecord::Moved : JournalRecord::NewFile,
                                                         target)) {
      return FailRun(channel, log, code, percentage);
    } else if (looked == 0) {
      saved = SaveExisting(log, target);
    }
    if (saved == kErrorFileNotFound || saved == kErrorPathNotFound) {
      log.newFiles.push_back(target);
    } else if (saved != 0) {
      return FailRun(channel, log, saved, percentage);
    }
    if (const ErrorCode code = CreateDirectories(log, ParentPath(target), true)) {
      return FailRun(channel, log, code, percentage);
    }
    log.writtenFiles.insert(target);
    // Only a file this run wrote itself can still stand at the target.
    const ErrorCode extracted = writtenBefore ? ExtractEntry(*kit, i, target, settings)
                                              : ExtractNewEntry(*kit, i, target, settings);
    if (const ErrorCode code = extracted) {
      return FailRun(channel, log, code, percentage);
    }
    ++installed;
    if (settings.onEntryInstalled) settings.onEntryInstalled(i);
    // While the user is asked whether to cancel, no further file is begun.
    if (CancelledAfterAnyHold(channel)) return Rollback(log, kErrorCancelled);
  }
  // A Yes given while the last entries went by still cancels: nothing is
  // final until the workspace goes.
  if (CancelledAfterAnyHold(channel)) return Rollback(log, kErrorCancelled);

  // The replaced files' old versions go with the workspace, so the new ones
  // must be on disk before it is deleted.
  if (const ErrorCode code = MakeInstallationDurable(*kit, destination, installed, settings)) {
    return FailRun(channel, log, code, Percentage(files.size(), files.size()));
  }
  if (const ErrorCode code = log.journal.MarkDone()) {
    return FailRun(channel, log, code, Percentage(files.size(), files.size()));
  }
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
