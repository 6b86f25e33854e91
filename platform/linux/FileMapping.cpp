#include "platform/FileMapping.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>

namespace setup {

namespace {

// Windows are handed out of larger mapped views. Every munmap flushes the
// TLB, which in a virtual machine means an interrupt to every CPU the
// process ran on; one view per 32 windows keeps that off the profile while
// the mapped memory stays at 1 MiB whatever the kit's size.
constexpr uint64_t kViewSize = 1024 * 1024;

}  // namespace

FileMapping::~FileMapping() { Close(); }

uint32_t FileMapping::WindowSize() { return 32768; }

ErrorCode FileMapping::Open(FileHandle handle, uint64_t size) {
  Close();
  if (handle == kInvalidFileHandle) return kErrorInvalidHandle;
  handle_ = handle;
  size_ = size;
  // Only a hint: a failure changes nothing but the read-ahead.
  posix_fadvise(int(handle), 0, off_t(size), POSIX_FADV_SEQUENTIAL);
  return kErrorSuccess;
}

const uint8_t* FileMapping::MapWindow(uint64_t offset, uint32_t length) {
  if (handle_ == kInvalidFileHandle || length == 0 || offset % WindowSize() != 0) return nullptr;
  if (!view_ || offset < viewOffset_ || offset + length > viewOffset_ + viewLength_) {
    UnmapView();
    uint64_t start = offset - offset % kViewSize;
    uint64_t end = std::max(offset + length, std::min(start + kViewSize, size_));
    // Populating up front costs one call instead of a page fault per page.
    void* view = mmap(nullptr, size_t(end - start), PROT_READ, MAP_PRIVATE | MAP_POPULATE, int(handle_), off_t(start));
    if (view == MAP_FAILED) return nullptr;
    view_ = view;
    viewOffset_ = start;
    viewLength_ = end - start;
  }
  return static_cast<const uint8_t*>(view_) + (offset - viewOffset_);
}

void FileMapping::UnmapWindow() {
  // The window stays inside its view until the view moves on or closes.
}

void FileMapping::UnmapView() {
  if (view_) munmap(view_, size_t(viewLength_));
  view_ = nullptr;
  viewOffset_ = 0;
  viewLength_ = 0;
}

void FileMapping::Close() {
  UnmapView();
  handle_ = kInvalidFileHandle;
  size_ = 0;
}

}  // namespace setup
