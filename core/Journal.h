#pragma once
// The journal of a run: what the run is about to change in the template
// directory, each record written before the change it describes. It lives in
// the run's workspace beside the saved files and is locked for the run's whole
// life, so that a later start can tell a dead run from a live one and undo
// what the dead one left half done.
//
// A record is one plain write, enough to survive the process; a power cut
// may take the last ones. So before its first change the run records, in a
// few large writes, everything it may create (its intentions), and flushes
// the journal once: whatever the disk holds afterwards, a later start knows
// every path that may be torn. The "done" record is flushed too, after the
// installed files and before the workspace goes.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

// Inside a workspace: the journal, and the folder that mirrors the template
// directory with the files moved aside. Kept apart so that no kit name can
// land on the journal.
inline constexpr char16_t kJournalFileName[] = u"journal";
inline constexpr char16_t kSavedFolderName[] = u"saved";

enum class JournalRecord : uint8_t {
  Target = 'T',     // the template directory of the run
  Directory = 'D',  // a directory is about to be created
  Moved = 'M',      // an existing file is about to be moved aside
  NewFile = 'N',    // a file is about to be created where none stood
  // The change announced by the last record for this path did not happen
  // (say, an exclusive create found something there): whatever stands at the
  // path is not the run's.
  NotMade = 'X',
  Done = 'C',       // everything is installed and on disk
  // Intentions, recorded together before the first change. Paths relative
  // to the template directory: a file the run may create where nothing
  // stands, and a folder it may create; and, absolute, a missing level of
  // the template directory itself.
  IntendFile = 'c',
  IntendFolder = 'd',
  IntendTargetLevel = 't',
};

struct JournalEntry {
  JournalRecord kind;
  std::u16string path;
};

// What a run did, as its journal tells it: the one record both the live
// rollback and the recovery after a crash play back.
struct JournalContents {
  std::u16string targetDirectory;
  std::vector<JournalEntry> entries;  // Directory, Moved and NewFile, in order
  std::vector<JournalEntry> intentions;  // the Intend records, in order
  bool done = false;

  // Adds a record's meaning: a NotMade takes back the last entry for its path.
  void Apply(JournalRecord kind, std::u16string path);
};

class Journal {
 public:
  // Creates the journal in `workspace` and records the target directory.
  // 183 when a journal is already there; 32 or 2 when another start took the
  // fresh workspace for a dead run's: the caller makes another.
  ErrorCode Begin(const std::u16string& workspace, const std::u16string& targetDirectory);
  bool Active() const { return handle_.Valid(); }
  // Appends a record; nothing is written once the journal is gone. The
  // first record of a change (Directory, Moved, NewFile) that comes before
  // any intention is flushed with the journal: a run that changes nothing
  // flushes nothing.
  ErrorCode Record(JournalRecord kind, const std::u16string& path);
  // The run's intentions: gathered and written in large pieces, then flushed
  // once by CommitIntentions (not at all when there are none). They are for a later start only: the live
  // run's rollback knows what it did, so Contents() leaves them out.
  ErrorCode Intend(JournalRecord kind, const std::u16string& path);
  ErrorCode CommitIntentions();
  // The installed files are durable: the last record, flushed (merely
  // written when the run has changed nothing).
  ErrorCode MarkDone();
  // Deletes the journal, keeping its lock until it is gone.
  ErrorCode Remove();
  const std::u16string& Path() const { return path_; }
  // Everything recorded so far, as a reader of the file would find it.
  const JournalContents& Contents() const { return contents_; }

 private:
  ErrorCode Append(JournalRecord kind, const std::u16string& text);
  // One record into record_.
  void Encode(JournalRecord kind, const std::u16string& text);

  std::u16string path_;
  ScopedFileHandle handle_;
  std::vector<uint8_t> record_;
  std::vector<uint8_t> intentions_;
  bool intended_ = false;  // an intention was recorded
  bool durable_ = false;   // the journal has been flushed since it began
  JournalContents contents_;
};

// Reads a journal from its start. A record that the dead run did not finish
// writing ends the reading; everything before it counts. 13 when the file is
// no journal at all; a read failure's code.
ErrorCode ReadJournal(FileHandle handle, JournalContents& contents);

}  // namespace setup
