#pragma once
// The kit image: the decompressed bytes of a distribution kit. All integers are
// little-endian; strings are a u32 count of UTF-16 code units and the units.
//
//   u32 layout flag            0 = one description (language "en"), else many
//   multi:  u32 N, N records   {u32 size, language, product, vendor, description}
//   single: product, vendor, description
//   u32 F, F records           {u32 size, name, u64 time, u32 offset, u32 size}
//   data area                  offsets count from its first byte
//
// Records may be longer than their fields; the reader skips the rest.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

struct KitDescription {
  std::u16string language;
  std::u16string product;
  std::u16string vendor;
  std::u16string description;
};

struct KitFileEntry {
  std::u16string_view name;  // held by the table's name pool
  FileTime lastWriteTime = 0;
  uint32_t position = 0;  // absolute, from the first byte of the image
  uint32_t size = 0;
};

// The names of a file table, in blocks of many names rather than one
// allocation each: a kit of a hundred thousand files would spend more on
// the allocations than on the names. A name never moves once added, nor
// when the pool is moved.
class KitNamePool {
 public:
  KitNamePool() = default;
  // A pool moved from is empty again.
  KitNamePool(KitNamePool&& other) noexcept { *this = std::move(other); }
  KitNamePool& operator=(KitNamePool&& other) noexcept {
    blocks_ = std::move(other.blocks_);
    next_ = std::exchange(other.next_, nullptr);
    left_ = std::exchange(other.left_, 0);
    return *this;
  }

  // A copy of the `units` UTF-16LE code units at `bytes`.
  std::u16string_view Add(const uint8_t* bytes, uint32_t units);

 private:
  std::vector<std::unique_ptr<char16_t[]>> blocks_;
  char16_t* next_ = nullptr;  // where the shared block has room, and how much
  size_t left_ = 0;
};

// A kit's file table: its entries in the kit's order, and their names. It
// moves but is never copied, so no entry outlives its name.
struct KitFileTable {
  std::vector<KitFileEntry> entries;
  KitNamePool names;
};

// Offsets and sizes are 32-bit, so an image can address no more than this.
inline constexpr uint64_t kKitImageSizeLimit = 0xFFFFFFFFull;

// The most memory the tables may take. A few kilobytes of a hostile kit can
// inflate to gigabytes of minimal records, each of which costs more in
// memory than in the image; no honest kit comes near this (a million files
// with long names take about a quarter of it).
inline constexpr uint64_t kKitTableMemoryLimit = 256u * 1024 * 1024;

// The latest last-write time a kit may give. Windows takes a FILETIME for a
// signed number and SetFileTime refuses anything later, so such a kit is
// damaged on every build alike rather than failing halfway through a run on
// one and dating files to 1901 on the other.
inline constexpr FileTime kKitLatestFileTime = 0x7FFFFFFFFFFFFFFFULL;

inline constexpr uint32_t kKitDescriptionRecordMinSize = 4 + 4 * 4;
inline constexpr uint32_t kKitFileRecordMinSize = 4 + 4 + 8 + 4 + 4;

// Sequential reader of image bytes.
class KitByteSource {
 public:
  virtual ~KitByteSource() = default;
  // Reads `count` bytes, fewer only at the end of the data.
  virtual ErrorCode Read(void* buffer, uint32_t count, uint32_t& bytesRead) = 0;
  // Told when the last table byte has been read, before the names are
  // checked: a source fed by another thread can stop feeding.
  virtual void TablesRead() {}
};

// Over bytes already in memory; the fuzzer and the tests use it.
class KitMemorySource : public KitByteSource {
 public:
  KitMemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  ErrorCode Read(void* buffer, uint32_t count, uint32_t& bytesRead) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// True when a stored name, with either separator, stays inside the directory
// it is installed into: not empty, relative, no drive designator, no empty,
// "." or ".." component and no control character. In the Windows style also
// no component that Windows would not take as a plain file name: one ending
// in "." or a blank, one holding ":", or a device name such as "NUL".
bool IsSafeKitEntryName(std::u16string_view name, PathStyle style = kNativePathStyle);

// Hashes names a kit gives, for hash tables. The hash is seeded afresh for
// each process, so that no kit can be built to pile its names into one
// bucket: a table of such names would take time quadratic in their number.
// Units are compared by `style`'s rule (NameComparisonUnit); POSIX takes
// them as they are.
uint64_t KitNameHash(std::u16string_view name, uint64_t start = 0, PathStyle style = PathStyle::Posix);
struct KitNameHasher {
  size_t operator()(std::u16string_view name) const { return size_t(KitNameHash(name)); }
};

// Two entries of which one names a file and the other a file inside a folder
// of the same name ("x" and "x/y.txt"): no installation can create both.
struct KitNameClash {
  size_t file = 0;
  size_t inside = 0;
};

// Looks for such a pair among `names`, split at either separator and
// compared by the style's rule (NameComparisonUnit). 0 when there is none;
// 13 when there is, with `clash` telling the pair; 8 when the folders named
// would take more than `memoryLimit` bytes to follow.
ErrorCode CheckFileFolderNames(const std::vector<std::u16string_view>& names, PathStyle style, KitNameClash& clash,
                               uint64_t memoryLimit = UINT64_MAX);
// The same for the names of `files`.
ErrorCode CheckFileFolderNames(const std::vector<KitFileEntry>& files, PathStyle style, KitNameClash& clash,
                               uint64_t memoryLimit = UINT64_MAX);

// Reads the tables of an image of `imageSize` bytes from `source`, which stands
// at the image's first byte. Appends to `descriptions` and fills `files` with
// absolute positions. Every count, size and string is checked against what is
// left of the image or the record; anything that does not fit, an unsafe name,
// a name both of a file and of a folder (CheckFileFolderNames, in the native
// style), a time past kKitLatestFileTime, file data past the end of the image
// or tables larger in memory than `tableMemoryLimit` (or names that take more
// than that again to follow) give 13. A failing source's code is passed on.
ErrorCode ParseKitImage(KitByteSource& source, uint64_t imageSize,
                        std::vector<KitDescription>& descriptions,
                        KitFileTable& files,
                        uint64_t tableMemoryLimit = kKitTableMemoryLimit);

// ParseKitImage in its two steps, for a caller with other work to do beside
// the second: the tables, every record checked on its own; then the names
// against each other (13 for a file and a folder of one name, or names that
// take more than `tableMemoryLimit` to follow). Only tables that pass both
// are a kit's.
ErrorCode ParseKitTables(KitByteSource& source, uint64_t imageSize,
                         std::vector<KitDescription>& descriptions,
                         KitFileTable& files,
                         uint64_t tableMemoryLimit = kKitTableMemoryLimit);
ErrorCode CheckKitNames(const KitFileTable& files, uint64_t tableMemoryLimit = kKitTableMemoryLimit);

}  // namespace setup
