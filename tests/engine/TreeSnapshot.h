#pragma once
// Directory trees as a user would compare them, on both builds: every
// entry's kind, a file's bytes, last-write time and read-only mark. Read
// through the system (std::filesystem and the test helpers), never through
// the file layer under test.
#include <cstdint>
#include <map>
#include <string>

namespace setup::enginetest {

struct TreeEntry {
  char type = '?';         // 'f' file, 'd' directory
  std::string content;     // a file's bytes
  uint64_t writeTime = 0;  // a file's last-write time, 100 ns since 1601
  bool readOnly = false;   // a file nobody may write
  bool operator==(const TreeEntry&) const = default;
};
// Relative path, "/" between the parts -> entry.
using Tree = std::map<std::string, TreeEntry>;

// The tree below `root`; empty when there is no such directory.
Tree SnapshotOf(const std::string& root);
// The paths that differ, for failure messages.
std::string Differences(const Tree& before, const Tree& after);
// Copies a tree with its files' times and read-only marks.
void CopyTreeWithTimes(const std::string& from, const std::string& to);
// Writes a file (making its directory) with the given last-write time.
void PutFile(const std::string& path, const std::string& content, uint64_t writeTime);

}  // namespace setup::enginetest
