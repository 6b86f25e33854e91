#pragma once
// The files okdpack reads and writes: the walk of the tree, the reading of
// one file in chunks, and the kit being written. Each platform supplies its
// own half (linux/, win/). Paths are the program's text (ProgramText.h);
// failures come back as one line naming the file at fault.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/FileOps.h"

namespace okdpack {

struct TreeFile {
  std::string relative;  // the path below the tree, "/" between components
  uint64_t size = 0;
  setup::FileTime time = 0;  // last write
};

// Takes each regular file as the walk finds it; false (with a message) stops the walk.
using TreeFileSink = std::function<bool(TreeFile&& file, std::string& message)>;

// Walks the tree below `directory`, directory by directory in the byte order
// of the names, and hands every regular file to `sink`. Links (on Windows any
// reparse point) and special files are refused rather than packed as
// something the vendor did not mean; the file `kit` itself, should it lie in
// the tree, is left out. Fails when `directory` is not a directory.
bool WalkTree(const std::string& directory, const std::string& kit, const TreeFileSink& sink, std::string& message);

// A file of the tree, read from start to end.
class SourceFile {
 public:
  SourceFile();
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  bool Open(const std::string& path, std::string& message);
  // Up to `size` bytes; 0 in `got` at the end of the file.
  bool Read(void* buffer, size_t size, size_t& got, std::string& message);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The kit on its way: written beside its final path and given that name by
// Commit, so a failure never leaves half a kit or destroys an older one. An
// uncommitted file is removed when the object goes away.
class KitFile {
 public:
  KitFile();
  ~KitFile();
  KitFile(const KitFile&) = delete;
  KitFile& operator=(const KitFile&) = delete;

  bool Create(const std::string& path, std::string& message);
  bool Write(const void* data, size_t size, std::string& message);
  bool Commit(std::string& message);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// `relative` ("/" between components) below `directory`, with the native separator.
std::string JoinedPath(const std::string& directory, const std::string& relative);

}  // namespace okdpack
