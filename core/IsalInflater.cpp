#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>

#include "core/DeflateHeader.h"
#include "core/Inflater.h"

namespace setup {
namespace {

constexpr uint32_t kHistorySize = 32768;
// Each block costs a copy of the history here, so a stream of many small
// blocks (which no encoder makes for a kit, but anyone can write) would be
// slow; once the blocks average less than this, the stream is refused and
// the kit reader reads it with zlib, which takes small blocks in its stride.
constexpr uint64_t kSmallestAverageBlock = 2048;
constexpr uint64_t kBlocksBeforeJudging = 64;

// ISA-L only fails on a Huffman code with gaps when a missing code turns up,
// where zlib refuses the header itself. So every block header is checked
// before ISA-L reads it, and for that ISA-L has to stop at the end of each
// block: each block is shown to it as the final one (its BFINAL bit set), and
// after it the decoder is set going again with the last 32 KiB of output as
// its history. ISA-L keeps its unread bits in the open state structure, which
// is what makes the header visible and the bit changeable.
class IsalInflater : public Inflater {
 public:
  IsalInflater() : state_(new inflate_state), history_(new uint8_t[kHistorySize]) {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;  // raw DEFLATE, no wrapper, no checksum
    state_->hist_bits = 15;           // the full 32 KiB window
  }

  InflateStatus Inflate(const uint8_t*& in, uint32_t& inLength, uint8_t* out, uint32_t outSpace,
                        uint32_t& produced) override {
    produced = 0;
    if (ended_) return InflateStatus::StreamEnd;
    InflateStatus status = InflateStatus::Progress;
    for (;;) {
      if (atHeader_) {
        const HeaderVerdict verdict = TakeHeader(in, inLength);
        if (verdict == HeaderVerdict::Refused) {
          status = InflateStatus::DataError;
          break;
        }
        if (verdict == HeaderVerdict::NeedMore) break;
      }
      const bool fromHeld = heldStart_ < heldEnd_;
      state_->next_in = const_cast<uint8_t*>(fromHeld ? held_ + heldStart_ : in);
      state_->avail_in = fromHeld ? heldEnd_ - heldStart_ : inLength;
      state_->next_out = out + produced;
      state_->avail_out = outSpace - produced;
      const uint32_t offered = state_->avail_in, space = state_->avail_out;
      const int result = isal_inflate(state_.get());
      const uint32_t taken = offered - state_->avail_in, written = space - state_->avail_out;
      if (fromHeld) {
        heldStart_ += taken;
      } else {
        in += taken;
        inLength -= taken;
      }
      produced += written;
      output_ += written;
      if (result != ISAL_DECOMP_OK) {
        status = InflateStatus::DataError;
        break;
      }
      if (state_->block_state == ISAL_BLOCK_FINISH) {
        if (finalBlock_) {
          ended_ = true;
          status = InflateStatus::StreamEnd;
          break;
        }
        if (++blocks_ > kBlocksBeforeJudging && output_ < blocks_ * kSmallestAverageBlock) {
          status = InflateStatus::DataError;
          break;
        }
        Resume(out, produced);
        continue;
      }
      const bool inputLeft = heldStart_ < heldEnd_ || inLength > 0;
      if (produced == outSpace || !inputLeft || (taken == 0 && written == 0)) break;
    }
    KeepHistory(out, produced);
    return status;
  }

  // ISA-L reads ahead into its bit buffer; whole bytes left there at the end
  // of the final block, and input held back for a header, lie past the end.
  uint32_t BytesPastStreamEnd() const override {
    const int bufferedBits = std::max<int>(state_->read_in_length, 0);
    return uint32_t(bufferedBits / 8) + (heldEnd_ - heldStart_) + uint32_t(std::max<int>(state_->tmp_in_size, 0));
  }

 private:
  // Checks the header that starts at ISA-L's unread bits and marks its block
  // as the final one. Bits that do not yet hold the whole header are held
  // back until more input comes.
  HeaderVerdict TakeHeader(const uint8_t*& in, uint32_t& inLength) {
    if (state_->read_in_length < 0) return HeaderVerdict::Refused;
    HeaderBits bits;
    bits.bits = state_->read_in;
    bits.bitCount = state_->read_in_length;
    bits.first = held_ + heldStart_;
    bits.firstLength = heldEnd_ - heldStart_;
    bits.second = in;
    bits.secondLength = inLength;
    const BlockHeader header = CheckBlockHeader(bits);
    if (header.verdict == HeaderVerdict::NeedMore) {
      // Nothing more is to come in this call: hold the rest for the next.
      std::memmove(held_, held_ + heldStart_, heldEnd_ - heldStart_);
      heldEnd_ -= heldStart_;
      heldStart_ = 0;
      const uint32_t room = uint32_t(sizeof(held_)) - heldEnd_;
      if (inLength >= room) return HeaderVerdict::Refused;  // longer than any header can be
      std::memcpy(held_ + heldEnd_, in, inLength);
      heldEnd_ += inLength;
      in += inLength;
      inLength = 0;
      return HeaderVerdict::NeedMore;
    }
    if (header.verdict == HeaderVerdict::Refused) return HeaderVerdict::Refused;
    finalBlock_ = header.final;
    if (state_->read_in_length == 0) {
      // The header's first bit is still in the input, which is not ours to
      // change: it goes into ISA-L's bit buffer first.
      if (heldStart_ < heldEnd_) {
        state_->read_in = held_[heldStart_++];
      } else {
        state_->read_in = *in++;
        --inLength;
      }
      state_->read_in_length = 8;
    }
    state_->read_in |= 1;
    atHeader_ = false;
    return HeaderVerdict::Sound;
  }

  // After a block that was not really the last: ISA-L has let go of its
  // history, so it gets the output's last 32 KiB back and goes on with the
  // next header.
  void Resume(const uint8_t* out, uint32_t produced) {
    const uint32_t fromOut = std::min(produced, kHistorySize);
    const uint32_t fromHistory = std::min(historyLength_, kHistorySize - fromOut);
    uint8_t* window = state_->tmp_out_buffer;
    const uint32_t start = (historyEnd_ + kHistorySize - fromHistory) % kHistorySize;
    const uint32_t beforeWrap = std::min(fromHistory, kHistorySize - start);
    std::memcpy(window, history_.get() + start, beforeWrap);
    std::memcpy(window + beforeWrap, history_.get(), fromHistory - beforeWrap);
    std::memcpy(window + fromHistory, out + produced - fromOut, fromOut);
    state_->tmp_out_valid = state_->tmp_out_processed = int32_t(fromHistory + fromOut);
    state_->block_state = ISAL_BLOCK_NEW_HDR;
    state_->bfinal = 0;
    atHeader_ = true;
  }

  // The caller reuses its output buffer, so the last 32 KiB are kept here, in
  // a ring: small pieces of output cost no more than their own size.
  void KeepHistory(const uint8_t* out, uint32_t produced) {
    const uint32_t count = std::min(produced, kHistorySize);
    const uint8_t* from = out + produced - count;
    const uint32_t beforeWrap = std::min(count, kHistorySize - historyEnd_);
    std::memcpy(history_.get() + historyEnd_, from, beforeWrap);
    std::memcpy(history_.get(), from + beforeWrap, count - beforeWrap);
    historyEnd_ = (historyEnd_ + count) % kHistorySize;
    historyLength_ = std::min(kHistorySize, historyLength_ + count);
  }

  std::unique_ptr<inflate_state> state_;
  std::unique_ptr<uint8_t[]> history_;
  uint32_t historyLength_ = 0;
  uint32_t historyEnd_ = 0;
  uint64_t blocks_ = 0;
  uint64_t output_ = 0;
  bool atHeader_ = true;
  bool finalBlock_ = false;
  bool ended_ = false;
  // Input taken from the caller while a header was incomplete.
  uint8_t held_[2 * kLongestBlockHeader];
  uint32_t heldStart_ = 0;
  uint32_t heldEnd_ = 0;
};

}  // namespace

std::unique_ptr<Inflater> CreateIsalInflater() { return std::make_unique<IsalInflater>(); }

}  // namespace setup
