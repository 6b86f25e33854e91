#include "KitPacker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/FileOps.h"
#include "platform/Text.h"

namespace okdpack {

namespace {

using setup::KitDescription;

constexpr size_t kChunkSize = 65536;

struct Item {
  std::string relative;  // with "/" between components, as on disk
  std::u16string name;   // as stored in the kit
  uint64_t size = 0;
  setup::FileTime time = 0;
};

std::string Joined(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string ErrnoText(int error) { return std::strerror(error); }

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

class Walker {
 public:
  Walker(const PackOptions& options, dev_t skipDevice, ino_t skipInode, bool skip)
      : options_(options), skipDevice_(skipDevice), skipInode_(skipInode), skip_(skip) {}

  // Collects the regular files below `relative`, refusing links and
  // special files rather than packing something the vendor did not mean.
  bool Walk(const std::string& relative, std::vector<Item>& items, std::string& message) {
    std::string path = relative.empty() ? options_.directory : Joined(options_.directory, relative);
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    if (!dir) {
      message = path + ": cannot read the directory: " + ErrnoText(errno);
      return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = readdir(dir.get())) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
      errno = 0;
    }
    if (errno) {
      message = path + ": cannot read the directory: " + ErrnoText(errno);
      return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string childRelative = relative.empty() ? name : relative + "/" + name;
      std::string childPath = Joined(options_.directory, childRelative);
      struct stat st;
      if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        message = childPath + ": " + ErrnoText(errno);
        return false;
      }
      if (skip_ && st.st_dev == skipDevice_ && st.st_ino == skipInode_) continue;  // the kit itself
      if (S_ISDIR(st.st_mode)) {
        if (!Walk(childRelative, items, message)) return false;
      } else if (S_ISREG(st.st_mode)) {
        Item item;
        item.relative = childRelative;
        item.size = uint64_t(st.st_size);
        item.time = setup::FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        if (!StoredName(childPath, childRelative, item.name, message)) return false;
        items.push_back(std::move(item));
      } else if (S_ISLNK(st.st_mode)) {
        message = childPath + ": is a symbolic link; a kit holds only regular files";
        return false;
      } else {
        message = childPath + ": is not a regular file or directory";
        return false;
      }
    }
    return true;
  }

 private:
  bool StoredName(const std::string& path, const std::string& relative, std::u16string& name,
                  std::string& message) {
    std::u16string wide = setup::MultiByteToWide(relative);
    if (setup::WideToMultiByte(wide) != relative) {
      message = path + ": the name is not valid text in this locale's encoding";
      return false;
    }
    // On Linux "\" may sit inside a name, but the reader takes it for a
    // separator and would install the file somewhere else.
    if (wide.find(u'\\') != std::u16string::npos) {
      message = path + ": names holding \"\\\" cannot be packed";
      return false;
    }
    if (!setup::IsSafeKitEntryName(wide, setup::PathStyle::Posix)) {
      message = path + ": the name would be refused by the kit reader";
      return false;
    }
    // One kit serves both programs, so a name Windows would not take as a
    // plain file name (a trailing dot or blank, a colon, "nul") is refused
    // here rather than there, where the whole kit would count as damaged.
    if (!setup::IsSafeKitEntryName(wide, setup::PathStyle::Windows)) {
      message = path + ": the name cannot be installed on Windows";
      return false;
    }
    for (char16_t& c : wide) {
      if (c == u'/') c = options_.separator;
    }
    name = std::move(wide);
    return true;
  }

  const PackOptions& options_;
  dev_t skipDevice_;
  ino_t skipInode_;
  bool skip_;
};

void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(char(value >> (8 * i)));
}

void PutU64(std::string& out, uint64_t value) {
  PutU32(out, uint32_t(value));
  PutU32(out, uint32_t(value >> 32));
}

void PutString(std::string& out, const std::u16string& text) {
  PutU32(out, uint32_t(text.size()));
  for (char16_t c : text) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
}

std::string Record(const std::string& fields) {
  std::string record;
  PutU32(record, uint32_t(fields.size() + 4));
  return record + fields;
}

// Deflates into the kit file chunk by chunk.
class DeflateWriter {
 public:
  DeflateWriter(int fd, const std::string& path) : fd_(fd), path_(path), output_(kChunkSize) {}
  ~DeflateWriter() {
    if (ready_) deflateEnd(&stream_);
  }

  bool Init(int level, std::string& message) {
    // Raw DEFLATE with a 32 KiB window: the kit carries no wrapper.
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      message = path_ + ": cannot set up compression";
      return false;
    }
    ready_ = true;
    return true;
  }

  bool Write(const void* data, size_t size, std::string& message) {
    stream_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    stream_.avail_in = uInt(size);
    return Pump(Z_NO_FLUSH, message);
  }

  bool Finish(std::string& message) { return Pump(Z_FINISH, message); }

 private:
  bool Pump(int flush, std::string& message) {
    for (;;) {
      stream_.next_out = output_.data();
      stream_.avail_out = uInt(output_.size());
      int result = deflate(&stream_, flush);
      if (result == Z_STREAM_ERROR) {
        message = path_ + ": compression failed";
        return false;
      }
      size_t produced = output_.size() - stream_.avail_out;
      if (!WriteAll(output_.data(), produced, message)) return false;
      if (flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0) return true;
    }
  }

  bool WriteAll(const uint8_t* data, size_t size, std::string& message) {
    while (size > 0) {
      ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        message = path_ + ": cannot write: " + ErrnoText(n < 0 ? errno : ENOSPC);
        return false;
      }
      data += n;
      size -= size_t(n);
    }
    return true;
  }

  int fd_;
  std::string path_;
  std::vector<uint8_t> output_;
  z_stream stream_{};
  bool ready_ = false;
};

std::string Tables(const PackOptions& options, const std::vector<Item>& items) {
  std::string image;
  if (options.single) {
    PutU32(image, 0);
    const KitDescription& d = options.descriptions.front();
    PutString(image, d.product);
    PutString(image, d.vendor);
    PutString(image, d.description);
  } else {
    PutU32(image, 1);
    PutU32(image, uint32_t(options.descriptions.size()));
    for (const KitDescription& d : options.descriptions) {
      std::string fields;
      PutString(fields, d.language);
      PutString(fields, d.product);
      PutString(fields, d.vendor);
      PutString(fields, d.description);
      image += Record(fields);
    }
  }
  PutU32(image, uint32_t(items.size()));
  uint64_t offset = 0;
  for (const Item& item : items) {
    std::string fields;
    PutString(fields, item.name);
    PutU64(fields, item.time);
    PutU32(fields, uint32_t(offset));
    PutU32(fields, uint32_t(item.size));
    image += Record(fields);
    offset += item.size;
  }
  return image;
}

// Copies one file into the stream, insisting it still has the size it was
// listed with: the table already promised that many bytes.
bool CopyFile(const PackOptions& options, const Item& item, DeflateWriter& writer, std::vector<uint8_t>& buffer,
              std::string& message) {
  std::string path = Joined(options.directory, item.relative);
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    message = path + ": cannot open: " + ErrnoText(errno);
    return false;
  }
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      message = path + ": cannot read: " + ErrnoText(errno);
      return false;
    }
    if (n == 0) break;
    total += uint64_t(n);
    if (total > item.size) break;
    if (!writer.Write(buffer.data(), size_t(n), message)) return false;
  }
  if (total != item.size) {
    message = path + ": the file changed while it was being packed";
    return false;
  }
  return true;
}

}  // namespace

int Pack(const PackOptions& options, std::string& message) {
  struct stat kitStat;
  bool kitExists = ::stat(options.kit.c_str(), &kitStat) == 0;
  struct stat dirStat;
  if (::stat(options.directory.c_str(), &dirStat) != 0) {
    message = options.directory + ": " + ErrnoText(errno);
    return 1;
  }
  if (!S_ISDIR(dirStat.st_mode)) {
    message = options.directory + ": is not a directory";
    return 1;
  }

  std::vector<Item> items;
  Walker walker(options, kitExists ? kitStat.st_dev : 0, kitExists ? kitStat.st_ino : 0, kitExists);
  if (!walker.Walk("", items, message)) return 1;
  // The walk already visits names in order; sorting the full paths makes the
  // order independent of how components compare against "/".
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.relative < b.relative; });
  // Linux may hold a file "data" beside a folder "Data"; Windows takes them
  // for one name, and its reader would count the whole kit as damaged.
  std::vector<std::u16string_view> names;
  names.reserve(items.size());
  for (const Item& item : items) names.push_back(item.name);
  setup::KitNameClash clash;
  if (setup::CheckFileFolderNames(names, setup::PathStyle::Windows, clash) != 0) {
    message = Joined(options.directory, items[clash.file].relative) + ": on Windows the same name as the folder of " +
              Joined(options.directory, items[clash.inside].relative);
    return 1;
  }

  std::string tables = Tables(options, items);
  uint64_t imageSize = tables.size();
  for (const Item& item : items) {
    if (item.size > setup::kKitImageSizeLimit) {
      message = Joined(options.directory, item.relative) + ": larger than the 4294967295 bytes a kit can address";
      return 1;
    }
    imageSize += item.size;
  }
  if (imageSize > setup::kKitImageSizeLimit) {
    message = options.directory + ": the kit would hold " + std::to_string(imageSize) +
              " bytes, more than the 4294967295 a kit can address";
    return 1;
  }

  // Written beside the kit and renamed over it at the end, so a failure never
  // leaves a half kit or destroys an older one.
  std::string temporary = options.kit + ".XXXXXX";
  Fd out(mkostemp(temporary.data(), O_CLOEXEC));
  if (out.get() < 0) {
    message = options.kit + ": cannot create: " + ErrnoText(errno);
    return 1;
  }
  auto fail = [&]() {
    ::unlink(temporary.c_str());
    return 1;
  };
  mode_t mask = umask(0);
  umask(mask);
  fchmod(out.get(), 0666 & ~mask);

  DeflateWriter writer(out.get(), options.kit);
  if (!writer.Init(options.level, message)) return fail();
  if (!writer.Write(tables.data(), tables.size(), message)) return fail();
  std::string().swap(tables);
  std::vector<uint8_t> buffer(kChunkSize);
  for (const Item& item : items) {
    if (!CopyFile(options, item, writer, buffer, message)) return fail();
  }
  if (!writer.Finish(message)) return fail();
  if (::close(out.release()) != 0) {
    message = options.kit + ": cannot write: " + ErrnoText(errno);
    return fail();
  }
  if (::rename(temporary.c_str(), options.kit.c_str()) != 0) {
    message = options.kit + ": cannot create: " + ErrnoText(errno);
    return fail();
  }
  return 0;
}

}  // namespace okdpack
