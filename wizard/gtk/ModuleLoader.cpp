// Loads the GTK module the program carries. GTK 2 and the thirty-odd
// libraries under it cost a run as much start-up time as the rest of the
// program together, and most of its memory; a run without a display (a
// silent one, a plan) never loads them.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "wizard/gtk/GraphicalFrontEnd.h"

extern "C" const unsigned char setup_gtk_module_begin[];
extern "C" const unsigned char setup_gtk_module_end[];

namespace setup {

std::unique_ptr<WizardFrontEnd> LoadGraphicalFrontEnd(SetupContext& context, int& argc, char**& argv) {
  // GTK 2 draws on X only.
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return nullptr;
  // Loaded from memory: one file to ship, and nothing to write or leave
  // behind on any disk.
  const int fd = memfd_create("setup-gtk", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  bool written = true;
  for (const unsigned char* at = setup_gtk_module_begin; written && at < setup_gtk_module_end;) {
    const ssize_t done = write(fd, at, static_cast<size_t>(setup_gtk_module_end - at));
    written = done > 0;
    if (written) at += done;
  }
  // Never unloaded: GTK cannot be.
  void* module = written ? dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
  close(fd);
  if (!module) {
    // Most likely GTK 2 is not installed. The run then goes on as one
    // without a display would, but the reason must not be lost.
    const char* why = written ? dlerror() : "the window module could not be loaded";
    std::fprintf(stderr, "setup: %s\n", why ? why : "the window module could not be loaded");
    return nullptr;
  }
  using Create = WizardFrontEnd* (*)(SetupContext*, int*, char***);
  const auto create = reinterpret_cast<Create>(dlsym(module, "setup_create_graphical_front_end"));
  return std::unique_ptr<WizardFrontEnd>(create ? create(&context, &argc, &argv) : nullptr);
}

}  // namespace setup
