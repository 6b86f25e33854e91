// libFuzzer target over the kit's DEFLATE back-ends: whatever the bytes, the
// ISA-L reading (with the kit reader's second reading by zlib of a stream that
// ISA-L rejects or that stops short) and zlib's must agree on whether the
// stream is valid, on where it ends (to the byte, where a trailer would
// stand) and on every byte it inflates to, fed in
// the kit reader's windows and in small odd pieces; and what they produce
// must parse safely as a kit image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/Inflater.h"
#include "core/KitImage.h"
#include "core/KitTrailer.h"

namespace {

struct Outcome {
  setup::ErrorCode code = 0;
  bool ended = false;
  uint32_t untaken = 0;
  uint64_t streamLength = 0;  // where the stream ended, once it has
  std::vector<uint8_t> bytes;
};

Outcome Run(std::unique_ptr<setup::Inflater> inflater, const uint8_t* data, size_t size, uint32_t window,
            uint32_t outputSize) {
  Outcome outcome;
  std::vector<uint8_t> output(outputSize);
  const setup::InflateSink sink = [&](const uint8_t* bytes, uint32_t length) -> setup::ErrorCode {
    // A bomb is cut off where the reader's much larger limit would be.
    if (outcome.bytes.size() + length > (64u << 20)) return 13;
    outcome.bytes.insert(outcome.bytes.end(), bytes, bytes + length);
    return 0;
  };
  for (size_t offset = 0; offset < size && !outcome.ended; offset += window) {
    const uint32_t length = uint32_t(std::min<size_t>(window, size - offset));
    outcome.code = setup::InflateWindow(*inflater, data + offset, length, output, sink, outcome.ended, outcome.untaken);
    if (outcome.code) break;
    if (outcome.ended) outcome.streamLength = offset + length - outcome.untaken - inflater->BytesPastStreamEnd();
  }
  if (outcome.code) outcome.bytes.clear();  // a failed read keeps nothing
  return outcome;
}

void Compare(const uint8_t* data, size_t size, uint32_t window, uint32_t outputSize) {
  const Outcome zlib = Run(setup::CreateZlibInflater(), data, size, window, outputSize);
  Outcome isal = Run(setup::CreateIsalInflater(), data, size, window, outputSize);
  if (isal.code != 0 || !isal.ended) isal = zlib;  // what the kit reader does
  if (zlib.code != isal.code || zlib.ended != isal.ended || zlib.bytes != isal.bytes) std::abort();
  // The trailer is looked for where the stream ends, so both must find that
  // place alike; what stands there must be judged without reading past it.
  if (zlib.ended && zlib.streamLength != isal.streamLength) std::abort();
  if (zlib.ended) {
    setup::KitTrailer trailer;
    setup::DecodeKitTrailer(data + zlib.streamLength, size - size_t(zlib.streamLength), zlib.streamLength, trailer);
  }
  if (zlib.code == 0) {
    setup::KitMemorySource source(zlib.bytes.data(), zlib.bytes.size());
    std::vector<setup::KitDescription> descriptions;
    setup::KitFileTable files;
    if (setup::ParseKitImage(source, zlib.bytes.size(), descriptions, files) == 0) {
      for (const setup::KitFileEntry& entry : files.entries) {
        if (uint64_t(entry.position) + entry.size > zlib.bytes.size()) std::abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Compare(data, size, 32768, 32768);  // as the kit reader feeds it
  Compare(data, size, 7, 5);          // every boundary falls somewhere odd
  return 0;
}
