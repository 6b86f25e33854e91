// Directory enumeration with fnmatch masks, and the existence test of one path.
#include "platform/FileFinder.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include "platform/Text.h"

namespace setup {

FileFinder::~FileFinder() { Close(); }

void FileFinder::Close() {
  if (stream_) {
    closedir(static_cast<DIR*>(stream_));
    stream_ = nullptr;
  }
}

bool FileFinder::FindFirst(const std::u16string& pattern) {
  Close();
  name_.clear();
  mode_ = 0;
  link_ = false;
  const std::string native = WideToMultiByte(pattern);
  const size_t slash = native.rfind('/');
  mask_ = slash == std::string::npos ? native : native.substr(slash + 1);
  directory_ = slash == std::string::npos ? "" : native.substr(0, slash + 1);

  if (mask_.find('*') == std::string::npos) {
    // No enumeration: "?" and "[" are ordinary characters in a plain path.
    name_ = MultiByteToWide(mask_);
    struct stat st;
    if (stat(native.c_str(), &st) != 0) return false;
    mode_ = st.st_mode;
    return true;
  }
  stream_ = opendir(directory_.empty() ? "." : directory_.c_str());
  if (!stream_) return false;
  return FindNext();
}

bool FileFinder::FindNext() {
  if (!stream_) return false;
  while (const dirent* entry = readdir(static_cast<DIR*>(stream_))) {
    if (fnmatch(mask_.c_str(), entry->d_name, FNM_NOESCAPE) != 0) continue;
    name_ = MultiByteToWide(entry->d_name);
    const std::string path = directory_ + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;  // gone since it was listed
    link_ = S_ISLNK(st.st_mode);
    // Links count as what they point to; a dangling one as a plain entry, so
    // that it does not end the enumeration and nothing after it is missed.
    struct stat target;
    mode_ = link_ && stat(path.c_str(), &target) == 0 ? target.st_mode : st.st_mode;
    return true;
  }
  Close();
  return false;
}

uint32_t FileFinder::FoundAttributes() const { return S_ISDIR(mode_) ? kFileAttributeDirectory : 0; }

}  // namespace setup
