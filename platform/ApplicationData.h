#pragma once
// Where the starter program keeps its settings and where templates go by
// default. Each platform has its own folders; everything above this layer
// asks for the places by what they are.
#include <string>

namespace setup {

// The user's folder for application data (Linux: the home directory, without
// a trailing separator; Windows: the roaming application-data folder, with
// one) or the all-users folder (Linux: home + "/.orvikv8/"; Windows: the
// common application-data folder, with a separator). Empty when the system
// knows no such folder; every place below is then empty too, so that nothing
// is read or written relative to a root or to the working directory.
std::u16string ApplicationDataFolder(bool allUsers);

struct StarterLocations {
  std::u16string userFile;                  // the user starter file
  std::u16string allUsersFile;              // the all-users starter file
  std::u16string alternateFile;             // the alternate user starter file
  std::u16string defaultTemplateDirectory;  // ends with a separator
};
// The places for this user, each empty when its folder is unknown.
StarterLocations StarterFileLocations();

// True for a place on the network (a UNC path, a mapped network drive), which
// is never proposed as a template directory. Always false on Linux.
bool IsNetworkPath(const std::u16string& path);

}  // namespace setup
