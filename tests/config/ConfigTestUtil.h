#pragma once
// Shared pieces of the starter-configuration tests: parsing and loading
// helpers, and (Linux) a scratch home for each test with the places of the
// three starter files inside it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "core/StarterConfiguration.h"

namespace setup::test {

// Points HOME at a fresh directory for the length of one test.
class ScratchHomeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Home() const { return scratch_ / "home"; }
  std::string UserFile() const { return Home() + "/.Orvik/orvikstart/orvikstart.cfg"; }
  std::string AllUsersFile() const { return Home() + "/.orvikv8/.Orvik/orvikstart/orvikstart.cfg"; }
  std::string AlternateFile() const { return Home() + "/.Orvik/orvikstartt/orvikstart.cfg"; }
  // Writes `bytes` to `path`, creating the missing directories.
  static void Put(const std::string& path, const std::string& bytes);
#ifndef _WIN32
  // Runs the starter tool with HOME at the scratch home and `env` on top,
  // killed after `seconds`: a hang fails the test instead of stopping the suite.
  ProcessResult StarterTool(const std::vector<std::string>& args, int seconds = 60,
                            std::map<std::string, std::string> env = {}) const;
#endif

  ScratchDir scratch_;

 private:
  std::string savedHome_;
  bool hadHome_ = false;
};

using Pairs = std::vector<std::pair<std::string, std::vector<std::string>>>;
// The entries of a configuration in UTF-8, for readable comparisons.
Pairs EntriesOf(const StarterConfiguration& configuration);
// The entries of a UTF-8 text.
Pairs Parse(const std::string& utf8);
// The entries of a file holding `bytes`, made in `dir` and loaded.
Pairs LoadBytes(const ScratchDir& dir, const std::string& bytes);
// `text` as a UTF-16LE file's bytes, mark first.
std::string Utf16LE(const std::u16string& text);

}  // namespace setup::test
