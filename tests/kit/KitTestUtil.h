#pragma once
// Kit images built by hand in the tests, independent of okdpack, and the
// checks that a reader holds exactly what went into them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "core/KitReader.h"
#include "core/KitTrailer.h"
#include "platform/Text.h"

namespace setup::kittest {

inline void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(char(value >> (8 * i)));
}

inline void PutU64(std::string& out, uint64_t value) {
  PutU32(out, uint32_t(value));
  PutU32(out, uint32_t(value >> 32));
}

inline void PutString(std::string& out, std::u16string_view text) {
  PutU32(out, uint32_t(text.size()));
  for (char16_t c : text) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
}

// A record: its size (4 + fields + padding) and its fields, then `padding`
// bytes the reader must skip.
inline std::string Record(const std::string& fields, size_t padding = 0) {
  std::string record;
  PutU32(record, uint32_t(4 + fields.size() + padding));
  record += fields;
  record.append(padding, '\xEE');
  return record;
}

inline std::string DescriptionRecord(const KitDescription& d, size_t padding = 0) {
  std::string fields;
  PutString(fields, d.language);
  PutString(fields, d.product);
  PutString(fields, d.vendor);
  PutString(fields, d.description);
  return Record(fields, padding);
}

inline std::string FileRecord(std::u16string_view name, FileTime time, uint32_t offset, uint32_t size,
                              size_t padding = 0) {
  std::string fields;
  PutString(fields, name);
  PutU64(fields, time);
  PutU32(fields, offset);
  PutU32(fields, size);
  return Record(fields, padding);
}

struct ModelFile {
  std::u16string name;
  FileTime time = 0;
  std::string data;
};

// What a kit should hold, and the image that holds it.
struct KitModel {
  bool single = false;
  std::vector<KitDescription> descriptions;
  std::vector<ModelFile> files;
  size_t recordPadding = 0;

  std::string Image() const {
    std::string image;
    if (single) {
      PutU32(image, 0);
      PutString(image, descriptions.at(0).product);
      PutString(image, descriptions.at(0).vendor);
      PutString(image, descriptions.at(0).description);
    } else {
      PutU32(image, 7);  // any non-zero flag selects this layout
      PutU32(image, uint32_t(descriptions.size()));
      for (const KitDescription& d : descriptions) image += DescriptionRecord(d, recordPadding);
    }
    PutU32(image, uint32_t(files.size()));
    uint32_t offset = 0;
    for (const ModelFile& f : files) {
      image += FileRecord(f.name, f.time, offset, uint32_t(f.data.size()), recordPadding);
      offset += uint32_t(f.data.size());
    }
    for (const ModelFile& f : files) image += f.data;
    return image;
  }
};

inline std::string DeflateRaw(const std::string& data, int level = 9, int strategy = Z_DEFAULT_STRATEGY) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) std::abort();
  std::string out(deflateBound(&s, uLong(data.size())), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = uInt(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = uInt(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// The trailer okdpack puts after a stream that inflates to `image`, with
// each field open to a test's change.
inline KitTrailer TrailerOf(const std::string& stream, const std::string& image) {
  KitTrailer trailer;
  trailer.streamLength = stream.size();
  trailer.imageLength = image.size();
  trailer.imageCrc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(image.data()), uInt(image.size())));
  trailer.streamCrc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(stream.data()), uInt(stream.size())));
  return trailer;
}

inline std::string TrailerBytes(const KitTrailer& trailer) {
  const auto bytes = EncodeKitTrailer(trailer);
  return std::string(bytes.begin(), bytes.end());
}

// A kit as okdpack packs it: the stream and its trailer.
inline std::string SealedKit(const std::string& image, int level = 9) {
  const std::string stream = DeflateRaw(image, level);
  return stream + TrailerBytes(TrailerOf(stream, image));
}

// A kit of every regular file below `directory`, as okdpack would pack it:
// names relative to the directory with "\\" between their parts, last-write
// times as they are on disk, sorted by name. Made in the test's own process,
// so it works where okdpack cannot run (the Windows build under Wine).
inline KitModel ModelOfTree(const std::string& directory) {
  namespace fs = std::filesystem;
  KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Vendor", u"readme.txt"}};
  const fs::path root(std::u8string(reinterpret_cast<const char8_t*>(directory.data()), directory.size()));
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::u8string relative = entry.path().lexically_relative(root).generic_u8string();
    std::u16string name = Utf8ToUtf16(std::string(relative.begin(), relative.end()));
    for (char16_t& c : name) {
      if (c == u'/') c = u'\\';
    }
    const std::u8string full = entry.path().u8string();
    const std::string path(full.begin(), full.end());
    model.files.push_back({name, test::WriteTimeOf(path), test::ReadFile(path)});
  }
  std::sort(model.files.begin(), model.files.end(),
            [](const ModelFile& a, const ModelFile& b) { return a.name < b.name; });
  return model;
}

// Packs `directory` (ModelOfTree) into the kit file `kit`.
inline void PackTree(const std::string& directory, const std::string& kit) {
  test::WriteFile(kit, DeflateRaw(ModelOfTree(directory).Image()));
}

// While one of these lives, the inflaters of CreateGatedInflater hand over
// their first piece of output and then hold the rest of the kit back until
// it opens: a reader that returns before its kit has inflated whole can be
// caught doing so.
class InflaterGate {
 public:
  InflaterGate() { Current() = this; }
  ~InflaterGate() {
    Open();
    if (opener_.joinable()) opener_.join();
    Current() = nullptr;
  }
  InflaterGate(const InflaterGate&) = delete;
  InflaterGate& operator=(const InflaterGate&) = delete;

  static InflaterGate*& Current() {
    static InflaterGate* gate = nullptr;
    return gate;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  // Opens on a thread of its own once `delay` has passed.
  void OpenAfter(std::chrono::milliseconds delay) {
    opener_ = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      Open();
    });
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  std::thread opener_;
};

class GatedInflater : public Inflater {
 public:
  InflateStatus Inflate(const uint8_t*& in, uint32_t& inLength, uint8_t* out, uint32_t outSpace,
                        uint32_t& produced) override {
    if (gave_ && InflaterGate::Current()) InflaterGate::Current()->Wait();
    const InflateStatus status = real_->Inflate(in, inLength, out, outSpace, produced);
    gave_ = gave_ || produced > 0;
    return status;
  }
  uint32_t BytesPastStreamEnd() const override { return real_->BytesPastStreamEnd(); }

 private:
  std::unique_ptr<Inflater> real_ = CreateKitInflater();
  bool gave_ = false;
};

inline std::unique_ptr<Inflater> CreateGatedInflater() { return std::make_unique<GatedInflater>(); }

// Reads `size` bytes at `position` of the open image, as the engine does.
inline std::string ImageBytes(const KitReader& reader, uint32_t position, uint32_t size) {
  if (SeekFile(reader.ImageHandle(), position, kSeekBegin) != int64_t(position)) return "<seek failed>";
  std::string bytes(size, '\0');
  uint32_t got = 0;
  if (ReadFromFile(reader.ImageHandle(), bytes.data(), size, got) != 0) return "<read failed>";
  bytes.resize(got);
  return bytes;
}

inline void ExpectHolds(const KitReader& reader, const KitModel& model) {
  ASSERT_EQ(reader.Descriptions().size(), model.descriptions.size());
  for (size_t i = 0; i < model.descriptions.size(); ++i) {
    const KitDescription& got = reader.Descriptions()[i];
    const KitDescription& want = model.descriptions[i];
    EXPECT_EQ(got.language, want.language) << i;
    EXPECT_EQ(got.product, want.product) << i;
    EXPECT_EQ(got.vendor, want.vendor) << i;
    EXPECT_EQ(got.description, want.description) << i;
  }
  ASSERT_EQ(reader.Files().size(), model.files.size());
  for (size_t i = 0; i < model.files.size(); ++i) {
    const KitFileEntry& got = reader.Files()[i];
    EXPECT_EQ(got.name, model.files[i].name) << i;
    EXPECT_EQ(got.lastWriteTime, model.files[i].time) << i;
    ASSERT_EQ(got.size, model.files[i].data.size()) << i;
    EXPECT_TRUE(ImageBytes(reader, got.position, got.size) == model.files[i].data) << "data of entry " << i;
  }
}

// Text that compresses like real templates: words, numbers and line breaks
// from a fixed pseudo-random sequence.
// Bytes that do not compress: the top bits of a linear congruential sequence.
inline std::string NoiseBytes(size_t size, uint32_t seed) {
  std::string noise;
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    noise.push_back(char(x >> 23));
  }
  return noise;
}

inline std::string SampleText(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"template", "config", "value", "= ", "\n", "orvik", "42", "{", "}",
                                       "name",     "; ",     "path",  "0x", "7", "alpha", "beta"};
  std::string text;
  uint32_t x = seed * 2654435761u + 1;
  while (text.size() < size) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    text += kWords[x % 16];
    if (x % 7 == 0) text.push_back(char('a' + (x >> 8) % 26));
  }
  text.resize(size);
  return text;
}

// DEFLATE written bit by bit, for blocks no encoder would make.
class BitWriter {
 public:
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) PutBit((value >> i) & 1);
  }
  // Huffman codes go most significant bit first.
  void PutCode(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) PutBit((code >> i) & 1);
  }
  void AlignToByte() { used_ = bytes_.size() * 8; }
  // The stream so far, with zero bytes after it that no inflater should need.
  std::string Bytes() const { return bytes_ + std::string(8, '\0'); }

 private:
  void PutBit(uint32_t bit) {
    if (used_ % 8 == 0) bytes_.push_back('\0');
    if (bit) bytes_.back() = char(bytes_.back() | (1 << (used_ % 8)));
    ++used_;
  }
  std::string bytes_;
  size_t used_ = 0;
};

// The canonical code of `symbol` among `lengths`.
inline uint32_t CanonicalCode(const std::vector<int>& lengths, size_t symbol) {
  uint32_t code = 0;
  for (int length = 1; length <= lengths[symbol]; ++length) {
    for (size_t other = 0; other < lengths.size(); ++other) {
      if (lengths[other] == length && (length < lengths[symbol] || other < symbol)) ++code;
    }
    if (length < lengths[symbol]) code <<= 1;
  }
  return code;
}

// A dynamic block whose header sends every code length as itself, through a
// complete code-length code of sixteen 4-bit codes; then `text` as literals
// and the end-of-block code (when the literal/length code has one).
inline void PutDynamicBlock(BitWriter& out, bool final, const std::vector<int>& literals,
                            const std::vector<int>& distances, const std::string& text = "") {
  out.Put(final ? 1 : 0, 1);
  out.Put(2, 2);
  out.Put(uint32_t(literals.size() - 257), 5);
  out.Put(uint32_t(distances.size() - 1), 5);
  out.Put(15, 4);
  static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int symbol : kOrder) out.Put(symbol < 16 ? 4 : 0, 3);
  for (const std::vector<int>* lengths : {&literals, &distances}) {
    for (int length : *lengths) out.PutCode(uint32_t(length), 4);  // code i is i, in 4 bits
  }
  for (unsigned char c : text) out.PutCode(CanonicalCode(literals, c), literals[c]);
  if (literals[256] != 0) out.PutCode(CanonicalCode(literals, 256), literals[256]);
}

inline void PutStoredBlock(BitWriter& out, bool final, const std::string& text) {
  out.Put(final ? 1 : 0, 1);
  out.Put(0, 2);
  out.AlignToByte();
  out.Put(uint32_t(text.size()), 16);
  out.Put(~uint32_t(text.size()), 16);
  for (unsigned char c : text) out.Put(c, 8);
}

// Points the temporary directory at one of the test's own, so the "odk"
// images of one test are not confused with those of another running at the
// same time.
class KitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = std::make_unique<test::ScratchDir>();
    tmp_ = *scratch_ / "tmp";
    test::MakeDirs(tmp_);
    tmpScope_ = std::make_unique<test::ScopedTemporaryDirectory>(tmp_);
  }
  void TearDown() override {
    tmpScope_.reset();
    scratch_.reset();
  }

  std::string Path(const std::string& name) const { return *scratch_ / name; }
  std::string Tmp() const { return tmp_; }
  std::string Scratch() const { return scratch_->Path(); }

  // The image files in the temporary directory.
  std::vector<std::string> OdkFiles() const {
    std::vector<std::string> found;
    for (const std::string& name : test::ListDir(tmp_)) {
      if (name.rfind("odk", 0) == 0) found.push_back(name);
    }
    return found;
  }

  ErrorCode ReadKit(KitReader& reader, const std::string& kitBytes) {
    test::WriteFile(Path("kit.okd"), kitBytes);
    return reader.Read(Utf8ToUtf16(Path("kit.okd")));
  }
  ErrorCode ReadImage(KitReader& reader, const std::string& image) { return ReadKit(reader, DeflateRaw(image)); }

 private:
  std::string tmp_;
  std::unique_ptr<test::ScratchDir> scratch_;
  std::unique_ptr<test::ScopedTemporaryDirectory> tmpScope_;
};

}  // namespace setup::kittest
