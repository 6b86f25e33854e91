#pragma once
// Read-only mapped windows over an open file, so a large file (the kit) is
// streamed through the decompressor without ever being read into memory
// whole. Each platform supplies its own half.
#include <cstdint>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

class FileMapping {
 public:
  FileMapping() = default;
  ~FileMapping();
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  // The window length and alignment: 32768 bytes on Linux, the allocation
  // granularity on Windows.
  static uint32_t WindowSize();

  // Prepares the open file `handle` of `size` bytes for mapping and tells the
  // system it will be read front to back. The handle stays the caller's.
  ErrorCode Open(FileHandle handle, uint64_t size);
  // Maps `length` (at most WindowSize()) bytes at `offset` (a multiple of
  // WindowSize()) read-only and returns them; the previous window is given up.
  // Null when the window cannot be mapped. The platform half may keep a
  // bounded view of several windows mapped at once.
  const uint8_t* MapWindow(uint64_t offset, uint32_t length);
  // Done with the current window.
  void UnmapWindow();
  void Close();

 private:
  void UnmapView();

  FileHandle handle_ = kInvalidFileHandle;
  uint64_t size_ = 0;
  void* mapping_ = nullptr;  // the Windows file-mapping object
  void* view_ = nullptr;
  uint64_t viewOffset_ = 0;
  uint64_t viewLength_ = 0;
};

}  // namespace setup
