// The two DEFLATE back-ends side by side: the build's kit reader (ISA-L, with
// zlib reading again a stream ISA-L rejects or that stops short) and a reader
// on zlib alone must accept and reject the same kits, with the same image,
// whoever encoded them and however they are cut or damaged.
#include <zlib.h>

#include <filesystem>

#include "KitTestUtil.h"
#include "core/Inflater.h"

namespace setup::kittest {
namespace {

using kit_inflaters = KitTest;

struct Reading {
  ErrorCode code = 0;
  std::string image;
  size_t files = 0;
};

struct RawOutcome {
  ErrorCode code = 0;
  bool ended = false;
  uint32_t untaken = 0;
  uint64_t streamLength = 0;  // where the stream ended, once it has
  std::string bytes;
};

// One back-end alone, fed as the reader feeds it.
RawOutcome InflateAlone(std::unique_ptr<Inflater> inflater, const std::string& stream, uint32_t window = 32768,
                        uint32_t outputSize = 32768) {
  RawOutcome outcome;
  std::vector<uint8_t> output(outputSize);
  const InflateSink sink = [&](const uint8_t* data, uint32_t length) -> ErrorCode {
    outcome.bytes.append(reinterpret_cast<const char*>(data), length);
    return 0;
  };
  const auto* in = reinterpret_cast<const uint8_t*>(stream.data());
  for (size_t offset = 0; offset < stream.size() && !outcome.ended; offset += window) {
    const uint32_t length = uint32_t(std::min<size_t>(window, stream.size() - offset));
    outcome.code = InflateWindow(*inflater, in + offset, length, output, sink, outcome.ended, outcome.untaken);
    if (outcome.code) break;
    if (outcome.ended) outcome.streamLength = offset + length - outcome.untaken - inflater->BytesPastStreamEnd();
  }
  return outcome;
}

// zlib's own words for a stream it refuses; empty for one it takes.
std::string ZlibComplaint(const std::string& stream) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  std::string out(65536, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = uInt(stream.size());
  int result;
  do {
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    result = inflate(&z, Z_NO_FLUSH);
  } while (result == Z_OK);
  std::string complaint = result == Z_STREAM_END || !z.msg ? "" : z.msg;
  inflateEnd(&z);
  return complaint;
}

class Readers {
 public:
  explicit Readers(std::string scratch) : kit_(std::move(scratch) + "/kit.okd") {}

  Reading With(std::unique_ptr<Inflater> (*factory)(), const std::string& kit, uint64_t limit) {
    KitReader reader;
    reader.SetInflaterFactory(factory);
    reader.SetImageSizeLimit(limit);
    Reading reading;
    test::WriteFile(kit_, kit);
    reading.code = reader.Read(Utf8ToUtf16(kit_));
    if (reading.code == 0) reading.image = test::ReadFile(Utf16ToUtf8(reader.ImagePath()));
    reading.files = reader.Files().size();
    return reading;
  }

  // Both readings of `kit`; they must be the same. True when they were.
  bool Agree(const std::string& kit, const std::string& what, uint64_t limit = kKitImageSizeLimit) {
    const Reading build = With(CreateKitInflater, kit, limit);
    const Reading zlib = With(CreateZlibInflater, kit, limit);
    if (build.code == zlib.code && build.image == zlib.image && build.files == zlib.files) return true;
    ADD_FAILURE() << what << ": build " << build.code << " with " << build.image.size() << " bytes, zlib "
                  << zlib.code << " with " << zlib.image.size() << " bytes (" << ZlibComplaint(kit) << ")";
    return false;
  }

 private:
  std::string kit_;
};

KitModel Model() {
  KitModel model;
  model.descriptions = {{u"en", u"Templates", u"Orvik", u"docs\\readme.html"},
                        {u"ru", u"Шаблоны", u"Орвик", u"docs\\readme.ru.html"}};
  const std::string noise = NoiseBytes(70000, 777);
  model.files = {{u"docs\\readme.html", 132000000000000000ull, SampleText(4000, 3)},
                 {u"cfg/main.cfg", 132000000000000001ull, SampleText(250000, 4)},
                 {u"bin/noise.dat", 132000000000000002ull, noise},
                 {u"zeros", 1, std::string(120000, '\0')}};
  return model;
}

// The 113-byte image of the format's worked example.
std::string WorkedExample() {
  std::string fields;
  PutString(fields, u"en");
  PutString(fields, u"Demo");
  PutString(fields, u"Shop");
  PutString(fields, u"readme.txt");
  std::string image;
  PutU32(image, 1);
  PutU32(image, 1);
  image += Record(fields);
  PutU32(image, 1);
  image += FileRecord(u"a/b.txt", 0x01d0000000000000ull, 0, 3);
  image += "abc";
  return image;
}

// The raw stream of a gzip tool: its output less the 10-byte header (no
// optional fields here) and the 8-byte trailer.
std::string FromGzipTool(const std::vector<std::string>& argv) {
  const test::ProcessResult run = test::RunProcess(argv);
  EXPECT_EQ(run.status, 0) << argv[1] << ": " << run.err;
  if (run.out.size() < 18) return "";
  return run.out.substr(10, run.out.size() - 18);
}

// Streams of `image` from every encoder at hand, in every block kind.
std::vector<std::pair<std::string, std::string>> Encodings(const std::string& scratch, const std::string& image) {
  std::vector<std::pair<std::string, std::string>> streams;
  streams.push_back({"stored", DeflateRaw(image, 0)});
  streams.push_back({"fixed", DeflateRaw(image, 6, Z_FIXED)});
  for (int level : {1, 6, 9}) streams.push_back({"zlib -" + std::to_string(level), DeflateRaw(image, level)});
  streams.push_back({"huffman only", DeflateRaw(image, 6, Z_HUFFMAN_ONLY)});
  const std::string file = scratch + "/image";
  test::WriteFile(file, image);
  for (const char* level : {"-1", "-6", "-9", "-11"}) {
    streams.push_back({std::string("pigz ") + level, FromGzipTool({"/usr/bin/env", "pigz", "-c", "-n", level, file})});
  }
  for (const char* level : {"-1", "-6", "-9", "-12"}) {
    streams.push_back({std::string("libdeflate ") + level,
                       FromGzipTool({"/usr/bin/env", "libdeflate-gzip", "-c", level, file})});
  }
  for (const char* iterations : {"--i1", "--i15"}) {
    const test::ProcessResult zopfli =
        test::RunProcess({"/usr/bin/env", "zopfli", "--deflate", iterations, "-c", file});
    EXPECT_EQ(zopfli.status, 0) << zopfli.err;
    streams.push_back({std::string("zopfli ") + iterations, zopfli.out});
  }
  return streams;
}

TEST_F(kit_inflaters, EveryEncoderInflatesToTheSameImageOnBothBackEnds) {
  Readers readers(Scratch());
  for (const std::string& image : {WorkedExample(), Model().Image()}) {
    for (const auto& [encoder, stream] : Encodings(Scratch(), image)) {
      ASSERT_FALSE(stream.empty()) << encoder;
      for (auto factory : {CreateZlibInflater, CreateIsalInflater}) {
        // Fed whole and in odd pieces, each back-end tells the stream's end to
        // the byte, where a trailer would be looked for.
        for (uint32_t window : {32768u, 7u}) {
          const RawOutcome alone = InflateAlone(factory(), stream + "trailing bytes", window, 5);
          EXPECT_EQ(alone.streamLength, stream.size()) << encoder << ", window " << window;
        }
        const RawOutcome alone = InflateAlone(factory(), stream + "trailing bytes");
        EXPECT_EQ(alone.code, 0u) << encoder;
        EXPECT_TRUE(alone.ended) << encoder;
        EXPECT_TRUE(alone.bytes == image) << encoder << ": " << alone.bytes.size() << " of " << image.size();
      }
      const Reading reading = readers.With(CreateKitInflater, stream, kKitImageSizeLimit);
      EXPECT_EQ(reading.code, 0u) << encoder;
      EXPECT_TRUE(reading.image == image) << encoder;
      EXPECT_TRUE(readers.Agree(stream, encoder));
    }
  }
}

TEST_F(kit_inflaters, CutAndDamagedKitsReadTheSameOnBothBackEnds) {
  Readers readers(Scratch());
  const std::string image = Model().Image();
  for (const auto& [encoder, stream] : Encodings(Scratch(), image)) {
    if (encoder != "zlib -6" && encoder != "stored" && encoder != "zopfli --i1" && encoder != "fixed") continue;
    // Cut at points spread over the whole stream, the headers included.
    for (size_t cut : {size_t(1), size_t(2), size_t(5), size_t(17), size_t(100)}) {
      readers.Agree(stream.substr(0, cut), encoder + " cut at " + std::to_string(cut));
    }
    for (size_t i = 1; i < 40; ++i) {
      const size_t cut = stream.size() * i / 40;
      readers.Agree(stream.substr(0, cut), encoder + " cut at " + std::to_string(cut));
    }
    // One byte flipped in turn at spread positions, a few bits at a time.
    uint32_t x = 99;
    for (size_t i = 0; i < 60; ++i) {
      x = x * 1664525u + 1013904223u;
      std::string damaged = stream;
      const size_t at = i < 20 ? i : x % stream.size();
      damaged[at] = char(damaged[at] ^ (1 << (x >> 29)));
      readers.Agree(damaged, encoder + " flipped at " + std::to_string(at));
    }
  }
  // A kit whose image carries bytes after the last file's data still reads
  // when it is cut among them; the two images must then be the same length.
  const std::string padded = image + SampleText(200000, 9);
  const std::string stream = DeflateRaw(padded, 6);
  size_t accepted = 0;
  for (size_t i = 0; i < 200; ++i) {
    const size_t cut = stream.size() - 1 - i * 13;
    readers.Agree(stream.substr(0, cut), "padded cut at " + std::to_string(cut));
    accepted += readers.With(CreateKitInflater, stream.substr(0, cut), kKitImageSizeLimit).code == 0;
  }
  EXPECT_GT(accepted, 100u);
  // Most damaged kits are refused: this is no test of two readers that accept anything.
  EXPECT_NE(readers.With(CreateKitInflater, Model().Image().substr(0, 100), kKitImageSizeLimit).code, 0u);
}

TEST_F(kit_inflaters, TheImageSizeLimitStopsBothBackEndsAtTheSameByte) {
  Readers readers(Scratch());
  const std::string image = Model().Image();
  const std::string stream = DeflateRaw(image, 6);
  for (uint64_t limit : {uint64_t(image.size()), uint64_t(image.size() - 1), uint64_t(32768), uint64_t(0)}) {
    EXPECT_TRUE(readers.Agree(stream, "limit " + std::to_string(limit), limit));
  }
  EXPECT_EQ(readers.With(CreateKitInflater, stream, image.size()).code, 0u);
  EXPECT_EQ(readers.With(CreateKitInflater, stream, image.size() - 1).code, 13u);
}

TEST_F(kit_inflaters, StreamsTheFuzzerMadeReadTheSameOnBothBackEnds) {
  Readers readers(Scratch());
  size_t streams = 0;
  for (const char* directory : {INFLATE_SEEDS_DIR, INFLATE_STREAMS_DIR}) {
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      readers.Agree(test::ReadFile(entry.path().string()), entry.path().filename().string());
      ++streams;
    }
  }
  EXPECT_GT(streams, 100u);
}

// A stream cut into blocks every `every` bytes by `flush`; a sync flush keeps
// the history, so later blocks copy from earlier ones.
std::string DeflateInBlocks(const std::string& data, size_t every, int flush) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out;
  std::vector<uint8_t> buffer(1 << 16);
  for (size_t offset = 0; offset <= data.size(); offset += every) {
    const size_t length = std::min(every, data.size() - std::min(offset, data.size()));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + std::min(offset, data.size())));
    z.avail_in = uInt(length);
    const int mode = offset + every > data.size() ? Z_FINISH : flush;
    do {
      z.next_out = buffer.data();
      z.avail_out = uInt(buffer.size());
      deflate(&z, mode);
      out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

TEST_F(kit_inflaters, BlocksOfEverySizeInflateTheSameWhereverTheInputAndOutputBreak) {
  Readers readers(Scratch());
  const std::string image = Model().Image();
  for (const auto& [every, flush] : std::vector<std::pair<size_t, int>>{
           {1, Z_SYNC_FLUSH}, {37, Z_PARTIAL_FLUSH}, {1000, Z_SYNC_FLUSH}, {10000, Z_FULL_FLUSH},
           {12000, Z_SYNC_FLUSH}, {40000, Z_SYNC_FLUSH}, {70000, Z_BLOCK}}) {
    const std::string stream = DeflateInBlocks(image, every, flush);
    const std::string what = "a block every " + std::to_string(every) + " bytes, flush " + std::to_string(flush);
    // Blocks this small (a flush ends each with an empty block besides) ISA-L
    // leaves to zlib; the larger ones it reads itself, each block's history
    // handed back to it after the block.
    const bool leftToZlib = every <= 1000;
    for (const auto& [window, output] : std::vector<std::pair<uint32_t, uint32_t>>{
             {32768, 32768}, {7, 5}, {1000, 1}, {stream.size(), 1 << 20}}) {
      const RawOutcome outcome = InflateAlone(CreateIsalInflater(), stream, window, output);
      const std::string where = what + ", window " + std::to_string(window) + ", output " + std::to_string(output);
      EXPECT_EQ(outcome.code, leftToZlib ? 13u : 0u) << where;
      EXPECT_EQ(outcome.ended, !leftToZlib) << where;
      if (!leftToZlib) {
        EXPECT_TRUE(outcome.bytes == image) << where << ": " << outcome.bytes.size();
        EXPECT_EQ(outcome.streamLength, stream.size()) << where;
      }
    }
    const Reading reading = readers.With(CreateKitInflater, stream, kKitImageSizeLimit);
    EXPECT_EQ(reading.code, 0u) << what;
    EXPECT_TRUE(reading.image == image) << what;
    EXPECT_TRUE(readers.Agree(stream, what));
  }
}

TEST_F(kit_inflaters, AGapInALaterBlocksCodeIsRefusedEvenWhenNoCodeFallsIntoIt) {
  // Literal 'a' has a 1-bit code and end-of-block a 2-bit one; the third
  // 2-bit code is missing, which zlib refuses in the header.
  std::vector<int> literals(257, 0), distances(1, 1);
  literals['a'] = 1;
  literals[256] = 2;
  BitWriter gap;
  PutStoredBlock(gap, false, "stored first ");
  PutDynamicBlock(gap, true, literals, distances, "aaaa");
  // The same with the code complete, as a control.
  literals['b'] = 2;
  BitWriter whole;
  PutStoredBlock(whole, false, "stored first ");
  PutDynamicBlock(whole, true, literals, distances, "aaaa");

  for (auto factory : {CreateZlibInflater, CreateIsalInflater}) {
    EXPECT_EQ(InflateAlone(factory(), gap.Bytes()).code, 13u);
    const RawOutcome control = InflateAlone(factory(), whole.Bytes());
    EXPECT_EQ(control.code, 0u);
    EXPECT_EQ(control.bytes, "stored first aaaa");
  }
  Readers readers(Scratch());
  EXPECT_TRUE(readers.Agree(gap.Bytes(), "gap"));
}

TEST_F(kit_inflaters, AStreamOfManyEmptyBlocksIsLeftToZlib) {
  // Each empty fixed block is 10 bits; after the first 32 KiB of output,
  // ISA-L would be given 32 KiB of history back after every one of them.
  const std::string image = WorkedExample() + SampleText(40000, 1);
  BitWriter blocks;
  PutStoredBlock(blocks, false, image.substr(0, 113));
  PutStoredBlock(blocks, false, image.substr(113));
  for (int i = 0; i < 100000; ++i) {
    blocks.Put(0, 1);
    blocks.Put(1, 2);
    blocks.PutCode(0, 7);  // end of block
  }
  PutStoredBlock(blocks, true, "");
  EXPECT_EQ(InflateAlone(CreateIsalInflater(), blocks.Bytes()).code, 13u);
  Readers readers(Scratch());
  const Reading reading = readers.With(CreateKitInflater, blocks.Bytes(), kKitImageSizeLimit);
  EXPECT_EQ(reading.code, 0u);
  EXPECT_TRUE(reading.image == image);
}

}  // namespace
}  // namespace setup::kittest
