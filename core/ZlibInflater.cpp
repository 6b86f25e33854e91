#include <zlib.h>

#include "core/Inflater.h"

namespace setup {
namespace {

class ZlibInflater : public Inflater {
 public:
  ~ZlibInflater() override {
    if (ready_) inflateEnd(&stream_);
  }
  // Raw DEFLATE: no zlib or gzip wrapper and no checksum.
  bool Init() {
    ready_ = inflateInit2(&stream_, -15) == Z_OK;
    return ready_;
  }

  InflateStatus Inflate(const uint8_t*& in, uint32_t& inLength, uint8_t* out, uint32_t outSpace,
                        uint32_t& produced) override {
    produced = 0;
    if (ended_) return InflateStatus::StreamEnd;
    stream_.next_in = const_cast<Bytef*>(in);
    stream_.avail_in = inLength;
    stream_.next_out = out;
    stream_.avail_out = outSpace;
    int result = inflate(&stream_, Z_NO_FLUSH);
    produced = outSpace - stream_.avail_out;
    in = stream_.next_in;
    inLength = stream_.avail_in;
    // Out of input with room to spare is no error: the next window goes on.
    if (result == Z_BUF_ERROR && stream_.avail_in == 0) result = Z_OK;
    if (result == Z_STREAM_END) {
      ended_ = true;
      return InflateStatus::StreamEnd;
    }
    return result == Z_OK ? InflateStatus::Progress : InflateStatus::DataError;
  }

  // zlib hands back every whole byte it did not use.
  uint32_t BytesPastStreamEnd() const override { return 0; }

 private:
  z_stream stream_{};
  bool ready_ = false;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<Inflater> CreateZlibInflater() {
  auto inflater = std::make_unique<ZlibInflater>();
  if (!inflater->Init()) return nullptr;
  return inflater;
}

}  // namespace setup
