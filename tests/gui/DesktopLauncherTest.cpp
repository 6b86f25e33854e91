// Starting the description's opener: no shell between, so the path arrives
// as one unchanged argument; the opener runs on its own, silenced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "GuiHarness.h"
#include "TestSupport.h"
#include "platform/Text.h"
#include "wizard/gtk/DesktopLauncher.h"

namespace setup {
namespace {

// A stand-in opener that reports its arguments, where its output goes, and
// whether it leads a session of its own.
void WriteReporter(const std::string& path, const std::string& log) {
  test::WriteFile(path,
                  "#!/bin/sh\n"
                  "out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
                  "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done;\n"
                  "  echo \"$out\"; echo \"$err\";\n"
                  "  [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo own-session || echo shared-session;\n"
                  "} > '" + log + ".part'\n"
                  "echo noise; echo noise >&2\n"
                  "mv '" + log + ".part' '" + log + "'\n");
  chmod(path.c_str(), 0755);
}

TEST(DesktopLauncher, PathWithShellCharactersArrivesAsOneUnchangedArgument) {
  test::ScratchDir dir;
  test::MakeDirs(dir / "bin");
  WriteReporter(dir / "bin/xdg-open", dir / "log");
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir / "bin:" + oldPath).c_str(), 1);
  const std::string path = dir / "a \"quoted\" $HOME `id` \\x; rm -rf ~ 'y'.txt";
  const bool started = OpenWithDesktop(Utf8ToUtf16(path));
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_TRUE(started);
  EXPECT_EQ(guitest::WaitForFile(dir / "log"), "1\n" + path + "\n/dev/null\n/dev/null\nown-session\n");
}

TEST(DesktopLauncher, ReportsAProgramThatCannotBeStarted) {
  test::ScratchDir dir;
  EXPECT_FALSE(StartDetached({dir / "no-such-program"}));
  EXPECT_FALSE(StartDetached({}));
  WriteReporter(dir / "reporter", dir / "log");
  EXPECT_TRUE(StartDetached({dir / "reporter", "-x", ""}));
  EXPECT_EQ(guitest::WaitForFile(dir / "log"), "2\n-x\n\n/dev/null\n/dev/null\nown-session\n");
}

}  // namespace
}  // namespace setup
