// Runs one installation in its own process, for the fault-injection walk:
// engine_driver KIT TARGET [flush-each-file]; ENGINE_FLUSH_EVERY=N asks for a
// background flush every N files. Reads the kit, then arms the fault-injection
// library (when it is loaded) so that only the run's own calls are counted,
// and prints the run's code.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "core/InstallationEngine.h"
#include "core/KitReader.h"
#include "core/WorkerChannel.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
  using namespace setup;
  if (argc != 3 && argc != 4) return 64;
  KitReader kit;
  if (const ErrorCode code = kit.Read(Utf8ToUtf16(argv[1]))) {
    std::printf("read %u\n", code);
    return 65;
  }
  WorkerChannel channel;
  channel.Start(&kit, Utf8ToUtf16(argv[2]));
  using ArmFunction = void (*)(int);
  auto arm = reinterpret_cast<ArmFunction>(dlsym(RTLD_DEFAULT, "faultinject_arm"));
  if (arm) arm(1);
  EngineSettings settings;
  settings.completionPause = std::chrono::milliseconds(0);
  settings.flushEachFile = argc == 4;
  if (const char* every = std::getenv("ENGINE_FLUSH_EVERY")) settings.flushEveryFiles = std::strtoul(every, nullptr, 10);
  const ErrorCode code = RunInstallation(channel, settings);
  if (arm) arm(0);
  std::printf("%u\n", code);
  return 0;
}
