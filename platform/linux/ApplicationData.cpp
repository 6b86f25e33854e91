// On Linux every folder lies in the user's home, so all three starter files
// belong to the user.
#include "platform/ApplicationData.h"

#include <pwd.h>
#include <unistd.h>
#include <wordexp.h>

#include <cstdlib>
#include <vector>

#include "platform/Text.h"

namespace setup {
namespace {

std::u16string HomeDirectory() {
  std::string home;
  wordexp_t words;
  if (wordexp("~", &words, WRDE_NOCMD) == 0) {
    if (words.we_wordc > 0 && words.we_wordv[0][0] != '~') home = words.we_wordv[0];
    wordfree(&words);
  }
  // "~" stays unexpanded when neither HOME nor the password database knows
  // the user; try both ourselves before giving up.
  if (home.empty()) {
    if (const char* env = std::getenv("HOME"); env && *env) home = env;
  }
  if (home.empty()) {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir) {
      home = found->pw_dir;
    }
  }
  return MultiByteToWide(home);
}

// `folder` followed by `rest`; empty without a folder.
std::u16string Below(const std::u16string& folder, const std::u16string& rest) {
  return folder.empty() ? std::u16string() : folder + rest;
}

}  // namespace

std::u16string ApplicationDataFolder(bool allUsers) {
  std::u16string home = HomeDirectory();
  if (!allUsers || home.empty()) return home;
  if (home.back() != u'/') home.push_back(u'/');
  return home + u".orvikv8/";
}

StarterLocations StarterFileLocations() {
  const std::u16string home = ApplicationDataFolder(false);
  const std::u16string allUsers = ApplicationDataFolder(true);
  return {
      Below(home, u"/.Orvik/orvikstart/orvikstart.cfg"),
      Below(allUsers, u".Orvik/orvikstart/orvikstart.cfg"),
      Below(home, u"/.Orvik/orvikstartt/orvikstart.cfg"),
      Below(allUsers, u"Orvik/orvikv8/tmplts/"),
  };
}

bool IsNetworkPath(const std::u16string&) { return false; }

}  // namespace setup
