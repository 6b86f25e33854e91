#pragma once
// The template directory as the installation may touch it: every operation
// names a path relative to the directory, and none of them passes through a
// symbolic link (on Windows any reparse point: junctions, mount points) below
// it, whoever put the link there and whenever. The directory itself may be a
// link, since the user chose it. While one object holds the directory's lock,
// no other run of the program, of any user, with any temporary directory,
// can take it.
#include <memory>
#include <string>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

class ConfinedTree {
 public:
  ConfinedTree();
  ~ConfinedTree();
  ConfinedTree(const ConfinedTree&) = delete;
  ConfinedTree& operator=(const ConfinedTree&) = delete;

  // Opens `root`, an absolute path of an existing directory.
  ErrorCode Open(const std::u16string& root);
  // Opens the directory `other` holds open, whatever its path leads to by
  // now, without its lock: a view of the same tree for another thread,
  // since a tree is used by one thread at a time.
  ErrorCode OpenSame(const ConfinedTree& other);
  bool IsOpen() const;
  // Takes the directory's lock without waiting: 0, or kErrorBusy while
  // another holder has it. The lock lasts until Close or the process ends.
  ErrorCode Lock();
  void Close();

  // The path below the root that `absolute` names, when it lies inside the
  // directory (links in either path resolved, names compared as the system
  // compares them): true and `relative` ("" for the root itself).
  bool Locate(const std::u16string& absolute, std::u16string& relative) const;
  // Whether `relative` is `prefix` or lies below it, by the system's rules.
  static bool IsSameOrBelow(const std::u16string& relative, const std::u16string& prefix);

  // Each folder on the way to `relative` that exists is a real folder:
  // kErrorLinkInPath at the first link (named in `link`, relative), 3 where
  // a file stands in the way.
  ErrorCode CheckFolders(const std::u16string& relative, std::u16string* link = nullptr);
  // What stands at `relative` itself, not followed if a link; 2 or 3 when nothing.
  ErrorCode Inspect(const std::u16string& relative, PathInfo& info);
  // One new folder: 183 when something already stands there.
  ErrorCode MakeDirectory(const std::u16string& relative);
  // Opens a file for writing: a new one (80 when something stands there), or
  // one this run made, never through a link.
  ErrorCode OpenToWrite(const std::u16string& relative, bool mustBeNew, ScopedFileHandle& handle);
  // Moves what stands at `relative` (a link as a link) to the absolute `to`
  // outside the tree, replacing nothing there; across file systems it is copied
  // with its data, bits and times, then removed.
  ErrorCode MoveOut(const std::u16string& relative, const std::u16string& to);
  // Puts the file at the absolute `from` back at `relative`, over what stands
  // there. Across file systems what stands there goes first, so that a full
  // disk still takes the original back.
  ErrorCode MoveIn(const std::u16string& from, const std::u16string& relative);
  // 0 when nothing stands at `relative` afterwards; never removes a folder.
  ErrorCode RemoveFile(const std::u16string& relative);
  // Removes an empty folder; kErrorDirectoryNotEmpty when it holds anything.
  ErrorCode RemoveEmptyDirectory(const std::u16string& relative);
  // Removes the folder at the absolute `path` when it is empty; used for the
  // template directory itself and the folders above it.
  static ErrorCode RemoveEmptyFolder(const std::u16string& path);
  // Writes the directory's file system to stable storage, through the handle
  // held since Open.
  ErrorCode Flush();

  struct Native;

 private:
  std::unique_ptr<Native> native_;
};

}  // namespace setup
