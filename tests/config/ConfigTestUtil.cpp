#include "ConfigTestUtil.h"

#include "platform/Text.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace setup::test {

void ScratchHomeTest::SetUp() {
  if (const char* home = GetEnvironment("HOME")) {
    savedHome_ = home;
    hadHome_ = true;
  }
  MakeDirs(Home());
  SetEnvironment("HOME", Home().c_str());
}

void ScratchHomeTest::TearDown() { SetEnvironment("HOME", hadHome_ ? savedHome_.c_str() : nullptr); }

void ScratchHomeTest::Put(const std::string& path, const std::string& bytes) {
  MakeDirs(path.substr(0, path.rfind('/')));
  WriteFile(path, bytes);
}

#ifndef _WIN32
ProcessResult ScratchHomeTest::StarterTool(const std::vector<std::string>& args, int seconds,
                                           std::map<std::string, std::string> env) const {
  std::vector<std::string> argv{STARTER_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  env["HOME"] = Home();
  // Beside the scratch directory, not in it, where tests list what is there.
  const std::string stem = TemporaryDirectory() + "/starter_tool." + std::to_string(getpid());
  const std::string out = stem + ".out", err = stem + ".err";
  ProcessResult result;
  const int pid = StartProcess(argv, env, out, err);
  result.status = pid > 0 ? WaitProcess(pid, seconds) : -1;
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  unlink(out.c_str());
  unlink(err.c_str());
  return result;
}
#endif

Pairs EntriesOf(const StarterConfiguration& configuration) {
  Pairs pairs;
  for (const auto& entry : configuration.Entries()) {
    std::vector<std::string> values;
    for (const auto& value : entry.values) values.push_back(Utf16ToUtf8(value));
    pairs.emplace_back(Utf16ToUtf8(entry.key), std::move(values));
  }
  return pairs;
}

Pairs Parse(const std::string& utf8) {
  StarterConfiguration configuration;
  ParseStarterText(Utf8ToUtf16(utf8), configuration);
  return EntriesOf(configuration);
}

Pairs LoadBytes(const ScratchDir& dir, const std::string& bytes) {
  const std::string path = dir / "orvikstart.cfg";
  WriteFile(path, bytes);
  StarterConfiguration configuration;
  LoadStarterFile(Utf8ToUtf16(path), configuration);
  return EntriesOf(configuration);
}

std::string Utf16LE(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

}  // namespace setup::test
