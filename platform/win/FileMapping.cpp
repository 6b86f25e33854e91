// Read-only windows over a file through one file-mapping object.
#include "platform/FileMapping.h"

#include <windows.h>

#include <algorithm>

#include "platform/win/Win32Files.h"

namespace setup {

namespace {

// Windows are handed out of views of this many windows, so that a kit is
// not mapped and unmapped once per 64 KiB; at most one view is mapped.
constexpr uint64_t kWindowsPerView = 16;

}  // namespace

FileMapping::~FileMapping() { Close(); }

uint32_t FileMapping::WindowSize() {
  // A view must start at a multiple of the allocation granularity.
  static const uint32_t granularity = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<uint32_t>(info.dwAllocationGranularity);
  }();
  return granularity;
}

ErrorCode FileMapping::Open(FileHandle handle, uint64_t size) {
  Close();
  if (handle == kInvalidFileHandle || handle == 0) return kErrorInvalidHandle;
  // An empty file cannot be mapped; the system says 1006, and so does this.
  HANDLE mapping = SETUP_FILE_CALL(nullptr, CreateFileMappingW, reinterpret_cast<HANDLE>(handle), nullptr,
                                   PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return win::LastFailure();
  mapping_ = mapping;
  handle_ = handle;
  size_ = size;
  return kErrorSuccess;
}

ErrorCode FileMapping::MapWindow(uint64_t offset, uint32_t length, const uint8_t*& window) {
  window = nullptr;
  const uint64_t windowSize = WindowSize();
  if (!mapping_ || length == 0 || length > windowSize || offset % windowSize != 0 || offset + length > size_) {
    return kErrorInvalidParameter;
  }
  if (!view_ || offset < viewOffset_ || offset + length > viewOffset_ + viewLength_) {
    UnmapView();
    const uint64_t viewSize = windowSize * kWindowsPerView;
    const uint64_t start = offset - offset % viewSize;
    const uint64_t end = std::max(offset + length, std::min(start + viewSize, size_));
    void* view = SETUP_FILE_CALL(nullptr, MapViewOfFile, static_cast<HANDLE>(mapping_), FILE_MAP_READ,
                                 static_cast<DWORD>(start >> 32), static_cast<DWORD>(start),
                                 static_cast<SIZE_T>(end - start));
    if (!view) return win::LastFailure();
    view_ = view;
    viewOffset_ = start;
    viewLength_ = end - start;
  }
  window = static_cast<const uint8_t*>(view_) + (offset - viewOffset_);
  return kErrorSuccess;
}

void FileMapping::UnmapWindow() {
  // The window stays inside its view until the view moves on or closes.
}

void FileMapping::UnmapView() {
  if (view_) UnmapViewOfFile(view_);
  view_ = nullptr;
  viewOffset_ = 0;
  viewLength_ = 0;
}

void FileMapping::Close() {
  UnmapView();
  if (mapping_) CloseHandle(static_cast<HANDLE>(mapping_));
  mapping_ = nullptr;
  handle_ = kInvalidFileHandle;
  size_ = 0;
}

}  // namespace setup
