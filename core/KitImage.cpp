#include "core/KitImage.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <unordered_map>

namespace setup {

namespace {

uint32_t LoadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t LoadU64(const uint8_t* p) { return uint64_t(LoadU32(p)) | uint64_t(LoadU32(p + 4)) << 32; }

std::u16string LoadUtf16(const uint8_t* p, uint32_t units) {
  std::u16string text(units, u'\0');
  for (uint32_t i = 0; i < units; ++i) text[i] = char16_t(p[2 * i] | p[2 * i + 1] << 8);
  return text;
}

// Walks the image front to back and never asks the source for more than the
// image is said to hold, nor lets the tables take more memory than allowed.
class ImageCursor {
 public:
  ImageCursor(KitByteSource& source, uint64_t imageSize, uint64_t memoryLimit)
      : source_(source), size_(imageSize), memoryLeft_(memoryLimit) {}

  // Counts `bytes` more of table memory; false once past the limit.
  bool Hold(uint64_t bytes) {
    if (bytes > memoryLeft_) return false;
    memoryLeft_ -= bytes;
    return true;
  }

  uint64_t Position() const { return position_; }
  uint64_t Remaining() const { return size_ - position_; }

  ErrorCode ReadBytes(void* buffer, uint32_t count) {
    if (count > Remaining()) return kErrorInvalidData;
    uint32_t got = 0;
    if (ErrorCode error = source_.Read(buffer, count, got)) return error;
    // The source holds less than the image size claims.
    if (got != count) return kErrorInvalidData;
    position_ += count;
    return kErrorSuccess;
  }

  ErrorCode ReadU32(uint32_t& value) {
    uint8_t bytes[4];
    if (ErrorCode error = ReadBytes(bytes, 4)) return error;
    value = LoadU32(bytes);
    return kErrorSuccess;
  }

  // A string stored straight in the image, outside any record.
  ErrorCode ReadString(std::u16string& text) {
    uint32_t units = 0;
    if (ErrorCode error = ReadU32(units)) return error;
    if (uint64_t(units) * 2 > Remaining() || !Hold(uint64_t(units) * 2)) return kErrorInvalidData;
    std::vector<uint8_t> bytes(size_t(units) * 2);
    if (ErrorCode error = ReadBytes(bytes.data(), units * 2)) return error;
    text = LoadUtf16(bytes.data(), units);
    return kErrorSuccess;
  }

  // Reads one record whole (its size field and the rest) into `record`,
  // leaving out the size field.
  ErrorCode ReadRecord(uint32_t minSize, std::vector<uint8_t>& record) {
    uint32_t size = 0;
    if (ErrorCode error = ReadU32(size)) return error;
    // What the record holds stays in memory as its fields.
    if (size < minSize || size - 4 > Remaining() || !Hold(size)) return kErrorInvalidData;
    record.resize(size - 4);
    return ReadBytes(record.data(), size - 4);
  }

 private:
  KitByteSource& source_;
  uint64_t size_;
  uint64_t position_ = 0;
  uint64_t memoryLeft_;
};

// Takes fields out of one record buffer, refusing to step past its end.
class RecordFields {
 public:
  explicit RecordFields(const std::vector<uint8_t>& record) : data_(record.data()), size_(record.size()) {}

  bool U32(uint32_t& value) {
    if (size_ - at_ < 4) return false;
    value = LoadU32(data_ + at_);
    at_ += 4;
    return true;
  }
  bool U64(uint64_t& value) {
    if (size_ - at_ < 8) return false;
    value = LoadU64(data_ + at_);
    at_ += 8;
    return true;
  }
  bool String(std::u16string& text) {
    uint32_t units = 0;
    if (!U32(units) || uint64_t(units) * 2 > size_ - at_) return false;
    text = LoadUtf16(data_ + at_, units);
    at_ += size_t(units) * 2;
    return true;
  }
  bool Name(KitNamePool& pool, std::u16string_view& name) {
    uint32_t units = 0;
    if (!U32(units) || uint64_t(units) * 2 > size_ - at_) return false;
    name = pool.Add(data_ + at_, units);
    at_ += size_t(units) * 2;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A stored name may use either separator, whichever build wrote it.
bool IsNameSeparator(char16_t c) { return IsSeparator(c, PathStyle::Windows); }

}  // namespace

uint64_t KitNameHash(std::u16string_view name, uint64_t start, PathStyle style) {
  static const uint64_t seed = [] {
    uint64_t value = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
      std::random_device device;
      value ^= uint64_t(device()) << 32 ^ device();
    } catch (const std::exception&) {
      // The clock alone still differs from one run to the next.
    }
    return value;
  }();
  // FNV-1a from a secret start, then mixed so that every bit of it counts
  // in the bucket chosen.
  uint64_t hash = (14695981039346656037ull ^ seed) + start * 0x9E3779B97F4A7C15ull;
  for (const char16_t c : name) hash = (hash ^ NameComparisonUnit(c, style)) * 1099511628211ull;
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

ErrorCode KitMemorySource::Read(void* buffer, uint32_t count, uint32_t& bytesRead) {
  size_t n = std::min<size_t>(count, size_ - position_);
  if (n) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  bytesRead = uint32_t(n);
  return kErrorSuccess;
}

namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

// Windows opens a device, not a file, for these names, whatever extension
// follows ("nul.txt" too).
bool IsWindowsDeviceName(std::u16string_view component) {
  std::u16string_view stem = component.substr(0, component.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  std::u16string upper;
  for (char16_t c : stem) upper.push_back(AsciiUpper(c));
  if (upper == u"CON" || upper == u"PRN" || upper == u"AUX" || upper == u"NUL" || upper == u"CONIN$" ||
      upper == u"CONOUT$") {
    return true;
  }
  return upper.size() == 4 && (upper.starts_with(u"COM") || upper.starts_with(u"LPT")) && upper[3] >= u'1' &&
         upper[3] <= u'9';
}

// What Windows would make of a component other than a plain name: it drops
// trailing dots and blanks (so ".. " would climb out of the directory), a
// colon names a stream of another file, '*' and '?' are wildcards to the
// finder, the other reserved characters make no file at all, and device
// names are no files.
bool IsSafeWindowsComponent(std::u16string_view component) {
  if (component.back() == u'.' || component.back() == u' ') return false;
  if (component.find_first_of(u":*?\"<>|") != std::u16string_view::npos) return false;
  return !IsWindowsDeviceName(component);
}

}  // namespace

bool IsSafeKitEntryName(std::u16string_view name, PathStyle style) {
  if (name.empty()) return false;
  char16_t first = name[0];
  bool letter = (first >= u'A' && first <= u'Z') || (first >= u'a' && first <= u'z');
  if (letter && name.size() >= 2 && name[1] == u':') return false;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || IsNameSeparator(name[i])) {
      std::u16string_view component = name.substr(start, i - start);
      if (component.empty() || component == u"." || component == u"..") return false;
      if (style == PathStyle::Windows && !IsSafeWindowsComponent(component)) return false;
      start = i + 1;
    } else if (name[i] < 0x20) {
      return false;
    }
  }
  return true;
}

namespace {

// A folder or a file among the names: the number of its folder (0 for the
// directory the kit is installed into) and its own name.
struct NameNodeKey {
  uint32_t parent;
  std::u16string_view name;
};

struct NameNodeHash {
  PathStyle style;
  size_t operator()(const NameNodeKey& key) const {
    return size_t(KitNameHash(key.name, key.parent, style));
  }
};

struct NameNodeEqual {
  PathStyle style;
  bool operator()(const NameNodeKey& a, const NameNodeKey& b) const {
    if (a.parent != b.parent || a.name.size() != b.name.size()) return false;
    for (size_t i = 0; i < a.name.size(); ++i) {
      if (NameComparisonUnit(a.name[i], style) != NameComparisonUnit(b.name[i], style)) return false;
    }
    return true;
  }
};

constexpr size_t kNoEntry = SIZE_MAX;

struct NameNode {
  uint32_t number;
  size_t folderEntry = kNoEntry;  // the first entry inside it
};

}  // namespace

namespace {

// `nameAt(i)` gives the i-th of `count` names.
template <class NameAt>
ErrorCode CheckNames(size_t count, const NameAt& nameAt, PathStyle style, KitNameClash& clash, uint64_t memoryLimit) {
  // Every folder once, keyed by its own folder's number and its name, so a
  // name costs time in proportion to its length however deep it goes, and
  // memory goes to the folders alone: a kit has far fewer of them than files.
  using Nodes = std::unordered_map<NameNodeKey, NameNode, NameNodeHash, NameNodeEqual>;
  constexpr uint64_t kNodeCost = sizeof(Nodes::value_type) + 3 * sizeof(void*);
  Nodes folders(0, NameNodeHash{style}, NameNodeEqual{style});
  // A kit's names come folder by folder: a name in the same folder as the
  // one before starts at that folder.
  std::u16string_view lastFolder;
  uint32_t lastNumber = 0;
  bool haveLast = false;
  // The number of the folder part of entry `i` (up to its last separator; 0
  // for the directory itself), its folders added as they are met (`add`) or
  // only looked up, once all are there.
  const auto folderOf = [&](size_t i, std::u16string_view folder, bool add, uint32_t& number) -> ErrorCode {
    if (haveLast && folder == lastFolder) {
      number = lastNumber;
      return kErrorSuccess;
    }
    number = 0;
    for (size_t start = 0, end = 0; end < folder.size(); ++end) {
      if (!IsNameSeparator(folder[end])) continue;
      const NameNodeKey key{number, folder.substr(start, end - start)};
      if (add) {
        const auto [at, added] = folders.try_emplace(key, NameNode{uint32_t(folders.size() + 1), i});
        if (added && (memoryLimit < kNodeCost || folders.size() > UINT32_MAX - 1)) return kErrorNotEnoughMemory;
        if (added) memoryLimit -= kNodeCost;
        number = at->second.number;
      } else {
        number = folders.find(key)->second.number;
      }
      start = end + 1;
    }
    lastFolder = folder;
    lastNumber = number;
    haveLast = true;
    return kErrorSuccess;
  };
  const auto leafOf = [](std::u16string_view name) {
    size_t leaf = name.size();
    while (leaf > 0 && !IsNameSeparator(name[leaf - 1])) --leaf;
    return leaf;
  };
  for (size_t i = 0; i < count; ++i) {
    const std::u16string_view name = nameAt(i);
    uint32_t number = 0;
    if (const ErrorCode code = folderOf(i, name.substr(0, leafOf(name)), true, number)) return code;
  }
  // A file clashes with a folder exactly when its own name is one.
  haveLast = false;
  for (size_t i = 0; i < count; ++i) {
    const std::u16string_view name = nameAt(i);
    const size_t leaf = leafOf(name);
    uint32_t number = 0;
    folderOf(i, name.substr(0, leaf), false, number);
    const auto folder = folders.find({number, name.substr(leaf)});
    if (folder != folders.end()) {
      clash = {i, folder->second.folderEntry};
      return kErrorInvalidData;
    }
  }
  return kErrorSuccess;
}

}  // namespace

ErrorCode CheckFileFolderNames(const std::vector<std::u16string_view>& names, PathStyle style, KitNameClash& clash,
                               uint64_t memoryLimit) {
  return CheckNames(names.size(), [&names](size_t i) { return names[i]; }, style, clash, memoryLimit);
}

ErrorCode CheckFileFolderNames(const std::vector<KitFileEntry>& files, PathStyle style, KitNameClash& clash,
                               uint64_t memoryLimit) {
  return CheckNames(files.size(), [&files](size_t i) { return files[i].name; }, style, clash, memoryLimit);
}

std::u16string_view KitNamePool::Add(const uint8_t* bytes, uint32_t units) {
  // Blocks of 64 KiB. A name longer than an eighth of one gets a block of its
  // own size, so that no block loses more than an eighth to its end and the
  // names take little more than the table's memory allowance counts.
  constexpr size_t kBlockUnits = 32768;
  if (units == 0) return {};
  char16_t* name = nullptr;
  if (units > kBlockUnits / 8) {
    blocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(units));
    name = blocks_.back().get();
  } else {
    if (units > left_) {
      blocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(kBlockUnits));
      next_ = blocks_.back().get();
      left_ = kBlockUnits;
    }
    name = next_;
    next_ += units;
    left_ -= units;
  }
  for (uint32_t i = 0; i < units; ++i) name[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return {name, units};
}

ErrorCode ParseKitTables(KitByteSource& source, uint64_t imageSize,
                         std::vector<KitDescription>& descriptions,
                         KitFileTable& files,
                         uint64_t tableMemoryLimit) {
  files = {};
  if (imageSize > kKitImageSizeLimit) return kErrorInvalidData;
  ImageCursor cursor(source, imageSize, tableMemoryLimit);
  std::vector<uint8_t> record;

  uint32_t layout = 0;
  if (ErrorCode error = cursor.ReadU32(layout)) return error;
  if (layout != 0) {
    uint32_t count = 0;
    if (ErrorCode error = cursor.ReadU32(count)) return error;
    if (uint64_t(count) * kKitDescriptionRecordMinSize > cursor.Remaining()) return kErrorInvalidData;
    for (uint32_t i = 0; i < count; ++i) {
      if (!cursor.Hold(sizeof(KitDescription))) return kErrorInvalidData;
      if (ErrorCode error = cursor.ReadRecord(kKitDescriptionRecordMinSize, record)) return error;
      RecordFields fields(record);
      KitDescription description;
      if (!fields.String(description.language) || !fields.String(description.product) ||
          !fields.String(description.vendor) || !fields.String(description.description)) {
        return kErrorInvalidData;
      }
      descriptions.push_back(std::move(description));
    }
  } else {
    KitDescription description;
    description.language = u"en";
    if (ErrorCode error = cursor.ReadString(description.product)) return error;
    if (ErrorCode error = cursor.ReadString(description.vendor)) return error;
    if (ErrorCode error = cursor.ReadString(description.description)) return error;
    descriptions.push_back(std::move(description));
  }

  uint32_t count = 0;
  if (ErrorCode error = cursor.ReadU32(count)) return error;
  if (uint64_t(count) * kKitFileRecordMinSize > cursor.Remaining()) return kErrorInvalidData;
  // Room for the whole table at once, as far as the tables' memory allowance
  // goes: a table grown entry by entry ends up with up to twice the room.
  KitFileTable table;
  table.entries.reserve(std::min<uint64_t>(count, tableMemoryLimit / sizeof(KitFileEntry)));
  for (uint32_t i = 0; i < count; ++i) {
    if (!cursor.Hold(sizeof(KitFileEntry))) return kErrorInvalidData;
    if (ErrorCode error = cursor.ReadRecord(kKitFileRecordMinSize, record)) return error;
    RecordFields fields(record);
    KitFileEntry entry;
    if (!fields.Name(table.names, entry.name) || !fields.U64(entry.lastWriteTime) || !fields.U32(entry.position) ||
        !fields.U32(entry.size)) {
      return kErrorInvalidData;
    }
    if (!IsSafeKitEntryName(entry.name) || entry.lastWriteTime > kKitLatestFileTime) return kErrorInvalidData;
    table.entries.push_back(entry);
  }
  source.TablesRead();

  // Offsets count from the data area; turn them into image positions, and
  // refuse data past the end now rather than halfway through an installation.
  uint64_t dataStart = cursor.Position();
  for (KitFileEntry& entry : table.entries) {
    uint64_t position = dataStart + entry.position;
    if (position + entry.size > imageSize) return kErrorInvalidData;
    entry.position = uint32_t(position);
  }
  files = std::move(table);
  return kErrorSuccess;
}

ErrorCode CheckKitNames(const KitFileTable& files, uint64_t tableMemoryLimit) {
  // A kit that no run could install whole is as good as damaged. Following
  // the names may take as much memory again as the tables.
  KitNameClash clash;
  return CheckFileFolderNames(files.entries, kNativePathStyle, clash, tableMemoryLimit) != 0 ? kErrorInvalidData
                                                                                              : kErrorSuccess;
}

ErrorCode ParseKitImage(KitByteSource& source, uint64_t imageSize,
                        std::vector<KitDescription>& descriptions,
                        KitFileTable& files,
                        uint64_t tableMemoryLimit) {
  ErrorCode error = ParseKitTables(source, imageSize, descriptions, files, tableMemoryLimit);
  if (!error) error = CheckKitNames(files, tableMemoryLimit);
  if (error) files = {};
  return error;
}

}  // namespace setup
