// The tests' main(): HOME and TMPDIR go to a scratch directory before any test
// runs, whether the executable is started by ctest or by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  // One scratch tree per process, so tests running in parallel do not meet.
  const std::string scratch = std::string(SETUP_TEST_SCRATCH) + "/" + std::to_string(getpid());
  const std::string home = scratch + "/home", tmp = scratch + "/tmp";
  mkdir(SETUP_TEST_SCRATCH, 0755);
  mkdir(scratch.c_str(), 0755);
  mkdir(home.c_str(), 0755);
  mkdir(tmp.c_str(), 0755);
  setenv("HOME", home.c_str(), 1);
  setenv("TMPDIR", tmp.c_str(), 1);
  setenv("FAULTINJECT_LIB", FAULTINJECT_LIB_PATH, 1);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // Leave the scratch tree only when something is left behind to look at.
  rmdir(tmp.c_str());
  rmdir(home.c_str());
  rmdir(scratch.c_str());
  return result;
}
