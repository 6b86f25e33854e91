#include "ConfigTestUtil.h"

#include <cstdlib>

#include "platform/Text.h"

namespace setup::test {

void ScratchHomeTest::SetUp() {
  if (const char* home = std::getenv("HOME")) {
    savedHome_ = home;
    hadHome_ = true;
  }
  MakeDirs(Home());
  setenv("HOME", Home().c_str(), 1);
}

void ScratchHomeTest::TearDown() {
  if (hadHome_) {
    setenv("HOME", savedHome_.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

void ScratchHomeTest::Put(const std::string& path, const std::string& bytes) {
  MakeDirs(path.substr(0, path.rfind('/')));
  WriteFile(path, bytes);
}

Pairs EntriesOf(const StarterConfiguration& configuration) {
  Pairs pairs;
  for (const auto& entry : configuration.Entries()) {
    std::vector<std::string> values;
    for (const auto& value : entry.values) values.push_back(Utf16ToUtf8(value));
    pairs.emplace_back(Utf16ToUtf8(entry.key), std::move(values));
  }
  return pairs;
}

}  // namespace setup::test
