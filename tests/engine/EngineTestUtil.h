#pragma once
// Trees on disk for the engine tests: building them, packing them into kits
// with okdpack, and comparing full snapshots of them.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace setup::enginetest {

// Everything a user could notice about one entry of a tree.
struct Node {
  char type = '?';        // 'f' file, 'd' directory, 'l' symbolic link
  std::string content;    // file bytes or link text
  int64_t mtimeNs = 0;    // files only
  mode_t mode = 0;        // permission bits
  bool operator==(const Node&) const = default;
};
using Snapshot = std::map<std::string, Node>;  // relative path -> node

Snapshot TakeSnapshot(const std::string& root);
std::string Describe(const Snapshot& a, const Snapshot& b);  // the differences, for messages

// Writes a file with the given content and last-write time (seconds since 1970).
void PutFile(const std::string& path, const std::string& content, int64_t seconds, long nanoseconds = 0);
// Copies a tree with its times and modes (links as links).
void CopyTree(const std::string& from, const std::string& to);
// Packs `directory` into `kit` with okdpack; fails the test on error.
void PackKit(const std::string& directory, const std::string& kit);
// Entries named v8stp* in a directory.
std::vector<std::string> Workspaces(const std::string& directory);

}  // namespace setup::enginetest
