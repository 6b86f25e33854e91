// Starter configuration files. Reading takes every line literally; writing
// replaces the file through a sibling temporary so that a full disk or a crash
// never leaves the user with half a configuration.
#include "core/StarterConfiguration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "platform/Text.h"
#include "platform/TextFile.h"

namespace setup {

// --- in memory -------------------------------------------------------------

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  for (;;) {
    const size_t endA = a.find(u'\0'), endB = b.find(u'\0');
    if (CompareNoCase(a.substr(0, endA), b.substr(0, endB)) != 0) return false;
    if (endA == std::u16string_view::npos || endB == std::u16string_view::npos) return endA == endB;
    a.remove_prefix(endA + 1);
    b.remove_prefix(endB + 1);
  }
}

StarterConfiguration::Entry* StarterConfiguration::Find(std::u16string_view key) {
  for (Entry& entry : entries_) {
    if (EqualNoCase(entry.key, key)) return &entry;
  }
  return nullptr;
}

const StarterConfiguration::Entry* StarterConfiguration::Find(std::u16string_view key) const {
  return const_cast<StarterConfiguration*>(this)->Find(key);
}

void StarterConfiguration::AddValue(std::u16string_view key, std::u16string_view value) {
  Entry* entry = Find(key);
  if (!entry) {
    entries_.push_back(Entry{std::u16string(key), {}});
    entry = &entries_.back();
  }
  for (const std::u16string& held : entry->values) {
    if (EqualNoCase(held, value)) return;
  }
  entry->values.emplace_back(value);
}

std::vector<std::u16string> StarterConfiguration::ValuesOf(std::u16string_view key) const {
  const Entry* entry = Find(key);
  return entry ? entry->values : std::vector<std::u16string>{};
}

void StarterConfiguration::SetValues(std::u16string_view key, std::vector<std::u16string> values) {
  if (Entry* entry = Find(key)) {
    entry->values = std::move(values);
  } else {
    entries_.push_back(Entry{std::u16string(key), std::move(values)});
  }
}

// --- reading ---------------------------------------------------------------

void StarterParser::Feed(std::u16string_view text) {
  for (const char16_t c : text) {
    if (c == u'\n') {
      EndLine();
    } else if (!inValue_ && c == u'=') {
      inValue_ = true;  // only the first "=" splits; later ones are value text
    } else {
      (inValue_ ? value_ : key_).push_back(c);
    }
  }
}

void StarterParser::Finish() { EndLine(); }

void StarterParser::EndLine() {
  // An empty line and a lone "=" carry nothing.
  if (!key_.empty() || !value_.empty()) configuration_.AddValue(key_, value_);
  key_.clear();
  value_.clear();
  inValue_ = false;
}

void ParseStarterText(std::u16string_view text, StarterConfiguration& configuration) {
  StarterParser parser(configuration);
  parser.Feed(text);
  parser.Finish();
}

void LoadStarterStream(TextStream& stream, StarterConfiguration& configuration) {
  StarterParser parser(configuration);
  for (std::u16string piece = ReadText(stream); !piece.empty(); piece = ReadText(stream)) {
    parser.Feed(piece);
  }
  parser.Finish();
}

void LoadStarterFile(const std::u16string& path, StarterConfiguration& configuration) {
  if (path.empty()) return;
  TextStreamPtr stream = OpenTextForReading(path);
  if (!stream) return;
  LoadStarterStream(*stream, configuration);
}

// --- writing ---------------------------------------------------------------

namespace {

std::u16string FormatLine(const std::u16string& key, const std::u16string& value) {
  std::u16string line;
  line.reserve(key.size() + value.size() + 2);
  line += key;
  line += u'=';
  line += value;
  line += u'\n';
  return line;
}

// Removes the temporary file on every path that does not hand it over.
class TemporaryName {
 public:
  TemporaryName() = default;
  ~TemporaryName() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;

  void Set(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// Mixes a 64-bit value (splitmix64 finaliser); the names only have to differ,
// O_EXCL is what makes them safe.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Creates "<dir>/.<name>.XXXXXX" exclusively with `mode` (the umask applies,
// as it would to the file itself). Returns the descriptor or -1.
int CreateSibling(const std::string& target, mode_t mode, TemporaryName& temporary) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  struct timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  static std::atomic<uint64_t> counter{0};
  uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                  (static_cast<uint64_t>(getpid()) << 40) ^ ++counter;
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = Mix(seed);
    std::string candidate = directory + "." + name + ".";
    for (int i = 0; i < 6; ++i) candidate += kLetters[(seed >> (i * 6)) % (sizeof kLetters - 1)];
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      temporary.Set(std::move(candidate));
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// The file the name stands for: a symbolic link is written through, so that a
// starter configuration kept elsewhere and linked in stays where it is.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      std::string target = resolved;
      std::free(resolved);
      return target;
    }
  }
  return path;
}

// Makes a finished rename durable. Best effort: by now the new file has
// replaced the old one either way, and a failure here changes nothing the
// caller could act on.
void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::u16string FormatStarterText(const StarterConfiguration& configuration) {
  std::u16string text;
  for (const StarterConfiguration::Entry& entry : configuration.Entries()) {
    for (const std::u16string& value : entry.values) text += FormatLine(entry.key, value);
  }
  return text;
}

ErrorCode SaveStarterFile(const StarterConfiguration& configuration, const std::u16string& path) {
  if (path.empty()) return kStarterCannotOpen;
  const std::string target = ResolveTarget(WideToMultiByte(path));

  // The replacement keeps the permission bits and, where allowed, the owner of
  // the file it replaces; a new file gets what the umask gives any new file.
  struct stat old{};
  bool existed = false;
  if (stat(target.c_str(), &old) == 0) {
    existed = S_ISREG(old.st_mode);
  } else if (errno != ENOENT) {
    return kStarterCannotOpen;  // a file we cannot look at would lose its bits
  }
  const mode_t createMode = existed ? (old.st_mode & 0777) : 0666;

  TemporaryName temporary;
  const int fd = CreateSibling(target, createMode, temporary);
  if (fd < 0) return kStarterCannotOpen;
  std::FILE* file = fdopen(fd, "wb");
  if (!file) {
    close(fd);
    return kStarterCannotOpen;
  }
  auto stream = std::make_unique<TextStream>(file, TextEncoding::MultiByte, false);

  if (existed) {
    // The umask may have narrowed the bits at creation; never widened them, so
    // the text is never readable by more users than the old file was.
    if (fchmod(fd, old.st_mode & 07777) != 0) return kStarterCannotWrite;
    struct stat now{};
    if (fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
      // Only root may give a file away; for anyone else the file simply stays theirs.
      if (fchown(fd, old.st_uid, old.st_gid) == 0) fchmod(fd, old.st_mode & 07777);
    }
  }

  for (const StarterConfiguration::Entry& entry : configuration.Entries()) {
    for (const std::u16string& value : entry.values) {
      if (!WriteText(*stream, FormatLine(entry.key, value))) return kStarterCannotWrite;
    }
  }
  if (std::fflush(file) != 0) return kStarterCannotWrite;
  if (fsync(fd) != 0) return kStarterCannotWrite;
  if (!CloseText(std::move(stream))) return kStarterCannotWrite;
  if (rename(temporary.Path().c_str(), target.c_str()) != 0) return kStarterCannotWrite;
  temporary.Keep();
  SyncDirectoryOf(target);
  return kErrorSuccess;
}

}  // namespace setup
