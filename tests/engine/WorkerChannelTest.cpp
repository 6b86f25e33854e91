// The worker channel: what Start resets and keeps, and that a reader never
// sees half of a published status while a worker publishes.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/WorkerChannel.h"
#include "platform/Path.h"

namespace setup {
namespace {

TEST(WorkerChannel, StartResetsTheRunButKeepsTheLastText) {
  WorkerChannel channel(u"Preparing to copy...");
  EXPECT_EQ(channel.ReadStatus().text, u"Preparing to copy...");
  channel.Publish(87, u"Installation error", 40);
  channel.RequestCancel();
  channel.Finish(87);

  channel.Start(nullptr, u"/srv/templates");
  KitReader* kit = reinterpret_cast<KitReader*>(1);
  std::u16string destination;
  channel.ReadInput(kit, destination);
  EXPECT_EQ(kit, nullptr);
  EXPECT_EQ(destination, std::u16string(u"/srv/templates") + kPathSeparator);  // the platform's own
  const WorkerStatus status = channel.ReadStatus();
  EXPECT_EQ(status.code, 0u);
  EXPECT_EQ(status.percentage, 0u);
  EXPECT_EQ(status.text, u"Installation error");
  EXPECT_FALSE(status.finished);
  EXPECT_FALSE(channel.IsCancelRequested());

  for (const char16_t* given : {u"/a/", u"c:\\a\\", u""}) {
    channel.Start(nullptr, given);
    channel.ReadInput(kit, destination);
    EXPECT_EQ(destination, given);  // an existing separator, or nothing, stays as it is
  }
  channel.RequestCancel();
  EXPECT_TRUE(channel.IsCancelRequested());
  channel.Finish(1223);
  EXPECT_TRUE(channel.ReadStatus().finished);
  EXPECT_EQ(channel.ReadStatus().result, 1223u);
}

TEST(WorkerChannel, ReadersSeeWholeStatusesOnly) {
  WorkerChannel channel;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (uint32_t i = 0; i <= 20000; ++i) {
      channel.Publish(i % 3, std::u16string(i % 50 + 1, u'a' + char16_t(i % 26)), i % 101);
      if (channel.IsCancelRequested()) break;
    }
    channel.Finish(0);
    done = true;
  });
  size_t reads = 0;
  for (;;) {
    const WorkerStatus s = channel.ReadStatus();
    if (!s.text.empty()) {
      // Reconstruct i from the fields; all three must come from the same publish.
      const uint32_t letter = s.text[0] - u'a';
      EXPECT_EQ(s.text.find_first_not_of(s.text[0]), std::u16string::npos);
      bool consistent = false;
      for (uint32_t i = letter; i <= 20000; i += 26) {
        if (i % 3 == s.code && i % 101 == s.percentage && i % 50 + 1 == s.text.size()) {
          consistent = true;
          break;
        }
      }
      EXPECT_TRUE(consistent);
      ++reads;
    }
    if (s.finished) break;
  }
  worker.join();
  EXPECT_TRUE(done);
  EXPECT_GT(reads, 0u);
}

}  // namespace
}  // namespace setup
