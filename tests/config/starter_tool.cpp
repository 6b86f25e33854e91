// Runs one starter-configuration operation and prints its outcome, so that a
// test can run it under the fault-injection library.
//   starter_tool save PATH KEY=VALUE...   prints the result code
//   starter_tool load PATH                prints whole/missing/incomplete/refused/
//                                         undecodable, then one "key=value" line
//                                         per value; a termination signal only
//                                         sets the program's flag, as in setup
//   starter_tool locate                   prints the proposal, then the list
//   starter_tool record DIRECTORY         locates, records, prints the code;
//                                         only the recording is armed for faults
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/StarterConfiguration.h"
#include "core/TemplateDirectory.h"
#include "platform/Process.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
  using namespace setup;
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "save" && argc >= 3) {
    StarterConfiguration configuration;
    for (int i = 3; i < argc; ++i) {
      const std::u16string pair = Utf8ToUtf16(argv[i]);
      const size_t eq = pair.find(u'=');
      configuration.AddValue(pair.substr(0, eq), eq == std::u16string::npos ? u"" : pair.substr(eq + 1));
    }
    std::printf("%u\n", SaveStarterFile(configuration, Utf8ToUtf16(argv[2])));
    return 0;
  }
  if (command == "load" && argc == 3) {
    InstallTerminationSignals();
    StarterConfiguration configuration;
    const StarterRead read = LoadStarterFile(Utf8ToUtf16(argv[2]), configuration);
    static const char* const kNames[] = {"whole", "missing", "incomplete", "refused", "undecodable"};
    std::printf("%s\n", kNames[static_cast<int>(read)]);
    std::printf("%s", Utf16ToUtf8(FormatStarterText(configuration)).c_str());
    return 0;
  }
  if (command == "locate" || (command == "record" && argc >= 3)) {
    TemplateDirectoryState state;
    LocateTemplateDirectory(state);
    if (command == "record") {
      // Under FAULTINJECT_WAIT_ARM the lookup above counts for nothing.
      using ArmFunction = void (*)(int);
      auto arm = reinterpret_cast<ArmFunction>(dlsym(RTLD_DEFAULT, "faultinject_arm"));
      if (arm) arm(1);
      const ErrorCode code = RecordInstalledDirectory(state, Utf8ToUtf16(argv[2]));
      if (arm) arm(0);
      std::printf("%u\n", code);
      return 0;
    }
    std::printf("%s\n", Utf16ToUtf8(state.templateDirectory).c_str());
    for (const std::u16string& directory : state.starterDirectories) {
      std::printf("%s\n", Utf16ToUtf8(directory).c_str());
    }
    return 0;
  }
  return 2;
}
