#include "EngineTestUtil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

namespace setup::enginetest {

static void Walk(const std::string& root, const std::string& relative, Snapshot& out) {
  for (const std::string& name : test::ListDir(root + "/" + relative)) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string path = root + "/" + rel;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    Node node;
    node.mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      node.type = 'd';
      out[rel] = node;
      Walk(root, rel, out);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      char buffer[4096];
      const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
      node.type = 'l';
      node.content.assign(buffer, n > 0 ? n : 0);
      node.mode = 0;
    } else {
      node.type = 'f';
      node.content = test::ReadFile(path);
      node.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    out[rel] = node;
  }
}

Snapshot TakeSnapshot(const std::string& root) {
  Snapshot snapshot;
  if (test::Exists(root)) Walk(root, "", snapshot);
  return snapshot;
}

std::string Describe(const Snapshot& a, const Snapshot& b) {
  std::ostringstream out;
  for (const auto& [path, node] : a) {
    auto it = b.find(path);
    if (it == b.end()) out << " only-before:" << path;
    else if (!(it->second == node)) out << " changed:" << path;
  }
  for (const auto& [path, node] : b) {
    if (!a.count(path)) out << " only-after:" << path;
  }
  return out.str();
}

void PutFile(const std::string& path, const std::string& content, int64_t seconds, long nanoseconds) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) test::MakeDirs(path.substr(0, slash));
  test::WriteFile(path, content);
  const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

void CopyTree(const std::string& from, const std::string& to) {
  test::MakeDirs(to);
  for (const std::string& name : test::ListDir(from)) {
    const std::string source = from + "/" + name, target = to + "/" + name;
    struct stat st;
    ASSERT_EQ(lstat(source.c_str(), &st), 0);
    if (S_ISDIR(st.st_mode)) {
      CopyTree(source, target);
    } else if (S_ISLNK(st.st_mode)) {
      char buffer[4096];
      const ssize_t n = readlink(source.c_str(), buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      ASSERT_EQ(symlink(std::string(buffer, n).c_str(), target.c_str()), 0);
      continue;
    } else {
      test::WriteFile(target, test::ReadFile(source));
    }
    chmod(target.c_str(), st.st_mode & 07777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  struct stat st;
  if (lstat(from.c_str(), &st) == 0) {
    chmod(to.c_str(), st.st_mode & 07777);
  }
}

void PackKit(const std::string& directory, const std::string& kit) {
  const test::ProcessResult result =
      test::RunProcess({OKDPACK, "--single", "Demo", "Vendor", "readme.txt", directory, kit});
  ASSERT_EQ(result.status, 0) << result.err;
}

std::vector<std::string> Workspaces(const std::string& directory) {
  std::vector<std::string> found;
  for (const std::string& name : test::ListDir(directory)) {
    if (name.rfind("v8stp", 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace setup::enginetest
