#include "KitPacker.h"

#include <zlib.h>

#include <algorithm>

#include "ProgramText.h"
#include "TreeFiles.h"
#include "core/KitTrailer.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace okdpack {

namespace {

using setup::KitDescription;

constexpr size_t kChunkSize = 65536;

struct Item {
  std::string relative;  // with "/" between components, as the walk gave it
  std::u16string name;   // as stored in the kit
  uint64_t size = 0;
  setup::FileTime time = 0;
};

bool StoredName(const PackOptions& options, const std::string& path, const std::string& relative,
                std::u16string& name, std::string& message) {
  std::u16string wide = ToWide(relative);
  if (FromWide(wide) != relative) {
    message = path + ": the name is not valid text in this locale's encoding";
    return false;
  }
  // On Linux "\" may sit inside a name, but the reader takes it for a
  // separator and would install the file somewhere else.
  if (wide.find(u'\\') != std::u16string::npos) {
    message = path + ": names holding \"\\\" cannot be packed";
    return false;
  }
  if (!setup::IsSafeKitEntryName(wide, setup::PathStyle::Posix)) {
    message = path + ": the name would be refused by the kit reader";
    return false;
  }
  // One kit serves both programs, so a name Windows would not take as a
  // plain file name (a trailing dot or blank, a colon, "nul") is refused
  // here rather than there, where the whole kit would count as damaged.
  if (!setup::IsSafeKitEntryName(wide, setup::PathStyle::Windows)) {
    message = path + ": the name cannot be installed on Windows";
    return false;
  }
  for (char16_t& c : wide) {
    if (c == u'/') c = options.separator;
  }
  name = std::move(wide);
  return true;
}

void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(char(value >> (8 * i)));
}

void PutU64(std::string& out, uint64_t value) {
  PutU32(out, uint32_t(value));
  PutU32(out, uint32_t(value >> 32));
}

void PutString(std::string& out, const std::u16string& text) {
  PutU32(out, uint32_t(text.size()));
  for (char16_t c : text) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
}

std::string Record(const std::string& fields) {
  std::string record;
  PutU32(record, uint32_t(fields.size() + 4));
  return record + fields;
}

// Deflates into the kit file chunk by chunk.
class DeflateWriter {
 public:
  DeflateWriter(KitFile& kit, const std::string& path) : kit_(kit), path_(path), output_(kChunkSize) {}
  ~DeflateWriter() {
    if (ready_) deflateEnd(&stream_);
  }

  bool Init(int level, std::string& message) {
    // Raw DEFLATE with a 32 KiB window: the kit carries no wrapper.
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      message = path_ + ": cannot set up compression";
      return false;
    }
    ready_ = true;
    return true;
  }

  bool Write(const void* data, size_t size, std::string& message) {
    trailer_.imageCrc = setup::KitCrc32(trailer_.imageCrc, static_cast<const uint8_t*>(data), size);
    trailer_.imageLength += size;
    stream_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    stream_.avail_in = uInt(size);
    return Pump(Z_NO_FLUSH, message);
  }

  // Ends the stream and puts the trailer after it, by which a reader proves
  // the kit whole.
  bool Finish(std::string& message) {
    if (!Pump(Z_FINISH, message)) return false;
    const auto trailer = setup::EncodeKitTrailer(trailer_);
    return kit_.Write(trailer.data(), trailer.size(), message);
  }

 private:
  bool Pump(int flush, std::string& message) {
    for (;;) {
      stream_.next_out = output_.data();
      stream_.avail_out = uInt(output_.size());
      int result = deflate(&stream_, flush);
      if (result == Z_STREAM_ERROR) {
        message = path_ + ": compression failed";
        return false;
      }
      size_t produced = output_.size() - stream_.avail_out;
      trailer_.streamCrc = setup::KitCrc32(trailer_.streamCrc, output_.data(), produced);
      trailer_.streamLength += produced;
      if (produced > 0 && !kit_.Write(output_.data(), produced, message)) return false;
      if (flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0) return true;
    }
  }

  KitFile& kit_;
  std::string path_;
  std::vector<uint8_t> output_;
  z_stream stream_{};
  bool ready_ = false;
  setup::KitTrailer trailer_;
};

std::string Tables(const PackOptions& options, const std::vector<Item>& items) {
  std::string image;
  if (options.single) {
    PutU32(image, 0);
    const KitDescription& d = options.descriptions.front();
    PutString(image, d.product);
    PutString(image, d.vendor);
    PutString(image, d.description);
  } else {
    PutU32(image, 1);
    PutU32(image, uint32_t(options.descriptions.size()));
    for (const KitDescription& d : options.descriptions) {
      std::string fields;
      PutString(fields, d.language);
      PutString(fields, d.product);
      PutString(fields, d.vendor);
      PutString(fields, d.description);
      image += Record(fields);
    }
  }
  PutU32(image, uint32_t(items.size()));
  uint64_t offset = 0;
  for (const Item& item : items) {
    std::string fields;
    PutString(fields, item.name);
    PutU64(fields, item.time);
    PutU32(fields, uint32_t(offset));
    PutU32(fields, uint32_t(item.size));
    image += Record(fields);
    offset += item.size;
  }
  return image;
}

// Copies one file into the stream, insisting it still has the size it was
// listed with: the table already promised that many bytes.
bool CopyFile(const PackOptions& options, const Item& item, DeflateWriter& writer, std::vector<uint8_t>& buffer,
              std::string& message) {
  std::string path = JoinedPath(options.directory, item.relative);
  SourceFile file;
  if (!file.Open(path, message)) return false;
  uint64_t total = 0;
  for (;;) {
    size_t n = 0;
    if (!file.Read(buffer.data(), buffer.size(), n, message)) return false;
    if (n == 0) break;
    total += uint64_t(n);
    if (total > item.size) break;
    if (!writer.Write(buffer.data(), n, message)) return false;
  }
  if (total != item.size) {
    message = path + ": the file changed while it was being packed";
    return false;
  }
  return true;
}

}  // namespace

std::string JoinedPath(const std::string& directory, const std::string& relative) {
  constexpr char separator = char(setup::kPathSeparator);
  std::string path = directory;
  // "C:" names the drive's current folder, which a separator would turn into its root.
  const bool drive = path.size() == 2 && setup::IsDriveDesignator(setup::Utf8ToUtf16(path));
  if (!path.empty() && !drive && !setup::IsSeparator(char16_t(static_cast<unsigned char>(path.back())))) {
    path.push_back(separator);
  }
  for (char c : relative) path.push_back(c == '/' ? separator : c);
  return path;
}

int Pack(const PackOptions& options, std::string& message) {
  std::vector<Item> items;
  auto take = [&](TreeFile&& file, std::string& why) {
    Item item;
    item.relative = std::move(file.relative);
    item.size = file.size;
    item.time = options.time.value_or(file.time);
    if (!StoredName(options, JoinedPath(options.directory, item.relative), item.relative, item.name, why)) {
      return false;
    }
    items.push_back(std::move(item));
    return true;
  };
  if (!WalkTree(options.directory, options.kit, take, message)) return 1;
  // The walk already visits names in order; sorting the full paths makes the
  // order independent of how components compare against "/". Both builds
  // compare the bytes of the names as UTF-8 (on Linux under a UTF-8 locale),
  // which is the order of their code points, so they pack a tree alike.
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.relative < b.relative; });
  // Linux may hold a file "data" beside a folder "Data"; Windows takes them
  // for one name, and its reader would count the whole kit as damaged.
  std::vector<std::u16string_view> names;
  names.reserve(items.size());
  for (const Item& item : items) names.push_back(item.name);
  setup::KitNameClash clash;
  if (setup::CheckFileFolderNames(names, setup::PathStyle::Windows, clash) != 0) {
    message = JoinedPath(options.directory, items[clash.file].relative) + ": on Windows the same name as the folder of " +
              JoinedPath(options.directory, items[clash.inside].relative);
    return 1;
  }

  std::string tables = Tables(options, items);
  uint64_t imageSize = tables.size();
  for (const Item& item : items) {
    if (item.size > setup::kKitImageSizeLimit) {
      message = JoinedPath(options.directory, item.relative) + ": larger than the 4294967295 bytes a kit can address";
      return 1;
    }
    imageSize += item.size;
  }
  if (imageSize > setup::kKitImageSizeLimit) {
    message = options.directory + ": the kit would hold " + std::to_string(imageSize) +
              " bytes, more than the 4294967295 a kit can address";
    return 1;
  }

  KitFile kit;
  if (!kit.Create(options.kit, message)) return 1;
  DeflateWriter writer(kit, options.kit);
  if (!writer.Init(options.level, message)) return 1;
  if (!writer.Write(tables.data(), tables.size(), message)) return 1;
  std::string().swap(tables);
  std::vector<uint8_t> buffer(kChunkSize);
  for (const Item& item : items) {
    if (!CopyFile(options, item, writer, buffer, message)) return 1;
  }
  if (!writer.Finish(message)) return 1;
  return kit.Commit(message) ? 0 : 1;
}

}  // namespace okdpack
