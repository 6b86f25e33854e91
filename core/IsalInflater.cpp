#include <isa-l/igzip_lib.h>

#include "core/Inflater.h"

namespace setup {
namespace {

class IsalInflater : public Inflater {
 public:
  IsalInflater() : state_(new inflate_state) {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;  // raw DEFLATE, no wrapper, no checksum
    state_->hist_bits = 15;           // the full 32 KiB window
  }

  InflateStatus Inflate(const uint8_t*& in, uint32_t& inLength, uint8_t* out, uint32_t outSpace,
                        uint32_t& produced) override {
    produced = 0;
    if (state_->block_state == ISAL_BLOCK_FINISH) return InflateStatus::StreamEnd;
    state_->next_in = const_cast<uint8_t*>(in);
    state_->avail_in = inLength;
    state_->next_out = out;
    state_->avail_out = outSpace;
    const int result = isal_inflate(state_.get());
    produced = outSpace - state_->avail_out;
    in = state_->next_in;
    inLength = state_->avail_in;
    if (result != ISAL_DECOMP_OK) return InflateStatus::DataError;
    return state_->block_state == ISAL_BLOCK_FINISH ? InflateStatus::StreamEnd : InflateStatus::Progress;
  }

 private:
  std::unique_ptr<inflate_state> state_;
};

}  // namespace

std::unique_ptr<Inflater> CreateIsalInflater() { return std::make_unique<IsalInflater>(); }

}  // namespace setup
