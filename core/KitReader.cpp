#include "core/KitReader.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "core/Inflater.h"
#include "core/KitTrailer.h"
#include "platform/FileLock.h"
#include "platform/FileMapping.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace setup {

namespace {

// The image is written in pieces of this size: a kit inflates to three or
// four times its size, and each write costs a system call. Each piece is
// also queued for the table parser, so larger ones cost memory twice while
// a run may already be under way beside the inflating.
constexpr uint32_t kImageWriteSize = 64 * 1024;

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
          if (ErrorCode error = ReadFromFile(handle_, target, count, got)) return Failed(error);
          bytesRead += got;
          return kErrorSuccess;
        }
        uint32_t got = 0;
        if (ErrorCode error = ReadFromFile(handle_, buffer_.data(), kBufferSize, got)) return Failed(error);
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

  // Whether a read of the image itself failed, rather than its data being wrong.
  bool ReadFailed() const { return readFailed_; }

 private:
  ErrorCode Failed(ErrorCode error) {
    readFailed_ = true;
    return error;
  }

  static constexpr uint32_t kBufferSize = 65536;
  bool readFailed_ = false;
  FileHandle handle_;
  std::vector<uint8_t> buffer_;
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
};

// Reads the tables on a thread of its own from the image's bytes as they are
// inflated. The tables come first in the image, so the file table is known,
// and handed to the listener, while the file data still inflates; the
// inflating thread pays a copy of the tables' bytes and nothing else.
class StreamedTables {
 public:
  // Told, last, the tables' verdict and whether the file data is wanted.
  using Settled = std::function<void(ErrorCode result, bool wanted)>;

  StreamedTables(uint64_t imageSize, std::vector<KitDescription>& descriptions, KitFileTable& files,
                 const KitReader::TableListener& listener, Settled settled)
      : settled_(std::move(settled)), source_(*this), thread_([this, imageSize, &descriptions, &files, &listener] {
          ErrorCode result = kErrorSuccess;
          try {
            result = ParseKitTables(source_, imageSize, descriptions, files);
          } catch (const std::bad_alloc&) {
            result = kErrorNotEnoughMemory;
          }
          StopFeeding();
          ErrorCode names = kErrorSuccess;
          const auto checkNames = [&names, &files] {
            try {
              names = CheckKitNames(files);
            } catch (const std::bad_alloc&) {
              names = kErrorNotEnoughMemory;
            }
          };
          bool wanted = true;
          if (result == kErrorSuccess && listener) {
            // The names are checked against each other beside the listener,
            // which mostly waits on the file system; what it finds is only
            // ever a head start, of no use should the check fail.
            std::thread beside;
            try {
              beside = std::thread(checkNames);
            } catch (const std::system_error&) {
              checkNames();
            }
            try {
              wanted = listener(files.entries, [this] { Decide(true); });
            } catch (const std::bad_alloc&) {
              wanted = true;
            }
            if (beside.joinable()) beside.join();
          } else if (result == kErrorSuccess) {
            checkNames();
          }
          if (result == kErrorSuccess) result = names;
          if (result != kErrorSuccess) files = {};
          result_ = result;
          Decide(wanted);
          settled_(result, wanted);
        }) {}
  StreamedTables(const StreamedTables&) = delete;
  StreamedTables& operator=(const StreamedTables&) = delete;
  ~StreamedTables() { Finish(); }

  // The next bytes of the image. Waits while the reader is 256 KiB behind,
  // and, once the tables are read, until the listener has said whether the
  // file data is wanted; false when it is not, and nothing more need be
  // inflated.
  bool Feed(const uint8_t* data, uint32_t length) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      drained_.wait(lock, [this] { return decided_ || (!parsed_ && pending_.size() < kPendingLimit); });
      if (parsed_) return dataWanted_;
      pending_.insert(pending_.end(), data, data + length);
    }
    fed_.notify_one();
    return true;
  }

  // Tells the reader that the image ends here and waits for its result
  // (and its listener).
  ErrorCode Finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
      }
      fed_.notify_one();
      thread_.join();
    }
    return result_;
  }

 private:
  static constexpr size_t kPendingLimit = 256u << 10;

  void StopFeeding() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      parsed_ = true;
      // Freed, not only emptied as `= {}` would leave it: the tables' last
      // batches would otherwise stay through the whole look.
      pending_ = std::vector<uint8_t>();
    }
    drained_.notify_one();
  }

  // The first word on the file data is the one that counts: once the
  // inflater has been let go on, it is not stopped again.
  void Decide(bool wanted) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (decided_) return;
      decided_ = true;
      dataWanted_ = wanted;
    }
    drained_.notify_one();
  }

  // Takes the bytes handed over a batch at a time, so that the many small
  // reads of the records cost no lock each.
  class Source : public KitByteSource {
   public:
    explicit Source(StreamedTables& owner) : owner_(owner) {}
    ErrorCode Read(void* out, uint32_t count, uint32_t& bytesRead) override {
      auto* target = static_cast<uint8_t*>(out);
      bytesRead = 0;
      while (count > 0) {
        if (at_ == batch_.size()) {
          batch_.clear();
          at_ = 0;
          {
            std::unique_lock<std::mutex> lock(owner_.mutex_);
            owner_.fed_.wait(lock, [this] { return !owner_.pending_.empty() || owner_.closed_; });
            if (owner_.pending_.empty()) return kErrorSuccess;  // the image ended
            batch_.swap(owner_.pending_);
          }
          owner_.drained_.notify_one();
        }
        const uint32_t n = uint32_t(std::min<size_t>(count, batch_.size() - at_));
        std::memcpy(target, batch_.data() + at_, n);
        at_ += n;
        target += n;
        count -= n;
        bytesRead += n;
      }
      return kErrorSuccess;
    }
    void TablesRead() override {
      batch_ = std::vector<uint8_t>();
      owner_.StopFeeding();
    }

   private:
    StreamedTables& owner_;
    std::vector<uint8_t> batch_;
    size_t at_ = 0;
  };

  std::mutex mutex_;
  std::condition_variable fed_, drained_;
  std::vector<uint8_t> pending_;
  bool parsed_ = false, closed_ = false, decided_ = false, dataWanted_ = true;
  ErrorCode result_ = kErrorSuccess;
  Settled settled_;
  Source source_;
  std::thread thread_;  // last: it starts at once
};

bool SameLanguage(const std::u16string& a, const std::u16string& b) { return CompareNoCase(a, b) == 0; }

// CRC-32 of the first `length` bytes of the kit, read anew. The buffer is
// kept small: freed beside the inflater's, a large one would stay in the
// heap, and in memory, for the rest of the run.
ErrorCode CrcOfKitStart(FileHandle kit, uint64_t length, uint32_t& crc) {
  std::vector<uint8_t> buffer(64 * 1024);
  crc = 0;
  for (uint64_t offset = 0; offset < length;) {
    uint32_t got = 0;
    const uint32_t wanted = uint32_t(std::min<uint64_t>(buffer.size(), length - offset));
    if (ErrorCode error = ReadFromFileAt(kit, offset, buffer.data(), wanted, got)) return error;
    if (got != wanted) return kErrorInvalidData;
    crc = KitCrc32(crc, buffer.data(), got);
    offset += got;
  }
  return kErrorSuccess;
}

// Goes on with `crc` over the kit's bytes from `offset` to `end`, window by
// window.
ErrorCode CrcOfWindows(FileMapping& mapping, uint64_t offset, uint64_t end, uint32_t& crc) {
  const uint32_t windowSize = FileMapping::WindowSize();
  for (; offset < end; offset += windowSize) {
    const uint32_t length = uint32_t(std::min<uint64_t>(windowSize, end - offset));
    const uint8_t* window = nullptr;
    if (ErrorCode error = mapping.MapWindow(offset, length, window)) return error;
    crc = KitCrc32(crc, window, length);
    mapping.UnmapWindow();
  }
  return kErrorSuccess;
}

bool Matches(const KitTrailer& trailer, uint64_t imageLength, uint32_t imageCrc, uint32_t streamCrc) {
  return trailer.imageLength == imageLength && trailer.imageCrc == imageCrc && trailer.streamCrc == streamCrc;
}

}  // namespace

// The image while it still inflates on a thread of the reader's own, after
// (or before) Read has returned.
struct KitReader::Growth {
  std::mutex mutex;
  std::condition_variable moved;
  // Guarded by the mutex.
  uint64_t ready = 0;        // bytes of the image written so far
  bool waiting = false;      // ViewImage waits for more of them
  bool ended = false;        // the thread is done, with `result`
  ErrorCode result = kErrorSuccess;
  uint64_t size = 0;         // the image's size, once ended
  bool tablesPassed = false; // the tables are a kit's, and the listener wants the data
  bool sealed = false;       // a trailer at the kit's end vouches for the stream:
  uint64_t streamLength = 0; // this long,
  uint32_t streamCrc = 0;    // with this CRC-32,
  uint64_t imageLength = 0;  // inflating to this many bytes
  std::atomic<bool> stop{false};
  std::thread thread;
};

KitReader::KitReader() : transferBuffer_(new uint8_t[kTransferBufferSize]), inflaterFactory_(CreateKitInflater) {}

KitReader::~KitReader() { Close(); }

ErrorCode KitReader::Read(const std::u16string& kitPath) {
  Close();
  descriptions_.clear();
  files_ = {};
  kitPath_ = kitPath;
  imageSize_ = 0;
  imageDiscarded_ = false;
  imageError_ = kErrorSuccess;
  failurePlace_ = KitFailurePlace::None;
  integrity_ = KitIntegrity::Unknown;
  ErrorCode error = kErrorSuccess;
  try {
    bool growing = false;
    error = tableListener_ ? MakeImageBeside(growing) : MakeImage(true, imageSize_);
    // The tables are read and the listener has looked; the data follows.
    if (growing) return kErrorSuccess;
    if (!error && tablesStreamed_) {
      error = tablesError_ == kErrorNotEnoughMemory ? tablesError_ : FailedOn(KitFailurePlace::Kit, tablesError_);
      if (!error && dataSkipped_) DiscardImage();
    } else if (!error) {
      error = ReadTables(imageSize_);
      if (!error && tableListener_) tableListener_(files_.entries, [] {});
    }
  } catch (const std::bad_alloc&) {
    error = kErrorNotEnoughMemory;
  }
  error = Conclude(error);
  if (error) files_ = {};
  return error;
}

ErrorCode KitReader::Conclude(ErrorCode error) {
  // Data that is not a kit's, whatever its trailer said of it.
  const bool trailerFault = integrity_ == KitIntegrity::DamagedTrailer || integrity_ == KitIntegrity::Mismatch;
  if (error == kErrorInvalidData && failurePlace_ == KitFailurePlace::Kit && !trailerFault) {
    integrity_ = KitIntegrity::DamagedData;
  }
  // A first attempt may have failed where a second one went through.
  if (!error || error == kErrorCancelled) failurePlace_ = KitFailurePlace::None;
  if (error) Close();
  // The inflater's buffers and the queue that fed the table parser are
  // freed by now, amid the tables, which stay: a kit of a hundred thousand
  // files would otherwise carry their pages for the whole run.
  ReleaseFreedMemory();
  return error;
}

ErrorCode KitReader::FailedOn(KitFailurePlace place, ErrorCode error) {
  if (error) failurePlace_ = place;
  return error;
}

ErrorCode KitReader::MakeImageBeside(bool& growing) {
  growing = false;
  growth_ = std::make_unique<Growth>();
  Growth& g = *growth_;
  try {
    g.thread = std::thread([this, &g] {
      uint64_t size = 0;
      ErrorCode error = kErrorSuccess;
      try {
        error = MakeImage(true, size);
      } catch (const std::bad_alloc&) {
        error = kErrorNotEnoughMemory;
      }
      {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.result = error;
        g.size = size;
        g.ended = true;
      }
      g.moved.notify_all();
    });
  } catch (const std::system_error&) {
    growth_.reset();
    return MakeImage(true, imageSize_);
  }
  std::unique_lock<std::mutex> lock(g.mutex);
  g.moved.wait(lock, [&g] { return g.ended || (g.tablesPassed && g.sealed); });
  if (!g.ended) {
    // Whatever is copied from here on, an ordinary damaged kit must still
    // be refused before anything is installed: its stream is read through
    // once, far faster than it inflates, against the trailer's CRC-32.
    const uint64_t streamLength = g.streamLength, imageLength = g.imageLength;
    const uint32_t streamCrc = g.streamCrc;
    lock.unlock();
    const ErrorCode checked = CheckStream(streamLength, streamCrc);
    if (checked) {
      StopGrowth();
      if (checked == kErrorInvalidData) integrity_ = KitIntegrity::Mismatch;
      return FailedOn(KitFailurePlace::Kit, checked);
    }
    // Nor should a temporary directory seen to be too small for the image
    // turn into a failed run: Read then waits for the end, and fails.
    std::u16string tempDirectory;
    uint64_t room = 0;
    const bool roomy = GetTempDirectory(tempDirectory) == 0 && QueryFreeSpaceAt(tempDirectory, room) == 0 &&
                       room >= imageLength;
    lock.lock();
    if (!g.ended && roomy) {
      imageSize_ = imageLength;
      growing = true;
      return kErrorSuccess;
    }
  }
  lock.unlock();
  return JoinGrowth(&imageSize_);
}

ErrorCode KitReader::CheckStream(uint64_t streamLength, uint32_t streamCrc) {
  ScopedFileHandle kit;
  if (ErrorCode error = OpenFileHandle(kitPath_, kGenericRead, kFileShareRead, kOpenExisting, *kit.Out())) {
    return error;
  }
  uint32_t crc = 0;
  if (ErrorCode error = CrcOfKitStart(kit.Get(), streamLength, crc)) return error;
  return crc == streamCrc ? kErrorSuccess : kErrorInvalidData;
}

ErrorCode KitReader::JoinGrowth(uint64_t* imageSize) {
  if (!growth_) return imageError_;
  growth_->thread.join();
  if (imageSize) *imageSize = growth_->size;
  const ErrorCode result = growth_->result;
  growth_.reset();
  return result;
}

void KitReader::StopGrowth() {
  if (!growth_) return;
  growth_->stop = true;
  JoinGrowth();
}

bool KitReader::GrowthStopped() const { return growth_ && growth_->stop.load(std::memory_order_relaxed); }

void KitReader::ImageGrew(uint64_t size) {
  if (!growth_) return;
  Growth& g = *growth_;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    g.ready = std::max(g.ready, size);
    wake = g.waiting;
  }
  if (wake) g.moved.notify_all();
}

void KitReader::TablesSettled(ErrorCode result, bool wanted) {
  // Read after the threads that set them are joined.
  tablesStreamed_ = true;
  tablesError_ = result;
  if (!growth_) return;
  {
    std::lock_guard<std::mutex> lock(growth_->mutex);
    growth_->tablesPassed = growth_->tablesPassed || (result == kErrorSuccess && wanted);
  }
  growth_->moved.notify_all();
}

void KitReader::StreamSealed(uint64_t streamLength, uint32_t streamCrc, uint64_t imageLength) {
  if (!growth_) return;
  {
    std::lock_guard<std::mutex> lock(growth_->mutex);
    growth_->sealed = true;
    growth_->streamLength = streamLength;
    growth_->streamCrc = streamCrc;
    growth_->imageLength = imageLength;
  }
  growth_->moved.notify_all();
}

ErrorCode KitReader::AwaitImage(uint64_t position, uint32_t want, uint32_t& space) {
  Growth& g = *growth_;
  const uint64_t needed = position + std::min(want, kTransferBufferSize);
  std::unique_lock<std::mutex> lock(g.mutex);
  if (!g.ended && g.ready < needed) {
    g.waiting = true;
    g.moved.wait(lock, [&g, needed] { return g.ended || g.ready >= needed; });
    g.waiting = false;
  }
  if (g.ended && g.result != kErrorSuccess) {
    lock.unlock();
    return FinishImage();
  }
  if (g.ready <= position) return kErrorInvalidData;  // the image ended early
  space = uint32_t(std::min<uint64_t>(kTransferBufferSize, g.ready - position));
  return kErrorSuccess;
}

ErrorCode KitReader::FinishImage() {
  if (!growth_) return imageError_;
  const ErrorCode error = JoinGrowth();
  // The tables stay, whatever the verdict: a run that copied files from
  // the image needs them to undo its work.
  imageError_ = Conclude(error);
  return imageError_;
}

ErrorCode KitReader::ImageError() {
  if (growth_) {
    bool ended = false;
    {
      std::lock_guard<std::mutex> lock(growth_->mutex);
      ended = growth_->ended;
    }
    return ended ? FinishImage() : kErrorSuccess;
  }
  return imageError_;
}

ErrorCode KitReader::MakeImage(bool withTables, uint64_t& imageSize) {
  constexpr KitFailurePlace kImage = KitFailurePlace::Image;
  std::u16string tempDirectory;
  ErrorCode error = FailedOn(kImage, GetTempDirectory(tempDirectory));
  // The image is locked from its creation to its deletion, so that a later
  // start can tell it from the image of a run that died.
  if (!error) error = FailedOn(kImage, CreateLockedTempFile(tempDirectory, u"odk", imagePath_, image_));
  if (!error) error = Decompress(kitPath_, withTables, imageSize);
  if (!error && SeekFile(image_.Get(), 0, kSeekBegin) < 0) error = FailedOn(kImage, GetLastErrorCode());
  return error;
}

ErrorCode KitReader::ViewImage(uint64_t position, uint32_t want, const uint8_t*& data, uint32_t& got) {
  if (position < bufferedFrom_ || position >= bufferedFrom_ + buffered_) {
    buffered_ = 0;
    uint32_t space = kTransferBufferSize;
    if (growth_) {
      if (const ErrorCode code = AwaitImage(position, want, space)) return code;
    }
    uint32_t read = 0;
    if (const ErrorCode code = ReadFromFileAt(image_.Get(), position, transferBuffer_.get(), space, read)) {
      return code;
    }
    if (read == 0) return kErrorInvalidData;  // the image ended early; reading again would spin
    bufferedFrom_ = position;
    buffered_ = read;
  }
  const uint64_t offset = position - bufferedFrom_;
  data = transferBuffer_.get() + offset;
  got = static_cast<uint32_t>(std::min<uint64_t>(want, buffered_ - offset));
  return kErrorSuccess;
}

void KitReader::DiscardImage() {
  StopGrowth();
  buffered_ = 0;
  // An image that could not be deleted now is deleted by Close.
  if (!imagePath_.empty() && DeleteLockedFile(imagePath_, image_) == 0) imagePath_.clear();
  image_.Reset();
  imageDiscarded_ = true;
}

ErrorCode KitReader::ReopenImage() {
  if (!imageDiscarded_) return kErrorSuccess;
  Close();
  failurePlace_ = KitFailurePlace::None;
  ErrorCode error = kErrorSuccess;
  uint64_t imageSize = 0;
  try {
    // The tables stay those of the first image: a run may be using them.
    error = MakeImage(false, imageSize);
  } catch (const std::bad_alloc&) {
    error = kErrorNotEnoughMemory;
  }
  // The tables were read from the first image; a changed kit cannot use them.
  if (!error && imageSize != imageSize_) error = FailedOn(KitFailurePlace::Kit, kErrorInvalidData);
  if (!error || error == kErrorCancelled) failurePlace_ = KitFailurePlace::None;
  if (error) {
    Close();
    return error;
  }
  imageDiscarded_ = false;
  return kErrorSuccess;
}

ErrorCode KitReader::Decompress(const std::u16string& kitPath, bool withTables, uint64_t& imageSize) {
  bool ended = false, tooLarge = false;
  ErrorCode error = Inflate(kitPath, inflaterFactory_, withTables, imageSize, ended, tooLarge);
  // ISA-L gives up on some damaged streams at another byte than zlib, a cut
  // one may end a few bytes apart, and it leaves a stream of many small blocks
  // to zlib; such a kit is read again with zlib, so that every build accepts
  // and rejects the same kits with the same image.
  const bool doubtful = (error == kErrorInvalidData && !tooLarge) || (!error && !ended && !dataSkipped_);
  if (doubtful && inflaterFactory_ != CreateZlibInflater) {
    // Tables that were read whole and passed are the kit's own: a listener
    // has looked at them already, and a run may be using them.
    const bool tablesAgain = withTables && !(tablesStreamed_ && tablesError_ == kErrorSuccess);
    error = Inflate(kitPath, CreateZlibInflater, tablesAgain, imageSize, ended, tooLarge);
  }
  return error;
}

ErrorCode KitReader::Inflate(const std::u16string& kitPath, std::unique_ptr<Inflater> (*factory)(), bool withTables,
                             uint64_t& imageSize, bool& ended, bool& tooLarge) {
  constexpr KitFailurePlace kKit = KitFailurePlace::Kit, kImage = KitFailurePlace::Image;
  // A seek that failed without a code still failed.
  const auto seekFailure = [] { return GetLastErrorCode() ? GetLastErrorCode() : kErrorInvalidHandle; };
  const auto damaged = [&](KitIntegrity found) {
    integrity_ = found;
    return FailedOn(kKit, kErrorInvalidData);
  };
  imageSize = 0;
  ended = tooLarge = false;
  integrity_ = KitIntegrity::Unknown;
  if (withTables) tablesStreamed_ = false;
  dataSkipped_ = false;
  // Others may read the kit meanwhile (Read checks its stream through a
  // handle of its own), but nobody may change it.
  ScopedFileHandle kit;
  if (ErrorCode error = OpenFileHandle(kitPath, kGenericRead, kFileShareRead, kOpenExisting, *kit.Out())) {
    return FailedOn(kKit, error);
  }
  // Written through the reader's own locked handle, from its start, at
  // explicit offsets, since a run may read it meanwhile: the image is not
  // cut to nothing first, since on ext4 a file cut to nothing and written is
  // sent to the disk when it is closed, and the image should never get
  // there. It is cut at its end instead, after an earlier, longer attempt.
  const FileHandle image = image_.Get();
  int64_t kitSize = SeekFile(kit.Get(), 0, kSeekEnd);
  if (kitSize < 0) return FailedOn(kKit, seekFailure());
  // An empty kit is a stream that ends before it begins, on every build
  // (Windows could not even map it).
  if (kitSize == 0) return FailedOn(kKit, kErrorInvalidData);

  // okdpack's trailer ends the kit, so it is known before the first byte is
  // inflated: the stream must end where it says, and the image may grow no
  // larger than it says, which stops a bomb at once.
  KitTrailer trailer;
  bool trailerAtEnd = false;
  uint64_t streamLimit = uint64_t(kitSize);
  if (uint64_t(kitSize) >= kKitTrailerSize) {
    uint8_t last[kKitTrailerSize];
    uint32_t got = 0;
    const uint64_t at = uint64_t(kitSize) - kKitTrailerSize;
    if (ErrorCode error = ReadFromFileAt(kit.Get(), at, last, uint32_t(kKitTrailerSize), got)) {
      return FailedOn(kKit, error);
    }
    if (got != kKitTrailerSize) return FailedOn(kKit, kErrorInvalidData);  // cut while we read it
    switch (DecodeKitTrailer(last, got, at, trailer)) {
      case KitTrailerVerdict::Absent: break;
      case KitTrailerVerdict::Damaged: return damaged(KitIntegrity::DamagedTrailer);
      case KitTrailerVerdict::Valid:
        if (trailer.streamLength != at) return damaged(KitIntegrity::Mismatch);
        trailerAtEnd = true;
        streamLimit = at;
        StreamSealed(at, trailer.streamCrc, trailer.imageLength);
        break;
    }
  }
  const uint64_t sizeLimit = trailerAtEnd ? std::min(imageSizeLimit_, trailer.imageLength) : imageSizeLimit_;

  FileMapping mapping;
  if (ErrorCode error = mapping.Open(kit.Get(), uint64_t(kitSize))) return FailedOn(kKit, error);
  std::unique_ptr<Inflater> inflater = factory();
  if (!inflater) return kErrorNotEnoughMemory;

  const uint32_t windowSize = FileMapping::WindowSize();
  std::vector<uint8_t> output(kImageWriteSize);
  // Known to be as long as the trailer says once the image is checked, so
  // its tables can be read while it grows.
  std::optional<StreamedTables> tables;
  if (withTables && trailerAtEnd) {
    descriptions_.clear();
    files_ = {};
    tables.emplace(sizeLimit, descriptions_, files_, tableListener_,
                   [this](ErrorCode result, bool wanted) { TablesSettled(result, wanted); });
  }
  uint32_t crc = 0;
  const InflateSink writeImage = [&](const uint8_t* data, uint32_t length) -> ErrorCode {
    // A decompression bomb stops here instead of filling the disk.
    if (length > sizeLimit - std::min(imageSize, sizeLimit)) {
      tooLarge = true;
      if (trailerAtEnd) integrity_ = KitIntegrity::Mismatch;
      return FailedOn(kKit, kErrorInvalidData);
    }
    if (GrowthStopped()) return kErrorCancelled;
    // Checked as it goes by, not in a second pass over the image.
    crc = KitCrc32(crc, data, length);
    uint32_t written = 0;
    if (ErrorCode error = WriteToFileAt(image, imageSize, data, length, written)) return FailedOn(kImage, error);
    imageSize += length;
    ImageGrew(imageSize);
    if (tables && !tables->Feed(data, length)) {
      dataSkipped_ = true;
      return kErrorCancelled;  // stops the inflater at once; dataSkipped_ tells why
    }
    return kErrorSuccess;
  };
  // Once the stream has ended the rest of the kit is ignored, so there is no
  // need to read it.
  uint64_t streamLength = 0;
  uint32_t streamCrc = 0;
  bool streamCrcKnown = true;
  for (uint64_t offset = 0; offset < streamLimit && !ended; offset += windowSize) {
    // The window is cut at the trailer, so that the stream cannot run into it.
    const uint32_t length = uint32_t(std::min<uint64_t>(windowSize, streamLimit - offset));
    if ((stopRequested_ && stopRequested_()) || GrowthStopped()) return kErrorCancelled;
    const uint8_t* window = nullptr;
    if (ErrorCode error = mapping.MapWindow(offset, length, window)) return FailedOn(kKit, error);
    uint32_t untaken = 0;
    const ErrorCode error = InflateWindow(*inflater, window, length, output, writeImage, ended, untaken);
    if (dataSkipped_) {
      // Nobody needs the file data: the rest of the stream is only checked,
      // a CRC-32 of it costing a fraction of inflating it.
      mapping.UnmapWindow();
      tables->Finish();
      if (ErrorCode error = CrcOfWindows(mapping, offset, streamLimit, streamCrc)) return FailedOn(kKit, error);
      if (streamCrc != trailer.streamCrc) return damaged(KitIntegrity::Mismatch);
      integrity_ = KitIntegrity::Verified;
      imageSize = trailer.imageLength;
      return kErrorSuccess;
    }
    // The sink has said where its own failures lie; the rest is the kit's data.
    if (error == kErrorInvalidData && !tooLarge) return FailedOn(kKit, error);
    if (error) return error;
    if (ended) streamLength = offset + length - untaken - inflater->BytesPastStreamEnd();
    if (!ended) {
      streamCrc = KitCrc32(streamCrc, window, length);
    } else if (streamLength >= offset) {
      streamCrc = KitCrc32(streamCrc, window, size_t(streamLength - offset));
    } else {
      // The inflater's read-ahead reached back into an earlier window, whose
      // bytes past the end are in the sum already: it is taken again below.
      streamCrcKnown = false;
    }
    mapping.UnmapWindow();
  }

  if (trailerAtEnd) {
    // A stream that does not end right before the trailer, or an image other
    // than the one packed, is a damaged kit, however well it inflates.
    if (!ended || streamLength != streamLimit || !Matches(trailer, imageSize, crc, streamCrc)) {
      return damaged(KitIntegrity::Mismatch);
    }
    integrity_ = KitIntegrity::Verified;
    if (tables) tables->Finish();
  } else if (ended) {
    // Bytes after the stream are ignored, unless they are a trailer with
    // more behind it: that trailer is checked, and what follows it ignored.
    uint8_t after[kKitTrailerSize];
    uint32_t got = 0;
    const uint32_t wanted = uint32_t(std::min<uint64_t>(kKitTrailerSize, uint64_t(kitSize) - streamLength));
    if (wanted > 0) {
      if (ErrorCode error = ReadFromFileAt(kit.Get(), streamLength, after, wanted, got)) return FailedOn(kKit, error);
    }
    switch (DecodeKitTrailer(after, got, streamLength, trailer)) {
      case KitTrailerVerdict::Absent: integrity_ = KitIntegrity::Unchecked; break;
      case KitTrailerVerdict::Damaged: return damaged(KitIntegrity::DamagedTrailer);
      case KitTrailerVerdict::Valid:
        if (!streamCrcKnown) {
          if (ErrorCode error = CrcOfKitStart(kit.Get(), streamLength, streamCrc)) return FailedOn(kKit, error);
        }
        if (trailer.streamLength != streamLength || !Matches(trailer, imageSize, crc, streamCrc)) {
          return damaged(KitIntegrity::Mismatch);
        }
        integrity_ = KitIntegrity::Verified;
        break;
    }
  }
  // Under a trailer no attempt outgrows the length it gives, so there is
  // nothing to cut, nor a file position to move under a run that may be
  // reading the image.
  if (trailerAtEnd) return kErrorSuccess;
  if (SeekFile(image, int64_t(imageSize), kSeekBegin) < 0) return FailedOn(kImage, seekFailure());
  return FailedOn(kImage, TruncateFileHere(image));
}

ErrorCode KitReader::ReadTables(uint64_t imageSize) {
  BufferedImageSource source(image_.Get());
  const ErrorCode error = ParseKitImage(source, imageSize, descriptions_, files_);
  return FailedOn(source.ReadFailed() ? KitFailurePlace::Image : KitFailurePlace::Kit, error);
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
  StopGrowth();
  buffered_ = 0;
  if (!imagePath_.empty()) {
    DeleteLockedFile(imagePath_, image_);
    imagePath_.clear();
  }
  image_.Reset();
}

}  // namespace setup
