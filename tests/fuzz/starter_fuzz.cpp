// libFuzzer target over the starter configuration reader. The bytes are read
// as a real file would be (byte-order-mark detection, pieces, CR LF), then the
// result is checked against what the format promises:
//  - every line break ends a line, so no key or value holds one, and no key
//    holds "=";
//  - keys are unique without regard to case, and so are the values of a key;
//  - parsing the whole text at once gives what parsing it piece by piece gave;
//  - what the writer would write reads back as the same configuration.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/StarterConfiguration.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace {

using setup::StarterConfiguration;

bool SameConfiguration(const StarterConfiguration& a, const StarterConfiguration& b) {
  if (a.Entries().size() != b.Entries().size()) return false;
  for (size_t i = 0; i < a.Entries().size(); ++i) {
    if (a.Entries()[i].key != b.Entries()[i].key || a.Entries()[i].values != b.Entries()[i].values) return false;
  }
  return true;
}

void CheckShape(const StarterConfiguration& configuration) {
  const auto& entries = configuration.Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& entry = entries[i];
    if (entry.values.empty()) std::abort();
    if (entry.key.find_first_of(u"=\n") != std::u16string::npos) std::abort();
    for (size_t j = 0; j < entries.size(); ++j) {
      if (j != i && setup::EqualNoCase(entry.key, entries[j].key)) std::abort();
    }
    for (size_t v = 0; v < entry.values.size(); ++v) {
      const auto& value = entry.values[v];
      if (value.find(u'\n') != std::u16string::npos) std::abort();
      if (entry.key.empty() && value.empty()) std::abort();  // an empty line or a lone "="
      for (size_t w = 0; w < v; ++w) {
        if (setup::EqualNoCase(value, entry.values[w])) std::abort();
      }
    }
  }
}

// One in-memory file, reopened by name for each input so that the reader
// goes through its usual open.
int MemoryFile() {
  static const int fd = memfd_create("orvikstart.cfg", MFD_CLOEXEC);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile();
  if (fd < 0 || ftruncate(fd, 0) != 0) std::abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  const std::u16string path = setup::Utf8ToUtf16("/proc/self/fd/" + std::to_string(fd));

  StarterConfiguration loaded;
  setup::LoadStarterFile(path, loaded);
  CheckShape(loaded);

  // The same text, decoded first and parsed in one go.
  std::u16string text;
  if (setup::TextStreamPtr stream; setup::OpenTextForReading(path, stream) == 0) {
    for (std::u16string piece = setup::ReadText(*stream); !piece.empty(); piece = setup::ReadText(*stream)) {
      text += piece;
    }
  }
  StarterConfiguration whole;
  setup::ParseStarterText(text, whole);
  if (!SameConfiguration(loaded, whole)) std::abort();

  StarterConfiguration reread;
  setup::ParseStarterText(setup::FormatStarterText(loaded), reread);
  if (!SameConfiguration(loaded, reread)) std::abort();
  return 0;
}
