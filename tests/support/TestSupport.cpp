// The helpers that read the same on both builds. std::filesystem does the
// work; paths go in as UTF-8 (char8_t) so that Windows sees the real
// characters rather than the ANSI code page's guess at them.
#include "TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Path.h"
#include "platform/Text.h"

namespace setup::test {
namespace fs = std::filesystem;

namespace {

fs::path FsPath(const std::string& utf8) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace

std::string NativePath(std::string path) {
  if (kNativePathStyle == PathStyle::Windows) std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string ScratchDir::operator/(const std::string& name) const { return NativePath(path_ + "/" + name); }

std::u16string ScratchDir::Wide(const std::string& name) const {
  return Utf8ToUtf16(name.empty() ? path_ : *this / name);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(FsPath(path), error));
}

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return fs::is_directory(fs::status(FsPath(path), error));
}

int64_t FileSizeOf(const std::string& path) {
  std::error_code error;
  const uintmax_t size = fs::file_size(FsPath(path), error);
  return error ? -1 : static_cast<int64_t>(size);
}

void MakeDirs(const std::string& path) {
  std::error_code error;
  fs::create_directories(FsPath(path), error);
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(FsPath(path), error), end; !error && it != end; it.increment(error)) {
    names.push_back(Utf8Of(it->path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

ScopedTemporaryDirectory::~ScopedTemporaryDirectory() {
  for (const auto& [name, value] : saved_) SetEnvironment(name, value.c_str());
  for (const std::string& name : unset_) SetEnvironment(name, nullptr);
}

}  // namespace setup::test
