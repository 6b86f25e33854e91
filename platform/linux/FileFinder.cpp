// Directory enumeration with fnmatch masks, and the existence test of one path.
#include "platform/FileFinder.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/Text.h"

namespace setup {

struct FileFinder::State {
  std::u16string name;
  std::string directory;  // multibyte directory part of the pattern
  std::string mask;       // multibyte mask
  DIR* stream = nullptr;
  mode_t mode = 0;        // st_mode of the current entry, 0 when none
  bool link = false;
  bool failed = false;
};

FileFinder::FileFinder() : state_(std::make_unique<State>()) {}

FileFinder::~FileFinder() { Close(); }

void FileFinder::Close() {
  if (state_->stream) {
    closedir(state_->stream);
    state_->stream = nullptr;
  }
}

const std::u16string& FileFinder::FoundName() const { return state_->name; }

bool FileFinder::FoundIsSymbolicLink() const { return state_->link; }

bool FileFinder::Failed() const { return state_->failed; }

bool FileFinder::FindFirst(const std::u16string& pattern) {
  Close();
  State& s = *state_;
  s.name.clear();
  s.mode = 0;
  s.link = false;
  s.failed = false;
  const std::string native = WideToMultiByte(pattern);
  const size_t slash = native.rfind('/');
  s.mask = slash == std::string::npos ? native : native.substr(slash + 1);
  s.directory = slash == std::string::npos ? "" : native.substr(0, slash + 1);

  if (s.mask.find('*') == std::string::npos) {
    // No enumeration: "?" and "[" are ordinary characters in a plain path.
    s.name = MultiByteToWide(s.mask);
    struct stat st;
    if (stat(native.c_str(), &st) != 0) return false;
    s.mode = st.st_mode;
    return true;
  }
  s.stream = opendir(s.directory.empty() ? "." : s.directory.c_str());
  if (!s.stream) {
    s.failed = errno != ENOENT && errno != ENOTDIR;
    return false;
  }
  return FindNext();
}

bool FileFinder::FindNext() {
  State& s = *state_;
  if (!s.stream) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(s.stream);
    if (!entry) break;
    if (fnmatch(s.mask.c_str(), entry->d_name, FNM_NOESCAPE) != 0) continue;
    s.name = MultiByteToWide(entry->d_name);
    const std::string path = s.directory + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;  // gone since it was listed
    s.link = S_ISLNK(st.st_mode);
    // Links count as what they point to; a dangling one as a plain entry, so
    // that it does not end the enumeration and nothing after it is missed.
    struct stat target;
    s.mode = s.link && stat(path.c_str(), &target) == 0 ? target.st_mode : st.st_mode;
    return true;
  }
  s.failed = errno != 0;
  Close();
  return false;
}

uint32_t FileFinder::FoundAttributes() const { return S_ISDIR(state_->mode) ? kFileAttributeDirectory : 0; }

}  // namespace setup
