#pragma once
// The distribution kit: one raw DEFLATE stream whose decompressed bytes, the
// kit image, hold the package descriptions, the file table and the file data.
// KitReader inflates the kit into a private temporary image, reads the tables
// into memory and keeps the image open so the engine can copy file data out of
// it on demand.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Inflater.h"
#include "core/KitImage.h"
#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

// Which file a failed Read or ReopenImage could not use: the kit (it could
// not be opened or read, or its data is not a kit's), or the image in the
// temporary directory (it could not be made, written or read back).
enum class KitFailurePlace { None, Kit, Image };

// What a Read found out about the kit's wholeness.
enum class KitIntegrity {
  Unknown,         // not read, or it failed before the kit's data was judged
  Verified,        // its trailer matched: the image is the one okdpack packed
  Unchecked,       // it reads, but carries no trailer (an older okdpack's kit)
  DamagedData,     // its DEFLATE stream or its tables are not a kit's
  DamagedTrailer,  // a trailer is there, but cut, altered or of a later version
  Mismatch,        // the stream's end, the image's length or its CRC-32 differ
                   // from what the trailer says
};

struct ProductAndVendor {
  std::u16string product;
  std::u16string vendor;
};

class KitReader {
 public:
  // File data is read from the image through this buffer; it lives as long
  // as the reader so a run allocates it once. A quarter of a megabyte holds
  // hundreds of small files per read, and a larger one gained nothing but
  // memory, which a kit of a hundred thousand files needs for its table.
  static constexpr uint32_t kTransferBufferSize = 256 * 1024;

  KitReader();
  ~KitReader();
  KitReader(const KitReader&) = delete;
  KitReader& operator=(const KitReader&) = delete;

  // Inflates the kit at `kitPath` into a new "odk" file in the temporary
  // directory and reads its tables, checking the image against the kit's
  // trailer while it inflates when the kit has one. 0 on success; 13 for a
  // damaged kit (Integrity tells how), 112
  // when the temporary directory filled up, 1223 when the stop check asked
  // to stop, otherwise the file layer's code of the step that failed, whose
  // file FailurePlace tells. On failure the image is closed and deleted and
  // the file table is empty.
  ErrorCode Read(const std::u16string& kitPath);

  // Where the last Read or ReopenImage failed; None after a success or a stop.
  KitFailurePlace FailurePlace() const { return failurePlace_; }
  // Whether the last Read proved the kit whole, or why it refused it.
  KitIntegrity Integrity() const { return integrity_; }

  // Product and vendor of the first description in `language` (case ignored);
  // both empty when there is none.
  ProductAndVendor FindProductAndVendor(const std::u16string& language) const;
  // Description reference in `language`, falling back to the "en" one when
  // that language has none or an empty one.
  std::u16string FindDescription(const std::u16string& language) const;

  const std::vector<KitDescription>& Descriptions() const { return descriptions_; }
  const std::vector<KitFileEntry>& Files() const { return files_.entries; }
  FileHandle ImageHandle() const { return image_.Get(); }
  const std::u16string& ImagePath() const { return imagePath_; }
  // Up to `want` bytes of the image from `position` on, at `data`, valid
  // until the next call: fewer where the buffer ends. The buffer is filled
  // from `position` on with as much as it holds, since the entries' data lie
  // in the image in their order: a run of small files costs one read for
  // many files. 13 when the image ends before `position`.
  ErrorCode ViewImage(uint64_t position, uint32_t want, const uint8_t*& data, uint32_t& got);

  // After a Read that returned while the image still grows (below): waits
  // for the rest of the kit to inflate and gives what Read would have given
  // had it waited, 13 for an image other than the one the trailer describes.
  // The tables stay either way; on failure the image is closed and deleted.
  // 0 at once after any other Read, and the same answer when asked again.
  ErrorCode FinishImage();
  // The same, without waiting: 0 while the image still grows or has grown
  // whole. Tells a run whose read of the image failed whether the kit, not
  // the file it was writing, was at fault.
  ErrorCode ImageError();

  // Closes and deletes the image, stopping its inflation first. Harmless to
  // repeat.
  void Close();

  // Closes and deletes the image but keeps the tables: a file deleted before
  // its data reaches the disk never gets there, so a flush of the file system
  // after the last file is copied need not write the image too.
  void DiscardImage();
  // Inflates the kit again into a new image after DiscardImage, for another
  // run with the same reader; 0 at once when it was not discarded. A kit that no
  // longer inflates to an image of the same size gives 13.
  ErrorCode ReopenImage();

  // The largest image Read accepts; inflation stops past it, so a small kit
  // cannot fill the temporary directory. Lowered by tests.
  void SetImageSizeLimit(uint64_t limit) { imageSizeLimit_ = limit; }

  // Asked between pieces of the kit while it unpacks; when it answers true,
  // Read stops and gives 1223. Unpacking a large kit takes long enough that
  // a termination signal must not have to wait for its end.
  void SetStopCheck(bool (*stopRequested)()) { stopRequested_ = stopRequested; }

  // Called with the file table once Read has it, before Read returns; again
  // should Read have to read the kit once more. When the kit's trailer gives
  // the image's length up front, the tables are read on a thread of the
  // reader's own as the kit inflates, and the listener runs there; what it
  // finds counts only if Read then succeeds.
  //
  // With a listener, a kit whose trailer vouches for its stream (checked
  // against the kit's bytes first, so that damage is still refused before
  // anything is installed) may have Read return once the listener has
  // answered that it wants the data, while the rest of the image inflates
  // on the reader's own thread. ViewImage then waits for the bytes it is
  // asked for, and FinishImage for the end; only Files, Descriptions,
  // ViewImage, ImagePath, FinishImage, ImageError and Close may be called
  // before that. A run copies the first files while the last ones inflate.
  //
  // It answers whether a run will need the file data. There, the data waits
  // until it answers, so that it has the machine to itself, or until it calls
  // `wantData` to let the data inflate on while it carries on. An answer of
  // false lets Read stop once the tables are read: the rest of the stream is
  // checked against the trailer's CRC-32 without being inflated, and the
  // image is let go as by DiscardImage, for ReopenImage to make whole should
  // a run need it after all. A reinstall that finds every file in place
  // costs the tables and the look, not the data.
  using DataWanted = std::function<void()>;
  using TableListener = std::function<bool(const std::vector<KitFileEntry>&, const DataWanted& wantData)>;
  void SetTableListener(TableListener listener) { tableListener_ = std::move(listener); }

  // The DEFLATE back-end; the build's own unless a test compares another.
  void SetInflaterFactory(std::unique_ptr<Inflater> (*factory)()) { inflaterFactory_ = factory; }

 private:
  // `withTables`: the tables are read as the image inflates, where the
  // kit's trailer allows it (tablesStreamed_ then tells the outcome).
  ErrorCode Decompress(const std::u16string& kitPath, bool withTables, uint64_t& imageSize);
  ErrorCode Inflate(const std::u16string& kitPath, std::unique_ptr<Inflater> (*factory)(), bool withTables,
                    uint64_t& imageSize, bool& ended, bool& tooLarge);
  ErrorCode ReadTables(uint64_t imageSize);
  ErrorCode MakeImage(bool withTables, uint64_t& imageSize);
  // Notes where a step failed; `error` is passed on.
  ErrorCode FailedOn(KitFailurePlace place, ErrorCode error);
  // Read's tail for a table listener: the kit inflates on a thread of its
  // own; `growing` tells that Read may return while it still does.
  ErrorCode MakeImageBeside(bool& growing);
  // Whether the kit's stream, read anew, is the one its trailer describes.
  ErrorCode CheckStream(uint64_t streamLength, uint32_t streamCrc);
  // Waits for the inflating thread and gives its result, and the size of
  // the image it made.
  ErrorCode JoinGrowth(uint64_t* imageSize = nullptr);
  // Read's verdict on what MakeImage and the table listener left.
  ErrorCode Conclude(ErrorCode error);
  // For the inflating thread: the image has `size` bytes now.
  void ImageGrew(uint64_t size);
  // For the table thread: the tables' verdict, and whether the listener
  // wants the data.
  void TablesSettled(ErrorCode result, bool wanted);
  // For the inflating thread: a trailer at the kit's end vouches for
  // `streamLength` bytes of stream with CRC-32 `streamCrc`.
  void StreamSealed(uint64_t streamLength, uint32_t streamCrc, uint64_t imageLength);
  bool GrowthStopped() const;
  // Stops the inflating thread, if any, and waits for it.
  void StopGrowth();
  // For ViewImage while the image grows: waits until the bytes from
  // `position` on are there, `want` of them or a buffer's worth, and tells
  // how many may be read.
  ErrorCode AwaitImage(uint64_t position, uint32_t want, uint32_t& space);

  struct Growth;
  std::unique_ptr<Growth> growth_;
  ErrorCode imageError_ = kErrorSuccess;

  std::vector<KitDescription> descriptions_;
  KitFileTable files_;
  std::u16string imagePath_;
  ScopedFileHandle image_;
  std::u16string kitPath_;
  uint64_t imageSize_ = 0;
  bool imageDiscarded_ = false;
  KitFailurePlace failurePlace_ = KitFailurePlace::None;
  KitIntegrity integrity_ = KitIntegrity::Unknown;
  uint64_t imageSizeLimit_ = kKitImageSizeLimit;
  bool (*stopRequested_)() = nullptr;
  TableListener tableListener_;
  // Whether the last inflation read the tables too, and what that gave; and
  // whether it stopped there, since the listener needed no file data.
  bool tablesStreamed_ = false;
  bool dataSkipped_ = false;
  ErrorCode tablesError_ = kErrorSuccess;
  std::unique_ptr<uint8_t[]> transferBuffer_;
  // The part of the image the buffer holds.
  uint64_t bufferedFrom_ = 0;
  uint32_t buffered_ = 0;
  std::unique_ptr<Inflater> (*inflaterFactory_)();
};

}  // namespace setup
