#include "core/KitReader.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "platform/FileLock.h"
#include "platform/FileMapping.h"
#include "platform/Text.h"

namespace setup {

namespace {

// Reads the image through a small buffer so that parsing thousands of short
// records costs a handful of system calls.
class BufferedImageSource : public KitByteSource {
 public:
  explicit BufferedImageSource(FileHandle handle) : handle_(handle), buffer_(kBufferSize) {}

  ErrorCode Read(void* out, uint32_t count, uint32_t& bytesRead) override {
    auto* target = static_cast<uint8_t*>(out);
    bytesRead = 0;
    while (count > 0) {
      if (begin_ == end_) {
        if (count >= kBufferSize) {
          // Large reads skip the buffer.
          uint32_t got = 0;
          if (ErrorCode error = ReadFromFile(handle_, target, count, got)) return error;
          bytesRead += got;
          return kErrorSuccess;
        }
        uint32_t got = 0;
        if (ErrorCode error = ReadFromFile(handle_, buffer_.data(), kBufferSize, got)) return error;
        if (got == 0) return kErrorSuccess;
        begin_ = 0;
        end_ = got;
      }
      uint32_t n = std::min(count, end_ - begin_);
      std::copy_n(buffer_.data() + begin_, n, target);
      begin_ += n;
      target += n;
      count -= n;
      bytesRead += n;
    }
    return kErrorSuccess;
  }

 private:
  static constexpr uint32_t kBufferSize = 65536;
  FileHandle handle_;
  std::vector<uint8_t> buffer_;
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
};

class InflateStream {
 public:
  InflateStream() = default;
  ~InflateStream() {
    if (ready_) inflateEnd(&stream_);
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  // Raw DEFLATE: no zlib or gzip wrapper and no checksum.
  bool Init() {
    ready_ = inflateInit2(&stream_, -15) == Z_OK;
    return ready_;
  }
  z_stream* operator->() { return &stream_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

bool SameLanguage(const std::u16string& a, const std::u16string& b) { return CompareNoCase(a, b) == 0; }

}  // namespace

KitReader::KitReader() : transferBuffer_(new uint8_t[kTransferBufferSize]) {}

KitReader::~KitReader() { Close(); }

ErrorCode KitReader::Read(const std::u16string& kitPath) {
  Close();
  descriptions_.clear();
  files_.clear();
  ErrorCode error = kErrorSuccess;
  try {
    std::u16string tempDirectory;
    error = GetTempDirectory(tempDirectory);
    // The image is locked from its creation to its deletion, so that a
    // later start can tell it from the image of a run that died.
    if (!error) error = CreateLockedTempFile(tempDirectory, u"odk", imagePath_, image_);
    uint64_t imageSize = 0;
    if (!error) error = Decompress(kitPath, imageSize);
    if (!error && SeekFile(image_.Get(), 0, kSeekBegin) < 0) error = GetLastErrorCode();
    if (!error) error = ReadTables(imageSize);
  } catch (const std::bad_alloc&) {
    error = kErrorNotEnoughMemory;
  }
  if (error) {
    files_.clear();
    Close();
  }
  return error;
}

ErrorCode KitReader::Decompress(const std::u16string& kitPath, uint64_t& imageSize) {
  imageSize = 0;
  ScopedFileHandle kit;
  if (ErrorCode error = OpenFileHandle(kitPath, kGenericRead, 0, kOpenExisting, *kit.Out())) return error;
  const FileHandle image = image_.Get();
  int64_t kitSize = SeekFile(kit.Get(), 0, kSeekEnd);
  if (kitSize < 0) return GetLastErrorCode() ? GetLastErrorCode() : kErrorInvalidHandle;

  FileMapping mapping;
  if (ErrorCode error = mapping.Open(kit.Get(), uint64_t(kitSize))) return error;
  InflateStream inflater;
  if (!inflater.Init()) return kErrorNotEnoughMemory;

  const uint32_t windowSize = FileMapping::WindowSize();
  std::vector<uint8_t> output(windowSize);
  int result = Z_OK;
  // Once the stream has ended the rest of the kit is ignored, so there is no
  // need to map it.
  for (uint64_t offset = 0; offset < uint64_t(kitSize) && result != Z_STREAM_END; offset += windowSize) {
    uint32_t length = uint32_t(std::min<uint64_t>(windowSize, uint64_t(kitSize) - offset));
    if (stopRequested_ && stopRequested_()) return kErrorCancelled;
    const uint8_t* window = mapping.MapWindow(offset, length);
    if (!window) return kErrorInvalidData;
    inflater->next_in = const_cast<Bytef*>(window);
    inflater->avail_in = length;
    do {
      inflater->next_out = output.data();
      inflater->avail_out = windowSize;
      result = inflate(inflater.get(), Z_NO_FLUSH);
      // Out of input with room to spare: this window is used up.
      if (result == Z_BUF_ERROR && inflater->avail_in == 0) result = Z_OK;
      if (result != Z_OK && result != Z_STREAM_END) return kErrorInvalidData;
      uint32_t produced = windowSize - inflater->avail_out;
      if (produced > 0) {
        // A decompression bomb stops here instead of filling the disk.
        if (produced > imageSizeLimit_ - std::min(imageSize, imageSizeLimit_)) return kErrorInvalidData;
        uint32_t written = 0;
        if (ErrorCode error = WriteToFile(image, output.data(), produced, written)) return error;
        imageSize += produced;
      }
    } while (result == Z_OK && inflater->avail_out == 0);
    mapping.UnmapWindow();
  }
  return kErrorSuccess;
}

ErrorCode KitReader::ReadTables(uint64_t imageSize) {
  BufferedImageSource source(image_.Get());
  return ParseKitImage(source, imageSize, descriptions_, files_);
}

ProductAndVendor KitReader::FindProductAndVendor(const std::u16string& language) const {
  for (const KitDescription& description : descriptions_) {
    if (SameLanguage(description.language, language)) return {description.product, description.vendor};
  }
  return {};
}

std::u16string KitReader::FindDescription(const std::u16string& language) const {
  for (const KitDescription& description : descriptions_) {
    if (SameLanguage(description.language, language)) {
      if (!description.description.empty()) return description.description;
      break;
    }
  }
  for (const KitDescription& description : descriptions_) {
    if (SameLanguage(description.language, u"en")) return description.description;
  }
  return {};
}

void KitReader::Close() {
  if (!imagePath_.empty()) {
    DeleteLockedFile(imagePath_, image_);
    imagePath_.clear();
  }
  image_.Reset();
}

}  // namespace setup
