#pragma once
// The record that carries one run of setup from start-up to exit. The
// front-end's top-level object owns it; everything else borrows it.
#include <cstdint>
#include <string>

#include "core/KitReader.h"
#include "core/TemplateDirectory.h"
#include "core/WorkerChannel.h"

namespace setup {

// How a run of the program ended; it is also the process exit status, so
// that scripts and deployment tools can tell what happened.
enum class Outcome : int {
  Installed = 0,    // the templates are installed
  Failed = 1,       // the installation failed and was rolled back
  Cancelled = 2,    // cancelled by the user or by a signal; nothing changed
  NotPrepared = 3,  // nothing was installed: kit, space, directory or display missing
};

// Kit file name beside the program, and how much room its unpacking needs.
inline constexpr char16_t kKitFileName[] = u"orvikv8.okd";
inline constexpr uint64_t kSpaceFactor = 3;

// The template directory, the starter directory list and its two flags come
// from the base, filled by LocateTemplateDirectory.
struct SetupContext : TemplateDirectoryState {
  SetupContext();

  bool silent = false;
  bool useCurrentDirectory = false;
  std::u16string descriptionLanguage = u"en";
  std::u16string applicationTitle;
  std::u16string kitPath;
  KitReader kit;
  WorkerChannel workerChannel;
  // 0 success, negative failure: the HRESULT form of the engine's code.
  int32_t result = 0;
  std::u16string progressText;
  uint32_t progressPercent = 0;
  Outcome outcome = Outcome::NotPrepared;
  // The last message shown that was not a question; a report ends with it.
  std::u16string shownMessage;
};

}  // namespace setup
