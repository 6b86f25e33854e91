#pragma once
// Read-only windows over an open file, so a large file (the kit) is streamed
// through the decompressor without ever being in memory whole. Each platform
// supplies its own half: Windows maps views of the file, Linux reads them into
// a buffer of its own.
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

  // Prepares the open file `handle` of `size` bytes for windows and tells the
  // system it will be read front to back. The handle stays the caller's.
  ErrorCode Open(FileHandle handle, uint64_t size);
  // Makes `length` (at most WindowSize()) bytes at `offset` (a multiple of
  // WindowSize()) readable at `window`; the previous window is given up. 0, or
  // the code of the read or mapping that failed (13 when the file turned out
  // shorter than its size). The platform half may keep a bounded view of
  // several windows at once.
  ErrorCode MapWindow(uint64_t offset, uint32_t length, const uint8_t*& window);
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
