#include "core/KitFileMapping.h"

#include <fcntl.h>
#include <sys/mman.h>

namespace setup {

KitFileMapping::~KitFileMapping() { Close(); }

uint32_t KitFileMapping::WindowSize() { return 32768; }

ErrorCode KitFileMapping::Open(FileHandle handle, uint64_t size) {
  Close();
  if (handle == kInvalidFileHandle) return kErrorInvalidHandle;
  handle_ = handle;
  // Only a hint: a failure changes nothing but the read-ahead.
  posix_fadvise(int(handle), 0, off_t(size), POSIX_FADV_SEQUENTIAL);
  return kErrorSuccess;
}

const uint8_t* KitFileMapping::MapWindow(uint64_t offset, uint32_t length) {
  UnmapWindow();
  if (handle_ == kInvalidFileHandle || length == 0) return nullptr;
  // Populating up front costs one call instead of a page fault per page.
  void* window = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, int(handle_), off_t(offset));
  if (window == MAP_FAILED) return nullptr;
  window_ = window;
  windowLength_ = length;
  return static_cast<const uint8_t*>(window);
}

void KitFileMapping::UnmapWindow() {
  if (window_) munmap(window_, windowLength_);
  window_ = nullptr;
  windowLength_ = 0;
}

void KitFileMapping::Close() {
  UnmapWindow();
  handle_ = kInvalidFileHandle;
}

}  // namespace setup
