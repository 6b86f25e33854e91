// The Windows tests' main(): before any test runs, the temporary directory
// (TMP, TEMP) and the profile variables (USERPROFILE, HOME, APPDATA,
// LOCALAPPDATA, ALLUSERSPROFILE, ProgramData) point into a scratch directory
// of the build tree. Under Wine the Unix environment cannot do this: Wine sets
// these variables from the prefix's registry when a program starts, so they
// are set here, inside the program, where GetTempPathW reads them.
//
// The known folders (the roaming and the common application-data folders) do
// not follow the environment, neither on Windows nor under Wine; tests of
// what lives there keep a copy of it and put it back (see ConfigTestUtil.h).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "TestSupport.h"
#include "platform/Text.h"

namespace {

std::wstring W(const std::string& utf8) {
  const std::u16string wide = setup::Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

}  // namespace

int main(int argc, char** argv) {
  using setup::test::SetEnvironment;
  // One scratch tree per process, so tests running in parallel do not meet.
  const std::string root = setup::test::NativePath(SETUP_TEST_SCRATCH);
  const std::string scratch = root + "\\" + std::to_string(GetCurrentProcessId());
  const std::string home = scratch + "\\home", tmp = scratch + "\\tmp", allUsers = scratch + "\\allusers";
  const std::string roaming = home + "\\AppData\\Roaming", local = home + "\\AppData\\Local";
  for (const std::string& directory : {root, scratch, home, tmp, allUsers, home + "\\AppData", roaming, local}) {
    CreateDirectoryW(W(directory).c_str(), nullptr);
  }
  SetEnvironment("TMP", tmp.c_str());
  SetEnvironment("TEMP", tmp.c_str());
  SetEnvironment("USERPROFILE", home.c_str());
  SetEnvironment("HOME", home.c_str());
  SetEnvironment("APPDATA", roaming.c_str());
  SetEnvironment("LOCALAPPDATA", local.c_str());
  SetEnvironment("ALLUSERSPROFILE", allUsers.c_str());
  SetEnvironment("ProgramData", allUsers.c_str());

  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // Leave the scratch tree only when something is left behind to look at.
  for (const std::string& directory : {local, roaming, home + "\\AppData", home, tmp, allUsers, scratch}) {
    RemoveDirectoryW(W(directory).c_str());
  }
  return result;
}
