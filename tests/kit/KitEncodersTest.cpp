// Kits made by other DEFLATE encoders: the reader must take any valid raw
// stream, not just what our own tool happens to write.
#include "KitTestUtil.h"

namespace setup::kittest {
namespace {

// CTest selects these with -R kit.
using kit_encoders = KitTest;

KitModel MixedModel() {
  KitModel model;
  model.descriptions = {{u"en", u"Templates", u"Orvik", u"docs\\readme.html"},
                        {u"ru", u"Шаблоны", u"Орвик", u"docs\\readme.ru.html"}};
  const std::string noise = NoiseBytes(100000, 12345);
  model.files = {
      {u"docs\\readme.html", 132000000000000000ull, SampleText(5000, 1)},
      {u"cfg/main.cfg", 132000000000000001ull, SampleText(300000, 2)},
      {u"bin/noise.dat", 132000000000000002ull, noise},
      {u"empty", 0, ""},
      {u"zeros", 1, std::string(200000, '\0')},
  };
  return model;
}

// Removes the gzip wrapper: the 10-byte header with its optional fields and
// the 8-byte trailer.
std::string StripGzip(const std::string& gz) {
  if (gz.size() < 18 || uint8_t(gz[0]) != 0x1f || uint8_t(gz[1]) != 0x8b) return "";
  uint8_t flags = uint8_t(gz[3]);
  size_t at = 10;
  if (flags & 4) at += 2 + (uint8_t(gz[at]) | uint8_t(gz[at + 1]) << 8);
  if (flags & 8) at = gz.find('\0', at) + 1;
  if (flags & 16) at = gz.find('\0', at) + 1;
  if (flags & 2) at += 2;
  return gz.substr(at, gz.size() - at - 8);
}

TEST_F(kit_encoders, GzipStreamsReadBack) {
  KitModel model = MixedModel();
  test::WriteFile(Path("image"), model.Image());
  for (const char* level : {"-1", "-6", "-9"}) {
    // -N stores the file name, so the header carries an optional field.
    for (const char* name : {"-n", "-N"}) {
      test::ProcessResult gzip = test::RunProcess({"/usr/bin/env", "gzip", "-c", level, name, Path("image")});
      ASSERT_EQ(gzip.status, 0) << gzip.err;
      std::string kit = StripGzip(gzip.out);
      ASSERT_FALSE(kit.empty());
      KitReader reader;
      ASSERT_EQ(ReadKit(reader, kit), 0u) << level << name;
      ExpectHolds(reader, model);
      // The trailer left in place is just bytes after the stream.
      ASSERT_EQ(ReadKit(reader, kit + gzip.out.substr(gzip.out.size() - 8)), 0u);
      ExpectHolds(reader, model);
    }
  }
}

TEST_F(kit_encoders, PythonZlibStreamsReadBack) {
  KitModel model = MixedModel();
  test::WriteFile(Path("image"), model.Image());
  // level, window bits, memory level, strategy, and how the input is fed:
  // whole, or in pieces with a flush after each (sync and full flushes put
  // empty stored blocks into the stream).
  const char* script = R"(
import sys, zlib
data = open(sys.argv[1], 'rb').read()
variants = []
for level in (0, 1, 6, 9):
    for strategy in ('Z_DEFAULT_STRATEGY', 'Z_FILTERED', 'Z_HUFFMAN_ONLY', 'Z_RLE', 'Z_FIXED'):
        variants.append((level, -15, 8, strategy, None))
variants += [(9, -9, 1, 'Z_DEFAULT_STRATEGY', None), (6, -12, 9, 'Z_DEFAULT_STRATEGY', None),
             (6, -15, 8, 'Z_DEFAULT_STRATEGY', 'Z_SYNC_FLUSH'), (9, -15, 8, 'Z_FILTERED', 'Z_FULL_FLUSH'),
             (1, -15, 8, 'Z_DEFAULT_STRATEGY', 'Z_BLOCK')]
for i, (level, wbits, mem, strategy, flush) in enumerate(variants):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, mem, getattr(zlib, strategy))
    if flush:
        out = b''.join(c.compress(data[p:p + 7777]) + c.flush(getattr(zlib, flush))
                       for p in range(0, len(data), 7777))
    else:
        out = c.compress(data)
    open('%s/kit%d' % (sys.argv[2], i), 'wb').write(out + c.flush())
print(len(variants))
)";
  test::ProcessResult python = test::RunProcess({"/usr/bin/env", "python3", "-c", script, Path("image"), Path("")});
  ASSERT_EQ(python.status, 0) << python.err;
  int count = std::stoi(python.out);
  ASSERT_EQ(count, 25);
  for (int i = 0; i < count; ++i) {
    KitReader reader;
    test::WriteFile(Path("kit.okd"), test::ReadFile(Path("kit" + std::to_string(i))));
    ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("kit.okd"))), 0u) << "variant " << i;
    ExpectHolds(reader, model);
  }
}

}  // namespace
}  // namespace setup::kittest
