// What only the Windows build can show about reading a kit: each Win32 call
// the reader makes fails in turn through the file layer's test hook, and the
// reader says whether the kit or the image in the temporary directory failed.
#include <windows.h>

#include "FileCallFaults.h"
#include "KitTestUtil.h"

namespace setup::kittest {
namespace {

using kit_reader_win = KitTest;

TEST_F(kit_reader_win, AFailureSaysWhetherTheKitOrTheImageFailed) {
  KitModel model;
  model.descriptions = {{u"en", u"Demo", u"Shop", u"readme.txt"}};
  model.files = {{u"a/b.txt", 1, SampleText(300000, 4)}};
  test::WriteFile(Path("kit.okd"), DeflateRaw(model.Image()));
  struct Case {
    const char* function;
    long nth;
    ErrorCode code;
    KitFailurePlace place;
  };
  // The image is created first, then the kit opened, its end read for a
  // trailer, and mapped; the image is written, then read back for the tables.
  for (const Case& c : {Case{"CreateFileW", 1, ERROR_ACCESS_DENIED, KitFailurePlace::Image},
                        Case{"CreateFileW", 2, ERROR_ACCESS_DENIED, KitFailurePlace::Kit},
                        Case{"CreateFileMappingW", 1, ERROR_ACCESS_DENIED, KitFailurePlace::Kit},
                        Case{"MapViewOfFile", 1, ERROR_READ_FAULT, KitFailurePlace::Kit},
                        Case{"WriteFile", 1, ERROR_WRITE_FAULT, KitFailurePlace::Image},
                        Case{"WriteFile", 1, ERROR_DISK_FULL, KitFailurePlace::Image},
                        Case{"ReadFile", 1, ERROR_READ_FAULT, KitFailurePlace::Kit},
                        Case{"ReadFile", 2, ERROR_READ_FAULT, KitFailurePlace::Image}}) {
    const std::string what = std::string(c.function) + " " + std::to_string(c.nth);
    KitReader reader;
    ErrorCode error = 0;
    {
      test::FileCallFaults faults(c.nth, c.code, c.function);
      error = reader.Read(Utf8ToUtf16(Path("kit.okd")));
      EXPECT_EQ(faults.Failed(), c.function) << what << ": " << faults.Trace();
    }
    EXPECT_EQ(error, c.code) << what;
    EXPECT_EQ(reader.FailurePlace(), c.place) << what;
    EXPECT_TRUE(reader.Files().empty()) << what;
    EXPECT_TRUE(OdkFiles().empty()) << what;
  }
  KitReader reader;
  ASSERT_EQ(reader.Read(Utf8ToUtf16(Path("kit.okd"))), 0u);
  EXPECT_EQ(reader.FailurePlace(), KitFailurePlace::None);
  ExpectHolds(reader, model);
}

}  // namespace
}  // namespace setup::kittest
