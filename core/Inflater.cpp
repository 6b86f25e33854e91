#include "core/Inflater.h"

namespace setup {

ErrorCode InflateWindow(Inflater& inflater, const uint8_t* window, uint32_t length, std::vector<uint8_t>& output,
                        const InflateSink& sink, bool& ended, uint32_t& untaken) {
  const uint32_t space = static_cast<uint32_t>(output.size());
  InflateStatus status;
  uint32_t produced = 0;
  // A full output buffer may mean that more is waiting, even with no input left.
  do {
    status = inflater.Inflate(window, length, output.data(), space, produced);
    if (status == InflateStatus::DataError) return kErrorInvalidData;
    if (produced > 0) {
      if (const ErrorCode code = sink(output.data(), produced)) return code;
    }
  } while (status == InflateStatus::Progress && produced == space);
  ended = status == InflateStatus::StreamEnd;
  untaken = length;
  return kErrorSuccess;
}

}  // namespace setup
