#pragma once
// One directory enumeration, or an existence test of a single path.
// A pattern whose last component holds "*" enumerates the directory before it
// ("." and ".." included; callers skip them); any other pattern tests that one
// path, "?" and "[" taken literally.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/FileOps.h"

namespace setup {

class FileFinder {
 public:
  FileFinder();
  ~FileFinder();
  FileFinder(const FileFinder&) = delete;
  FileFinder& operator=(const FileFinder&) = delete;

  bool FindFirst(const std::u16string& pattern);
  bool FindNext();
  const std::u16string& FoundName() const;
  // 16 for a directory, a symbolic link to one included.
  uint32_t FoundAttributes() const;
  // True when the current entry is itself a symbolic link (on Windows any
  // reparse point), so that callers that move or delete entries can treat it
  // as one and not descend into it.
  bool FoundIsSymbolicLink() const;
  // True when the last FindFirst or FindNext gave false because the
  // directory could not be read, not because its entries were all seen or
  // nothing was there. A caller that acts on every entry must not take such
  // an end for the whole directory.
  bool Failed() const;
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace setup
