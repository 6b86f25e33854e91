#include <chrono>
#include <thread>

#include "KitTestUtil.h"
#include "platform/FileMapping.h"

namespace setup::kittest {
namespace {

// CTest selects these with -R kit.
using kit_reader = KitTest;

std::string Hex(const char* text) {
  std::string bytes;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(char(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

// The 113-byte example image, spelled out byte for byte.
std::string WorkedExample() {
  return Hex(
      "01000000"                                          // layout flag 1
      "01000000"                                          // one description
      "3c000000"                                          // record of 60 bytes
      "02000000 6500 6e00"                                // en
      "04000000 4400 6500 6d00 6f00"                      // Demo
      "04000000 5300 6800 6f00 7000"                      // Shop
      "0a000000 7200 6500 6100 6400 6d00 6500 2e00 7400 7800 7400"  // readme.txt
      "01000000"                                          // one file
      "26000000"                                          // record of 38 bytes
      "07000000 6100 2f00 6200 2e00 7400 7800 7400"       // a/b.txt
      "00000000 0000d001"                                 // time
      "00000000"                                          // offset 0
      "03000000"                                          // size 3
      "616263");                                          // abc
}

KitModel DemoModel(bool single) {
  KitModel model;
  model.single = single;
  model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}};
  model.files = {{u"a/b.txt", 0x01d0000000000000ull, "abc"}};
  return model;
}

TEST_F(kit_reader, WorkedExampleReadsBack) {
  std::string image = WorkedExample();
  ASSERT_EQ(image.size(), 113u);
  // The hand-built model writes the same bytes but for the layout flag.
  std::string model = DemoModel(false).Image();
  model[0] = 1;
  ASSERT_EQ(model, image);

  KitReader reader;
  ASSERT_EQ(ReadImage(reader, image), 0u);
  ExpectHolds(reader, DemoModel(false));
  EXPECT_EQ(reader.Files()[0].position, 110u);

  // The image lies in the temporary directory (KitReaderPosixTest.cpp checks
  // that it is the user's alone), and it goes with Close.
  std::vector<std::string> odk = OdkFiles();
  ASSERT_EQ(odk.size(), 1u);
  EXPECT_EQ(Utf16ToUtf8(reader.ImagePath()), test::NativePath(Tmp() + "/" + odk[0]));
  EXPECT_EQ(test::FileSizeOf(test::NativePath(Tmp() + "/" + odk[0])), int64_t(image.size()));
  reader.Close();
  EXPECT_EQ(reader.ImageHandle(), kInvalidFileHandle);
  EXPECT_TRUE(OdkFiles().empty());
  reader.Close();
  EXPECT_TRUE(OdkFiles().empty());
}

TEST_F(kit_reader, SingleLayoutReadsAsEnglish) {
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, DemoModel(true).Image()), 0u);
  ExpectHolds(reader, DemoModel(true));
  // flag, Demo, Shop, readme.txt, file count, one file record
  EXPECT_EQ(reader.Files()[0].position, 4u + 12 + 12 + 24 + 4 + 38);
}

TEST_F(kit_reader, DestructorDeletesTheImage) {
  {
    KitReader reader;
    ASSERT_EQ(ReadImage(reader, WorkedExample()), 0u);
    EXPECT_EQ(OdkFiles().size(), 1u);
  }
  EXPECT_TRUE(OdkFiles().empty());
}

TEST_F(kit_reader, ReadingAgainReplacesEverything) {
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, WorkedExample()), 0u);
  KitModel other = DemoModel(false);
  other.descriptions[0].product = u"Other";
  other.files.push_back({u"c", 5, "xyz"});
  ASSERT_EQ(ReadImage(reader, other.Image()), 0u);
  ExpectHolds(reader, other);
  EXPECT_EQ(OdkFiles().size(), 1u);
}

TEST_F(kit_reader, TrailingRecordBytesAreSkipped) {
  KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}, {u"ru", u"Демо", u"Магазин", u"ru.txt"}};
  model.files = {{u"one", 1, "1"}, {u"two\\three", 2, "23"}, {u"four", 3, ""}};
  for (size_t padding : {1, 3, 17, 4000}) {
    model.recordPadding = padding;
    KitReader reader;
    ASSERT_EQ(ReadImage(reader, model.Image()), 0u) << padding;
    ExpectHolds(reader, model);
  }
}

TEST_F(kit_reader, EmptyTables) {
  KitModel model;  // no descriptions, no files
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, model.Image()), 0u);
  EXPECT_TRUE(reader.Descriptions().empty());
  EXPECT_TRUE(reader.Files().empty());
  ProductAndVendor names = reader.FindProductAndVendor(u"en");
  EXPECT_EQ(names.product, u"");
  EXPECT_EQ(names.vendor, u"");
  EXPECT_EQ(reader.FindDescription(u"en"), u"");

  // Descriptions without files.
  KitModel described = DemoModel(false);
  described.files.clear();
  ASSERT_EQ(ReadImage(reader, described.Image()), 0u);
  ExpectHolds(reader, described);
}

TEST_F(kit_reader, LanguageLookups) {
  KitModel model;
  model.descriptions = {
      {u"de", u"Produkt", u"Firma", u""},          // matches, but no description
      {u"DE", u"Zweites", u"Andere", u"de.txt"},  // never consulted: the first "de" decides
      {u"ru", u"Первый", u"Один", u"first.txt"},  // the first "ru" wins
      {u"RU", u"Второй", u"Два", u"second.txt"},
      {u"en", u"Product", u"Company", u"en.txt"},
      {u"pt_BR", u"Produto", u"Empresa", u"pt.txt"},
  };
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, model.Image()), 0u);

  EXPECT_EQ(reader.FindProductAndVendor(u"EN").product, u"Product");
  EXPECT_EQ(reader.FindProductAndVendor(u"pt_br").vendor, u"Empresa");
  EXPECT_EQ(reader.FindProductAndVendor(u"ru").product, u"Первый");
  EXPECT_EQ(reader.FindProductAndVendor(u"Ru").vendor, u"Один");
  EXPECT_EQ(reader.FindDescription(u"rU"), u"first.txt");
  // An empty reference falls back to English; the names do not.
  EXPECT_EQ(reader.FindDescription(u"de"), u"en.txt");
  EXPECT_EQ(reader.FindProductAndVendor(u"de").product, u"Produkt");
  // No such language: names stay empty, the reference is the English one.
  EXPECT_EQ(reader.FindProductAndVendor(u"fr").product, u"");
  EXPECT_EQ(reader.FindProductAndVendor(u"fr").vendor, u"");
  EXPECT_EQ(reader.FindDescription(u"fr"), u"en.txt");
  EXPECT_EQ(reader.FindDescription(u"p"), u"en.txt");
}

TEST_F(kit_reader, DescriptionFallbackWithoutEnglish) {
  KitModel model;
  model.descriptions = {{u"de", u"Produkt", u"Firma", u""}, {u"ru", u"П", u"Ф", u"ru.txt"}};
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, model.Image()), 0u);
  EXPECT_EQ(reader.FindDescription(u"de"), u"");
  EXPECT_EQ(reader.FindDescription(u"fr"), u"");
  EXPECT_EQ(reader.FindProductAndVendor(u"fr").product, u"");

  // An English description with an empty reference is returned as it is.
  model.descriptions.push_back({u"en", u"P", u"V", u""});
  model.descriptions.push_back({u"EN", u"P2", u"V2", u"late.txt"});
  ASSERT_EQ(ReadImage(reader, model.Image()), 0u);
  EXPECT_EQ(reader.FindDescription(u"de"), u"");
  EXPECT_EQ(reader.FindDescription(u"ru"), u"ru.txt");
}

TEST_F(kit_reader, BytesAfterTheStreamAreIgnored) {
  std::string kit = DeflateRaw(WorkedExample());
  // Enough garbage to spill over several mapping windows.
  std::string garbage = SampleText(100000, 3);
  KitReader reader;
  ASSERT_EQ(ReadKit(reader, kit + garbage), 0u);
  ExpectHolds(reader, DemoModel(false));
  ASSERT_EQ(ReadKit(reader, kit + std::string(1, '\0')), 0u);
  ExpectHolds(reader, DemoModel(false));
}

// A table keeps its names in shared blocks: names of any length and number
// read back whole.
TEST_F(kit_reader, NamesOfAnyLengthAndNumberReadBack) {
  KitModel model = DemoModel(false);
  model.files.push_back({u"long/" + std::u16string(40000, u'n'), 1, "l"});
  for (int i = 0; i < 5000; ++i) {
    std::u16string name = u"many/";
    for (char c : std::to_string(i)) name += char16_t(c);
    model.files.push_back({name, 2, "m"});
  }
  KitReader reader;
  ASSERT_EQ(ReadKit(reader, SealedKit(model.Image())), 0u);
  ExpectHolds(reader, model);
}

// The file table reaches a listener before Read returns: on a thread of the
// reader's, with the data waiting for its answer, when the kit's trailer
// gives the image's length. A listener that needs no data spares the data's
// inflating, but not the check of the kit: the image is made whole when a
// run asks for it. A kit whose data turns out damaged fails either way.
TEST_F(kit_reader, TheFileTableReachesTheListenerBeforeReadReturns) {
  KitModel model = DemoModel(false);
  // Large enough that what the inflater may hand over before it waits (a
  // batch in the reader's hands, one pending, one in its own: at most
  // 1.25 MiB) is less than half of it.
  model.files.push_back({u"dir/file.bin", 77, SampleText(3000000, 9)});
  const std::string image = model.Image();
  std::vector<std::u16string> told;
  std::thread::id toldOn;
  int64_t imageWhenTold = 0;
  bool dataWanted = true, wantedEarly = false;
  const auto listen = [&](const std::vector<KitFileEntry>& files, const KitReader::DataWanted& wantData) {
    told.clear();
    for (const KitFileEntry& entry : files) told.emplace_back(entry.name);
    toldOn = std::this_thread::get_id();
    // Time enough for the data to inflate whole, were it not waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<std::string> odk = OdkFiles();
    imageWhenTold = odk.size() == 1 ? test::FileSizeOf(test::NativePath(Tmp() + "/" + odk[0])) : -1;
    if (wantedEarly) wantData();
    return dataWanted;
  };
  const std::vector<std::u16string> names{u"a/b.txt", u"dir/file.bin"};
  struct Case {
    bool sealed, dataWanted, wantedEarly, imageKept;
  };
  for (const Case c : {Case{true, true, false, true}, Case{false, true, false, true}, Case{true, false, false, false},
                       Case{true, false, true, true}, Case{false, false, false, true}}) {
    const std::string what = std::to_string(c.sealed) + std::to_string(c.dataWanted) + std::to_string(c.wantedEarly);
    KitReader reader;
    reader.SetTableListener(listen);
    dataWanted = c.dataWanted;
    wantedEarly = c.wantedEarly;
    told.clear();
    ASSERT_EQ(ReadKit(reader, c.sealed ? SealedKit(image) : DeflateRaw(image)), 0u) << what;
    ASSERT_EQ(reader.FinishImage(), 0u) << what;
    EXPECT_EQ(told, names) << what;
    EXPECT_EQ(toldOn != std::this_thread::get_id(), c.sealed) << what;
    EXPECT_EQ(reader.Integrity(), c.sealed ? KitIntegrity::Verified : KitIntegrity::Unchecked) << what;
    if (c.sealed) {
      EXPECT_LT(imageWhenTold, int64_t(image.size()) / 2) << what;
    }
    EXPECT_EQ(OdkFiles().size(), c.imageKept ? 1u : 0u) << what;
    ASSERT_EQ(reader.ReopenImage(), 0u) << what;
    ExpectHolds(reader, model);
  }
  for (const bool wanted : {true, false}) {
    std::string damaged = SealedKit(image);
    damaged[damaged.size() - kKitTrailerSize - 20] ^= 0x5A;
    KitReader reader;
    reader.SetTableListener(listen);
    dataWanted = wanted;
    wantedEarly = false;
    told.clear();
    EXPECT_EQ(ReadKit(reader, damaged), kErrorInvalidData) << wanted;
    // Unchecked data may fail as a stream before it fails its sums.
    if (!wanted) {
      EXPECT_EQ(reader.Integrity(), KitIntegrity::Mismatch);
    }
    EXPECT_EQ(told.size(), 2u);
    EXPECT_TRUE(reader.Files().empty());
    EXPECT_TRUE(OdkFiles().empty());
  }
}

// A listener that wants the data has Read return as soon as it has
// answered, while the rest of the kit inflates: what the image does not
// hold yet is waited for, and the kit is judged whole at the end. A
// damaged stream is still refused by Read itself, before any of it is
// handed out; only a kit whose trailer lies about the image it packs (a
// stream that is the one described, inflating to other bytes) is found
// out afterwards.
TEST_F(kit_reader, AListenerWantingTheDataHasReadReturnWhileTheRestInflates) {
  KitModel model = DemoModel(false);
  model.files.push_back({u"dir/file.bin", 77, SampleText(3000000, 9)});
  const std::string image = model.Image();
  const std::string stream = DeflateRaw(image);
  KitTrailer lying = TrailerOf(stream, image);
  lying.imageCrc ^= 1;
  std::string damaged = SealedKit(image);
  damaged[stream.size() / 2] ^= 0x10;
  struct Case {
    const char* what;
    std::string kit;
    ErrorCode read, finished;
    KitIntegrity integrity;
  };
  for (const Case& c : {Case{"whole", SealedKit(image), 0, 0, KitIntegrity::Verified},
                        Case{"lying", stream + TrailerBytes(lying), 0, kErrorInvalidData, KitIntegrity::Mismatch},
                        Case{"damaged", damaged, kErrorInvalidData, kErrorInvalidData, KitIntegrity::Mismatch}}) {
    InflaterGate gate;
    KitReader reader;
    reader.SetInflaterFactory(CreateGatedInflater);
    reader.SetTableListener([](const std::vector<KitFileEntry>&, const KitReader::DataWanted&) { return true; });
    // The damaged kit is refused while the gate holds its data back, and
    // its reading then ends as soon as the gate opens.
    gate.OpenAfter(std::chrono::milliseconds(c.read ? 100 : 500));
    ASSERT_EQ(ReadKit(reader, c.kit), c.read) << c.what;
    if (c.read) {
      EXPECT_EQ(reader.Integrity(), c.integrity) << c.what;
      EXPECT_TRUE(reader.Files().empty()) << c.what;
      EXPECT_TRUE(OdkFiles().empty()) << c.what;
      continue;
    }
    EXPECT_FALSE(gate.IsOpen()) << c.what << ": Read waited for the whole kit";
    ASSERT_EQ(reader.Files().size(), 2u) << c.what;
    // The lying kit may be found out before its last bytes are asked for.
    const KitFileEntry last = reader.Files()[1];
    std::string copied;
    ErrorCode viewed = 0;
    for (uint32_t at = 0; at < last.size && viewed == 0; at = uint32_t(copied.size())) {
      const uint8_t* data = nullptr;
      uint32_t got = 0;
      viewed = reader.ViewImage(last.position + at, last.size - at, data, got);
      if (viewed == 0) copied.append(reinterpret_cast<const char*>(data), got);
    }
    if (c.finished == 0) {
      EXPECT_TRUE(viewed == 0 && copied == model.files[1].data) << c.what;
    } else if (viewed != 0) {
      EXPECT_EQ(viewed, c.finished) << c.what;
    }
    EXPECT_EQ(reader.FinishImage(), c.finished) << c.what;
    EXPECT_EQ(reader.FinishImage(), c.finished) << c.what;
    EXPECT_EQ(reader.Integrity(), c.integrity) << c.what;
    // The tables stay for a run that must undo what it copied.
    EXPECT_EQ(reader.Files().size(), 2u) << c.what;
    EXPECT_EQ(OdkFiles().size(), c.finished ? 0u : 1u) << c.what;
  }
}

TEST_F(kit_reader, InvalidDeflateDataFails) {
  KitReader reader;
  std::string kit = DeflateRaw(WorkedExample());
  kit[0] |= 0x06;  // block type 3 does not exist
  EXPECT_EQ(ReadKit(reader, kit), kErrorInvalidData);
  EXPECT_TRUE(OdkFiles().empty());
  EXPECT_TRUE(reader.Files().empty());
  EXPECT_EQ(reader.ImageHandle(), kInvalidFileHandle);

  // A stored block whose length check no longer matches, deep in a kit
  // larger than one mapping window.
  KitModel big = DemoModel(false);
  big.files[0].data = SampleText(200000, 5);
  std::string stored = DeflateRaw(big.Image(), 0);
  std::string broken = stored;
  size_t firstLength = uint8_t(stored[1]) | uint8_t(stored[2]) << 8;
  ASSERT_LT(5 + firstLength + 5, stored.size());
  broken[5 + firstLength + 3] ^= 0x01;  // NLEN of the second stored block
  EXPECT_EQ(ReadKit(reader, broken), kErrorInvalidData);
  EXPECT_TRUE(OdkFiles().empty());
  ASSERT_EQ(ReadKit(reader, stored), 0u);
  ExpectHolds(reader, big);
}

TEST_F(kit_reader, FlippedBytesNeverLeaveAnImage) {
  // Whatever a flipped byte does to the stream, Read either fails cleanly or
  // yields a table that still points inside the image.
  KitModel model = DemoModel(false);
  model.files.push_back({u"dir/file.bin", 77, SampleText(3000, 9)});
  std::string kit = DeflateRaw(model.Image());
  int failures = 0;
  for (size_t i = 0; i < kit.size(); ++i) {
    std::string damaged = kit;
    damaged[i] ^= 0x5A;
    KitReader reader;
    ErrorCode error = ReadKit(reader, damaged);
    if (error) {
      ++failures;
      EXPECT_EQ(error, kErrorInvalidData) << i;
      EXPECT_TRUE(OdkFiles().empty()) << i;
    } else {
      for (const KitFileEntry& entry : reader.Files()) {
        EXPECT_EQ(ImageBytes(reader, entry.position, entry.size).size(), entry.size) << i;
      }
    }
  }
  EXPECT_GT(failures, 0);
}

TEST_F(kit_reader, EveryCutThroughTheTablesFails) {
  KitModel model = DemoModel(false);
  model.descriptions.push_back({u"ru", u"Демо", u"Магазин", u""});
  model.files.push_back({u"x/y", 9, "xy"});
  std::string image = model.Image();
  // Every prefix, whether it ends in the tables or in the file data.
  for (size_t length = 0; length < image.size(); ++length) {
    KitReader reader;
    EXPECT_EQ(ReadImage(reader, image.substr(0, length)), kErrorInvalidData) << length;
    EXPECT_TRUE(OdkFiles().empty()) << length;
    EXPECT_TRUE(reader.Files().empty());
  }
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, image), 0u);

  // A compressed stream that simply stops: the short image fails to parse.
  std::string kit = DeflateRaw(image, 0);
  for (size_t length : {size_t(1), size_t(5), size_t(20), kit.size() - 10, kit.size() - 1}) {
    EXPECT_NE(ReadKit(reader, kit.substr(0, length)), 0u) << length;
    EXPECT_TRUE(OdkFiles().empty());
  }
}

TEST_F(kit_reader, MissingAndEmptyKits) {
  KitReader reader;
  EXPECT_EQ(reader.Read(Utf8ToUtf16(Path("absent.okd"))), kErrorFileNotFound);
  EXPECT_TRUE(OdkFiles().empty());
  // An empty kit is a stream that ends before it begins, on both builds.
  EXPECT_EQ(ReadKit(reader, ""), kErrorInvalidData);
  EXPECT_TRUE(OdkFiles().empty());
  // A valid stream of nothing.
  EXPECT_EQ(ReadImage(reader, ""), kErrorInvalidData);
  EXPECT_TRUE(OdkFiles().empty());
}

TEST_F(kit_reader, NumbersThatDoNotFitAreRefused) {
  struct Case {
    const char* what;
    std::string image;
  };
  std::string en = DescriptionRecord({u"en", u"P", u"V", u"D"});
  std::string file = FileRecord(u"f", 0, 0, 1);
  auto multi = [](const std::string& descriptions, uint32_t count) {
    std::string image;
    PutU32(image, 1);
    PutU32(image, count);
    return image + descriptions;
  };
  auto files = [](const std::string& records, uint32_t count, const std::string& data) {
    std::string image;
    PutU32(image, count);
    return image + records + data;
  };
  std::string noDescriptions = multi("", 0);

  std::string shortRecord;
  PutU32(shortRecord, 19);  // less than the four string lengths need
  shortRecord += std::string(15, '\0');
  std::string longString = en;
  longString[4] = 100;  // language length past the end of the record
  std::string singleLong;
  PutU32(singleLong, 0);
  PutU32(singleLong, 0x7FFFFFFF);
  std::string fileShort = FileRecord(u"f", 0, 0, 1);
  fileShort[0] = 23;  // cuts the size field off
  std::string nameLong = FileRecord(u"f", 0, 0, 1);
  nameLong[4] = 9;  // name runs over the time, offset and size

  std::vector<Case> cases = {
      {"description count", multi(en, 2) + files("", 0, "")},
      {"huge description count", multi(en, 0xFFFFFFFF) + files("", 0, "")},
      {"record size below its fields", multi(shortRecord, 1) + files("", 0, "")},
      {"record size past the image", multi(en.substr(0, en.size() - 1), 1)},
      {"string past its record", multi(longString, 1) + files("", 0, "")},
      {"single-layout string past the image", singleLong + std::string(64, 'x')},
      {"file count", noDescriptions + files(file, 2, "z")},
      {"file record below its fields", noDescriptions + files(fileShort, 1, "z")},
      {"name past its record", noDescriptions + files(nameLong, 1, "zzzzzzzzzzzzzzzz")},
      {"file data past the image", noDescriptions + files(FileRecord(u"f", 0, 0, 2), 1, "z")},
      {"offset past the image", noDescriptions + files(FileRecord(u"f", 0, 1, 1), 1, "z")},
      {"position beyond 32 bits", noDescriptions + files(FileRecord(u"f", 0, 0xFFFFFFF0, 0x20), 1, "z")},
      {"file size beyond 32 bits", noDescriptions + files(FileRecord(u"f", 0, 0, 0xFFFFFFFF), 1, "z")},
  };
  for (const Case& c : cases) {
    KitReader reader;
    EXPECT_EQ(ReadImage(reader, c.image), kErrorInvalidData) << c.what;
    EXPECT_TRUE(OdkFiles().empty()) << c.what;
  }
  // The well-formed neighbours of those cases read fine.
  KitReader reader;
  EXPECT_EQ(ReadImage(reader, multi(en, 1) + files(file, 1, "z")), 0u);
  EXPECT_EQ(ReadImage(reader, noDescriptions + files(FileRecord(u"f", 0, 1, 0), 1, "z")), 0u);
}

TEST(kit_tables, TablesLargerInMemoryThanTheLimitAreRefused) {
  auto parse = [](const std::string& image, uint64_t limit) {
    KitMemorySource source(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    std::vector<KitDescription> descriptions;
    KitFileTable files;
    return ParseKitImage(source, image.size(), descriptions, files, limit);
  };
  // Many minimal records: each costs more in memory than in the image.
  std::string image;
  PutU32(image, 1);
  PutU32(image, 1000);
  const std::string empty = DescriptionRecord({});
  for (int i = 0; i < 1000; ++i) image += empty;
  PutU32(image, 1000);
  const std::string file = FileRecord(u"f", 0, 0, 0);
  for (int i = 0; i < 1000; ++i) image += file;
  const uint64_t needed = 1000 * (sizeof(KitDescription) + empty.size()) + 1000 * (sizeof(KitFileEntry) + file.size());
  EXPECT_EQ(parse(image, needed), kErrorSuccess);
  EXPECT_EQ(parse(image, needed - 1), kErrorInvalidData);
  // One long string in the single layout counts as well.
  std::string single;
  PutU32(single, 0);
  PutString(single, std::u16string(5000, u'p'));
  PutString(single, u"");
  PutString(single, u"");
  PutU32(single, 0);
  EXPECT_EQ(parse(single, 10000), kErrorSuccess);
  EXPECT_EQ(parse(single, 9999), kErrorInvalidData);
}

TEST(kit_names, WindowsRefusesWhatItWouldNotTakeAsAPlainName) {
  for (std::u16string_view name : {u"a/.. /b", u"a/b.", u"a/b ", u"ab:c", u"x/file.txt:stream", u"NUL",
                                   u"a/con.txt", u"Com1", u"lpt9.log", u"aux /x", u"CONOUT$", u"a/set*",
                                   u"x?.cfg", u"a<b", u"a>b", u"say\"hi\"", u"a|b"}) {
    EXPECT_FALSE(IsSafeKitEntryName(name, PathStyle::Windows)) << Utf16ToUtf8(name);
    EXPECT_TRUE(IsSafeKitEntryName(name, PathStyle::Posix)) << Utf16ToUtf8(name);
  }
  for (std::u16string_view name : {u"a/.b", u"console.txt", u"com10", u"lpt0", u"nul_/x", u"a b/c", u"имя.txt"}) {
    EXPECT_TRUE(IsSafeKitEntryName(name, PathStyle::Windows)) << Utf16ToUtf8(name);
  }
}

TEST(kit_names, SafeNames) {
  for (std::u16string_view name : {u"a", u"a/b.txt", u"a\\b\\c", u"..a", u"a..", u"a.b/.c", u"ab:c", u"1:x",
                                   u"имя/файл", u"a b", u"\u00A0"}) {
    EXPECT_TRUE(IsSafeKitEntryName(name, PathStyle::Posix)) << Utf16ToUtf8(name);
  }
}

TEST_F(kit_reader, UnsafeNamesAreRefused) {
  const std::u16string refused[] = {
      u"",          u"/etc/passwd", u"\\x",        u"C:x",         u"c:\\x",      u"z:/x",  u"a//b",
      u"a\\\\b",    u"a/",          u"a\\",        u".",           u"..",         u"./a",   u"a/./b",
      u"../x",      u"a/../../b",   u"a\\..\\b",   u"a/..",        u"a\u0001b",   u"a\nb",  u"\u001f",
      std::u16string(u"a\0b", 3),   u"a/\tb",
  };
  for (const std::u16string& name : refused) {
    EXPECT_FALSE(IsSafeKitEntryName(name)) << Utf16ToUtf8(name);
    KitModel model = DemoModel(false);
    model.files.push_back({name, 0, "x"});
    KitReader reader;
    EXPECT_EQ(ReadImage(reader, model.Image()), kErrorInvalidData) << Utf16ToUtf8(name);
    EXPECT_TRUE(reader.Files().empty());
    EXPECT_TRUE(OdkFiles().empty());
  }
}

// Pairs of a file and an entry inside a folder; whether the two names meet in
// each style.
struct ClashCase {
  std::u16string_view file, inside;
  bool clashOnPosix, clashOnWindows;
};

const ClashCase kClashCases[] = {
    {u"x", u"x/y.txt", true, true},
    {u"x", u"x\\y.txt", true, true},
    {u"a/x", u"a\\x\\deep/y", true, true},
    {u"X", u"x/y.txt", false, true},
    {u"d/ПАПКА", u"D\\папка/файл", false, true},
    {u"Ёлка", u"ёЛКА/x", false, true},
    {u"ÉTÉ", u"été/x", false, true},
    {u"ΣΟΦΊΑ", u"σοφία/x", false, true},
    {u"ＡＢ", u"ａｂ/x", false, true},
    {u"x.txt", u"x/y.txt", false, false},
    {u"xy", u"x/y", false, false},
    {u"a/x", u"x/a", false, false},
    {u"other/c", u"c/x", false, false},  // after other/a: c is in other
    {u"I", u"İ/x", false, false},
};

// No run could install both a file and a folder of one name, so such a kit
// is damaged, whichever entry comes first and whichever separators it uses.
// Windows file systems ignore case, so there "X" and "x/y.txt" meet too.
// A sealed kit's names are checked while its table listener runs, which
// changes nothing.
TEST_F(kit_reader, AFileAndAFolderOfOneNameAreRefused) {
  for (const ClashCase& c : kClashCases) {
    const bool clash = kNativePathStyle == PathStyle::Windows ? c.clashOnWindows : c.clashOnPosix;
    for (const bool fileFirst : {true, false}) {
      for (const bool sealed : {false, true}) {
        KitModel model = DemoModel(false);
        model.files = {{std::u16string(c.file), 1, "file"}, {std::u16string(c.inside), 2, "inside"}};
        if (!fileFirst) std::swap(model.files[0], model.files[1]);
        const std::string what = Utf16ToUtf8(model.files[0].name) + " then " + Utf16ToUtf8(model.files[1].name) +
                                 (sealed ? " sealed" : "");
        KitReader reader;
        if (sealed) reader.SetTableListener([](const std::vector<KitFileEntry>&, const auto&) { return false; });
        const std::string image = model.Image();
        const ErrorCode read = ReadKit(reader, sealed ? SealedKit(image) : DeflateRaw(image));
        EXPECT_EQ(read, clash ? kErrorInvalidData : kErrorSuccess) << what;
        EXPECT_EQ(reader.Files().empty(), clash) << what;
        // A sealed kit's image may go as soon as the listener needs no data.
        if (clash || !sealed) {
          EXPECT_EQ(OdkFiles().empty(), clash) << what;
        }
      }
    }
  }
}

// The same rule in both styles on every build (okdpack applies the Windows
// one), naming the two entries, among others that do not meet.
TEST(kit_names, FilesAndFoldersMeetByTheStylesRule) {
  for (const ClashCase& c : kClashCases) {
    for (PathStyle style : {PathStyle::Posix, PathStyle::Windows}) {
      const bool clash = style == PathStyle::Windows ? c.clashOnWindows : c.clashOnPosix;
      for (bool fileFirst : {true, false}) {
        std::vector<std::u16string_view> names = {u"other/a", c.file, u"other/b", u"zz"};
        names.insert(fileFirst ? names.end() : names.begin() + 1, c.inside);
        const size_t file = fileFirst ? 1 : 2, inside = fileFirst ? 4 : 1;
        const std::string what = Utf16ToUtf8(c.file) + (style == PathStyle::Windows ? " windows" : " posix");
        KitNameClash found{99, 99};
        ASSERT_EQ(CheckFileFolderNames(names, style, found), clash ? kErrorInvalidData : kErrorSuccess) << what;
        if (!clash) continue;
        EXPECT_EQ(found.file, file) << what;
        EXPECT_EQ(found.inside, inside) << what;
      }
    }
  }
  // Following the names takes memory; a hostile kit cannot make it take more
  // than it is allowed.
  KitNameClash found;
  EXPECT_EQ(CheckFileFolderNames({u"a/b/c/d"}, PathStyle::Posix, found, 100), kErrorNotEnoughMemory);
}

// Windows takes a FILETIME for a signed number: SetFileTime refuses one from
// 2^63 up, and the Linux build must not make 1901 of it either.
TEST_F(kit_reader, TimesPastTheSignedRangeAreRefused) {
  for (const auto& [time, valid] : {std::pair{FileTime{0}, true}, std::pair{FileTime{0x7FFFFFFFFFFFFFFFULL}, true},
                                    std::pair{FileTime{0x8000000000000000ULL}, false},
                                    std::pair{FileTime{0xFFFFFFFFFFFFFFFFULL}, false}}) {
    KitModel model = DemoModel(false);
    model.files.push_back({u"late.txt", time, "late"});
    KitReader reader;
    EXPECT_EQ(ReadImage(reader, model.Image()), valid ? kErrorSuccess : kErrorInvalidData) << time;
    if (valid) ExpectHolds(reader, model);
  }
}

TEST_F(kit_reader, ImageSizeLimitStopsABomb) {
  KitModel model = DemoModel(false);
  model.files[0].data = std::string(64 * 1024 * 1024, '\0');
  std::string image = model.Image();
  std::string kit = DeflateRaw(image);
  ASSERT_LT(kit.size(), 100000u);

  KitReader reader;
  reader.SetImageSizeLimit(1024 * 1024);
  EXPECT_EQ(ReadKit(reader, kit), kErrorInvalidData);
  EXPECT_TRUE(OdkFiles().empty());

  // The limit itself is allowed, one byte more is not.
  reader.SetImageSizeLimit(image.size());
  ASSERT_EQ(ReadKit(reader, kit), 0u);
  EXPECT_EQ(reader.Files()[0].size, 64u * 1024 * 1024);
  reader.SetImageSizeLimit(image.size() - 1);
  EXPECT_EQ(ReadKit(reader, kit), kErrorInvalidData);
  EXPECT_TRUE(OdkFiles().empty());
}

int gStopChecks = 0;
bool StopAtTheThirdCheck() { return ++gStopChecks >= 3; }
bool NeverStop() { return ++gStopChecks < 0; }

TEST_F(kit_reader, AStopRequestEndsTheUnpackingEarlyAndLeavesNoImage) {
  KitModel model = DemoModel(false);
  std::string noise(400 * 1024, '\0');
  uint32_t x = 7;
  for (char& c : noise) c = char((x = x * 1103515245 + 12345) >> 24);
  model.files[0].data = noise;  // incompressible: the kit spans many pieces
  const std::string kit = DeflateRaw(model.Image());

  KitReader reader;
  reader.SetStopCheck(StopAtTheThirdCheck);
  gStopChecks = 0;
  EXPECT_EQ(ReadKit(reader, kit), kErrorCancelled);
  EXPECT_EQ(gStopChecks, 3);
  EXPECT_TRUE(reader.Files().empty());
  EXPECT_TRUE(OdkFiles().empty());

  // Asked once per piece, and otherwise without effect.
  reader.SetStopCheck(NeverStop);
  gStopChecks = 0;
  ASSERT_EQ(ReadKit(reader, kit), 0u);
  EXPECT_EQ(gStopChecks, int((kit.size() + FileMapping::WindowSize() - 1) / FileMapping::WindowSize()));
  ExpectHolds(reader, model);
}

TEST_F(kit_reader, ImagesLargerThanAWindowReadBack) {
  KitModel model = DemoModel(false);
  for (int i = 0; i < 40; ++i) {
    model.files.push_back({u"dir\\f" + Utf8ToUtf16(std::to_string(i)), FileTime(i) * 10000019,
                           SampleText(size_t(i) * 3001, uint32_t(i))});
  }
  KitReader reader;
  ASSERT_EQ(ReadImage(reader, model.Image()), 0u);
  ExpectHolds(reader, model);
}

}  // namespace
}  // namespace setup::kittest

namespace setup::kittest {
namespace {

// The fuzzer's seeds are images of real kits: each must parse, and parse
// to a table that stays inside its image.
TEST(kit_corpus, SeedImagesParse) {
  std::vector<std::string> seeds = test::ListDir(KIT_CORPUS_DIR);
  ASSERT_GE(seeds.size(), 5u);
  for (const std::string& name : seeds) {
    std::string image = test::ReadFile(std::string(KIT_CORPUS_DIR) + "/" + name);
    KitMemorySource source(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    std::vector<KitDescription> descriptions;
    KitFileTable files;
    ASSERT_EQ(ParseKitImage(source, image.size(), descriptions, files), 0u) << name;
    EXPECT_FALSE(descriptions.empty()) << name;
    for (const KitFileEntry& entry : files.entries) EXPECT_LE(uint64_t(entry.position) + entry.size, image.size()) << name;
  }
}

}  // namespace
}  // namespace setup::kittest

namespace setup::kittest {
namespace {

using kit_reader_large = KitTest;

// Kits of several MiB cross the boundaries of mapped views, and end inside
// a window; with garbage after the stream, the end of the stream falls
// inside a view too.
TEST_F(kit_reader_large, KitsOfSeveralMiBReadBack) {
  std::string noise;
  uint64_t x = 88172645463325252ull;
  while (noise.size() < 2621440 + 12345) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (int i = 0; i < 8; ++i) noise.push_back(char(x >> (8 * i)));
  }
  KitModel model = DemoModel(false);
  model.files.push_back({u"noise.bin", 1, noise});
  model.files.push_back({u"text.txt", 2, SampleText(1500000, 8)});
  std::string kit = DeflateRaw(model.Image(), 6);
  ASSERT_GT(kit.size(), 2621440u);
  KitReader reader;
  ASSERT_EQ(ReadKit(reader, kit), 0u);
  ExpectHolds(reader, model);
  ASSERT_EQ(ReadKit(reader, kit + noise), 0u);
  ExpectHolds(reader, model);
  ASSERT_EQ(ReadKit(reader, DeflateRaw(model.Image(), 0)), 0u);
  ExpectHolds(reader, model);
}

}  // namespace
}  // namespace setup::kittest
