#pragma once
// Read-only mapped windows over an open kit, so the kit is streamed through
// the decompressor without ever being read into memory whole. Each platform
// supplies its own half.
#include <cstdint>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

class KitFileMapping {
 public:
  KitFileMapping() = default;
  ~KitFileMapping();
  KitFileMapping(const KitFileMapping&) = delete;
  KitFileMapping& operator=(const KitFileMapping&) = delete;

  // The window length and alignment: 32768 bytes on Linux, the allocation
  // granularity on Windows.
  static uint32_t WindowSize();

  // Prepares the open file `handle` of `size` bytes for mapping and tells the
  // system it will be read front to back. The handle stays the caller's.
  ErrorCode Open(FileHandle handle, uint64_t size);
  // Maps `length` bytes at `offset` (a multiple of WindowSize()) read-only,
  // unmapping the previous window. Null when the window cannot be mapped.
  const uint8_t* MapWindow(uint64_t offset, uint32_t length);
  void UnmapWindow();
  void Close();

 private:
  FileHandle handle_ = kInvalidFileHandle;
  void* mapping_ = nullptr;  // the Windows file-mapping object
  void* window_ = nullptr;
  uint32_t windowLength_ = 0;
};

}  // namespace setup
