#include "TreeSnapshot.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "TestSupport.h"

namespace setup::enginetest {
namespace fs = std::filesystem;

namespace {

fs::path FsPath(const std::string& utf8) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

bool IsReadOnlyPath(const fs::path& path) {
  std::error_code error;
  const fs::perms perms = fs::status(path, error).permissions();
  return !error && (perms & fs::perms::owner_write) == fs::perms::none;
}

void SetReadOnlyPath(const fs::path& path, bool readOnly) {
  std::error_code error;
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add, error);
}

}  // namespace

Tree SnapshotOf(const std::string& root) {
  Tree tree;
  const fs::path base = FsPath(root);
  std::error_code error;
  if (!fs::is_directory(base, error)) return tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(base)) {
    const std::string relative = Utf8Of(entry.path().lexically_relative(base));
    const std::string native = test::NativePath(root + "/" + relative);
    TreeEntry node;
    if (entry.is_directory()) {
      node.type = 'd';
    } else {
      node.type = 'f';
      node.content = test::ReadFile(native);
      node.writeTime = test::WriteTimeOf(native);
      node.readOnly = IsReadOnlyPath(entry.path());
    }
    tree[relative] = node;
  }
  return tree;
}

std::string Differences(const Tree& before, const Tree& after) {
  std::ostringstream out;
  for (const auto& [path, node] : before) {
    auto it = after.find(path);
    if (it == after.end()) {
      out << " gone:" << path;
    } else if (!(it->second == node)) {
      out << " changed:" << path;
      if (it->second.content != node.content) out << "(content)";
      if (it->second.writeTime != node.writeTime) out << "(time " << node.writeTime << " -> " << it->second.writeTime << ")";
      if (it->second.readOnly != node.readOnly) out << "(read-only mark)";
      if (it->second.type != node.type) out << "(type)";
    }
  }
  for (const auto& [path, node] : after) {
    if (!before.count(path)) out << " new:" << path;
  }
  return out.str();
}

void CopyTreeWithTimes(const std::string& from, const std::string& to) {
  test::MakeDirs(to);
  for (const auto& [relative, node] : SnapshotOf(from)) {
    const std::string target = test::NativePath(to + "/" + relative);
    if (node.type == 'd') {
      test::MakeDirs(target);
      continue;
    }
    test::WriteFile(target, node.content);
    if (!test::SetWriteTime(target, node.writeTime)) throw std::runtime_error("cannot set the time of " + target);
    if (node.readOnly) SetReadOnlyPath(FsPath(target), true);
  }
}

void PutFile(const std::string& path, const std::string& content, uint64_t writeTime) {
  const std::string native = test::NativePath(path);
  const size_t separator = native.find_last_of("/\\");
  if (separator != std::string::npos) test::MakeDirs(native.substr(0, separator));
  test::WriteFile(native, content);
  if (!test::SetWriteTime(native, writeTime)) throw std::runtime_error("cannot set the time of " + native);
}

}  // namespace setup::enginetest
