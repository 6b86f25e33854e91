#include "platform/FileMapping.h"

#include <fcntl.h>

#include <algorithm>

namespace setup {

namespace {

// Windows are handed out of views of this size, read with one call each.
// The views are read rather than mapped: a mapped file that cannot be read
// (a failing disk, a kit cut short by someone else meanwhile) raises SIGBUS,
// where a read gives a code that start-up can report; and a copy of 256 KiB
// costs less than the decompression of it.
constexpr uint64_t kViewSize = 256 * 1024;

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

ErrorCode FileMapping::MapWindow(uint64_t offset, uint32_t length, const uint8_t*& window) {
  window = nullptr;
  if (handle_ == kInvalidFileHandle || length == 0 || length > WindowSize() || offset % WindowSize() != 0 ||
      offset + length > size_) {
    return kErrorInvalidParameter;
  }
  if (!view_ || offset < viewOffset_ || offset + length > viewOffset_ + viewLength_) {
    UnmapView();
    const uint64_t start = offset - offset % kViewSize;
    const uint64_t end = std::max(offset + length, std::min(start + kViewSize, size_));
    if (!view_) view_ = new uint8_t[kViewSize];
    if (SeekFile(handle_, int64_t(start), kSeekBegin) < 0) return GetLastErrorCode();
    uint32_t got = 0;
    if (ErrorCode error = ReadFromFile(handle_, view_, uint32_t(end - start), got)) return error;
    if (got != end - start) return kErrorInvalidData;
    viewOffset_ = start;
    viewLength_ = got;
  }
  window = static_cast<const uint8_t*>(view_) + (offset - viewOffset_);
  return kErrorSuccess;
}

void FileMapping::UnmapWindow() {
  // The window stays inside its view until the view moves on or closes.
}

void FileMapping::UnmapView() {
  // The buffer stays for the next view.
  viewOffset_ = 0;
  viewLength_ = 0;
}

void FileMapping::Close() {
  UnmapView();
  delete[] static_cast<uint8_t*>(view_);
  view_ = nullptr;
  handle_ = kInvalidFileHandle;
  size_ = 0;
}

}  // namespace setup
