#include "wizard/gtk/DesktopLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

#include "platform/Text.h"

extern char** environ;

namespace setup {

bool StartDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<std::string> copies = argv;
  std::vector<char*> args;
  for (std::string& a : copies) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  // Its chatter is nobody's business here, and it must outlive the wizard
  // without sharing its terminal or its signals.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int started = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return started == 0;
}

bool OpenWithDesktop(const std::u16string& path) {
  // A path that starts with "-" would read as an option.
  std::string native = WideToMultiByte(path);
  if (!native.empty() && native[0] == '-') native.insert(0, "./");
  return StartDetached({"xdg-open", native});
}

}  // namespace setup
