#pragma once
// okdpack run as the vendor runs it, on trees made by the tests; the
// fixture of the tests of both builds and of the Linux-only ones.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>

#include "KitTestUtil.h"

namespace setup::kittest {

inline const std::string kOkdpack = OKDPACK_PATH;

struct TreeFile {
  std::string relative;
  std::string data;
  int64_t seconds;
  long nanoseconds;
};

class OkdpackTest : public KitTest {
 protected:
  void MakeTree(const std::string& root, const std::vector<TreeFile>& files) {
    test::MakeDirs(root);
    for (const TreeFile& f : files) {
      std::string path = test::NativePath(root + "/" + f.relative);
      test::MakeDirs(path.substr(0, path.find_last_of("/\\")));
      test::WriteFile(path, f.data);
#ifdef _WIN32
      ASSERT_TRUE(test::SetWriteTime(path, FileTimeFromUnix(f.seconds, f.nanoseconds))) << path;
#else
      // To the nanosecond, so that the packer's rounding to 100 ns shows.
      timespec times[2] = {{time_t(f.seconds), f.nanoseconds}, {time_t(f.seconds), f.nanoseconds}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
#endif
    }
  }

  test::ProcessResult Okdpack(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), kOkdpack);
    // Windows children take TMP and TEMP from this process (KitTest).
    env.emplace("TMPDIR", Tmp());
    return test::RunProcess(args, env);
  }

  // Packs `root` into tree.okd, reads the kit back and compares every entry
  // with the file it came from: name (with `separator`), bytes and time to
  // 100 ns, in the byte order of the UTF-8 names.
  void ExpectRoundTrip(const std::string& root, std::vector<TreeFile> files, const std::vector<std::string>& options,
                       char16_t separator) {
    std::vector<std::string> args = options;
    args.push_back(root);
    args.push_back(Path("tree.okd"));
    test::ProcessResult run = Okdpack(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    KitReader reader;
    ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("tree.okd"))), 0u);
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.relative < b.relative; });
    ASSERT_EQ(reader.Files().size(), files.size());
    uint32_t next = reader.Files().empty() ? 0 : reader.Files()[0].position;
    for (size_t i = 0; i < files.size(); ++i) {
      const KitFileEntry& entry = reader.Files()[i];
      std::u16string name = Utf8ToUtf16(files[i].relative);
      std::replace(name.begin(), name.end(), u'/', separator);
      EXPECT_EQ(entry.name, name);
      EXPECT_EQ(entry.lastWriteTime, FileTimeFromUnix(files[i].seconds, files[i].nanoseconds)) << files[i].relative;
      EXPECT_EQ(entry.position, next) << "data in table order";
      next += entry.size;
      EXPECT_TRUE(ImageBytes(reader, entry.position, entry.size) == files[i].data) << files[i].relative;
    }
  }

  // Lines as okdpack prints them: Windows ends them with CR LF.
  static std::string Lines(const std::string& text) {
    if (kNativePathStyle == PathStyle::Posix) return text;
    std::string lines;
    for (char c : text) {
      if (c == '\n') lines += '\r';
      lines += c;
    }
    return lines;
  }
};

// CTest selects these with -R kit.
using kit_okdpack = OkdpackTest;

// Each refusal is one line naming the culprit, a failure status, and no kit.
inline void ExpectRefused(const test::ProcessResult& run, const std::string& culprit) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_NE(run.err.find(culprit), std::string::npos) << run.err;
}

}  // namespace setup::kittest
