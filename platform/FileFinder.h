#pragma once
// One directory enumeration, or an existence test of a single path.
// A pattern whose last component holds "*" enumerates the directory before it
// ("." and ".." included; callers skip them); any other pattern tests that one
// path, "?" and "[" taken literally.
#include <cstdint>
#include <string>

#include "platform/FileOps.h"

namespace setup {

class FileFinder {
 public:
  FileFinder() = default;
  ~FileFinder();
  FileFinder(const FileFinder&) = delete;
  FileFinder& operator=(const FileFinder&) = delete;

  bool FindFirst(const std::u16string& pattern);
  bool FindNext();
  const std::u16string& FoundName() const { return name_; }
  // 16 for a directory, a symbolic link to one included.
  uint32_t FoundAttributes() const;
  // True when the current entry is itself a symbolic link, so that callers
  // that move or delete entries can treat it as one and not descend into it.
  bool FoundIsSymbolicLink() const { return link_; }
  void Close();

 private:
  std::u16string name_;
  std::string directory_;  // multibyte directory part of the pattern
  std::string mask_;       // multibyte mask
  void* stream_ = nullptr; // DIR*
  uint32_t mode_ = 0;      // st_mode of the current entry, 0 when none
  bool link_ = false;
};

}  // namespace setup
