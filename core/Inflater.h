#pragma once
// Raw DEFLATE decompression behind one small interface, so the kit reader
// can use the fastest library a build has while every back-end accepts,
// rejects and produces exactly the same bytes.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ErrorCodes.h"

namespace setup {

enum class InflateStatus {
  Progress,   // the input is used up or the output is full
  StreamEnd,  // the final block is done; further calls produce nothing
  DataError,  // the stream is invalid, or one that ISA-L leaves to zlib
};

class Inflater {
 public:
  virtual ~Inflater() = default;
  // Consumes from `in` (advanced past what was taken) and writes at most
  // `outSpace` bytes to `out`; `produced` tells how many.
  virtual InflateStatus Inflate(const uint8_t*& in, uint32_t& inLength, uint8_t* out, uint32_t outSpace,
                                uint32_t& produced) = 0;
  // Once the stream has ended: how many of the bytes taken from `in` lie
  // after its end, so that the caller can find what follows the stream.
  virtual uint32_t BytesPastStreamEnd() const = 0;
};

// Null when the library cannot set itself up (out of memory).
std::unique_ptr<Inflater> CreateZlibInflater();
// Only in builds that have ISA-L.
std::unique_ptr<Inflater> CreateIsalInflater();
// The back-end this build reads kits with.
std::unique_ptr<Inflater> CreateKitInflater();

using InflateSink = std::function<ErrorCode(const uint8_t* data, uint32_t length)>;

// Feeds one window of the kit through `inflater`, handing each piece of
// output (at most output.size() bytes) to `sink`. 0 when the window is used
// up or the stream has ended (`ended` tells which; `untaken` then counts the
// window's bytes the inflater did not take), 13 for invalid data, otherwise
// the sink's code.
ErrorCode InflateWindow(Inflater& inflater, const uint8_t* window, uint32_t length, std::vector<uint8_t>& output,
                        const InflateSink& sink, bool& ended, uint32_t& untaken);

}  // namespace setup
