#pragma once
// Files whose lock tells a live run's leftovers in the temporary directory
// from a dead run's. A lock lasts as long as the handle that holds it and ends
// with the process however the process ends, kill -9 included, so whoever
// gets it knows that nobody is using the file any more.
#include <string>
#include <string_view>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

// Creates a new file at `path`, open for reading and writing and locked from
// the moment anyone else could take it. 183 when something already stands
// there; 32 or 2 when another process took the new file away at once (it
// counted it as a dead run's): the caller picks another name.
ErrorCode CreateLockedFile(const std::u16string& path, ScopedFileHandle& handle);

// A new locked file named `prefix` and a unique suffix in `directory`.
ErrorCode CreateLockedTempFile(const std::u16string& directory, const std::u16string& prefix,
                               std::u16string& path, ScopedFileHandle& handle);

// Whether `name` has the form CreateLockedTempFile gives for `prefix`.
bool IsLockedTempFileName(std::u16string_view name, std::u16string_view prefix);

// Opens an existing file and takes its lock without waiting: 0 and the
// handle; 32 when a live process holds it; 2 when nothing is there (any more).
ErrorCode OpenLockedFile(const std::u16string& path, ScopedFileHandle& handle);

// Deletes the locked file, keeping the lock until it is gone, and closes the
// handle. 0 when the file is gone.
ErrorCode DeleteLockedFile(const std::u16string& path, ScopedFileHandle& handle);

enum class EntryKind { File, Directory };
// True when `path` itself (a link is not followed) is a file or a directory,
// as asked, that belongs to the user running the program and is private to
// them, as the program makes its own. Leftovers of other users in a shared
// temporary directory are never theirs to touch.
bool IsOwnEntry(const std::u16string& path, EntryKind kind);

}  // namespace setup
