#include "core/Startup.h"

#include "core/InstallationControl.h"
#include "i18n/Catalogue.h"
#include "platform/FileFinder.h"
#include "platform/FileOps.h"
#include "platform/Path.h"
#include "platform/Process.h"

namespace setup {

SetupContext::SetupContext()
    : applicationTitle(LookUpMessage("IDR_MAINFRAME")), workerChannel(LookUpMessage("IDS_PREPARECOPY")) {}

std::u16string LocateKit(bool useCurrentDirectory) {
  if (useCurrentDirectory) {
    const std::u16string directory = CurrentDirectory();
    return directory.empty() ? directory : JoinPath(directory, kKitFileName);
  }
  const std::u16string directory = ParentPath(ExecutablePath());
  if (directory.empty()) return {};
  return JoinPath(directory, kKitFileName);
}

bool EnoughSpaceFor(uint64_t kitSize, uint64_t freeSpace) {
  // 64-bit: in 32 bits a kit over 1.4 GB would wrap around.
  return kSpaceFactor * kitSize <= freeSpace;
}

const char* KitReadFailureMessage(ErrorCode code, KitFailurePlace place) {
  if (code == kErrorDiskFull) return "IDS_ERROR_NOSPACE";
  // Data that is not a kit's, or tables too large to hold, whatever file it lay in.
  if (code == kErrorInvalidData || code == kErrorNotEnoughMemory) return "IDS_ERROR_DAMAGEDSOURCE";
  if (place == KitFailurePlace::Image) return "IDS_ERROR_TEMPUNUSABLE";
  if (place == KitFailurePlace::Kit) return "IDS_ERROR_READSOURCE";
  return "IDS_ERROR_DAMAGEDSOURCE";
}

std::u16string DirectoryRefusal(const std::u16string& directory, ErrorCode& code) {
  // An empty directory would install relative to the working directory.
  if (directory.empty()) {
    code = kErrorPathNotFound;
    return LookUpMessage("IDS_ERROR_NOTARGET");
  }
  if (!TemplateDirectoryUsable(directory)) {
    code = kErrorAccessDenied;
    return LookUpMessage("IDS_ERROR_BADTARGET") + u"\n" + directory;
  }
  code = 0;
  return {};
}

bool ShowMessage(SetupContext& context, FrontEnd& frontEnd, MessageKind kind, const std::u16string& text) {
  if (kind != MessageKind::Question) context.shownMessage = text;
  return frontEnd.ShowMessage(kind, text);
}

bool PrepareSetup(SetupContext& context, FrontEnd& frontEnd, const std::optional<std::u16string>& destination) {
  const auto fail = [&](ErrorCode code, const std::u16string& text) {
    context.result = ResultOf(code);
    ShowMessage(context, frontEnd, MessageKind::Error, text);
    return false;
  };
  const std::u16string kitPath = LocateKit(context.useCurrentDirectory);
  FileFinder finder;
  if (kitPath.empty() || !finder.FindFirst(kitPath)) {
    return fail(kErrorFileNotFound, LookUpMessage("IDS_ERROR_NOSOURCE"));
  }
  context.kitPath = kitPath;

  LocateTemplateDirectory(context);
  // A signal while the starter files were read cut that reading short; the
  // caller ends the program as cancelled.
  if (TerminationRequested()) return false;
  if (destination) {
    // Taken as a directory typed in the wizard would be, and checked now:
    // whoever gave it is not there to be asked again.
    const std::u16string cleaned = CleanTemplateDirectory(*destination);
    context.templateDirectory = cleaned.empty() ? cleaned : MakeAbsolutePath(cleaned, CurrentDirectory());
    ErrorCode code = 0;
    const std::u16string refusal = DirectoryRefusal(context.templateDirectory, code);
    if (code != 0) return fail(code, refusal);
  }

  uint32_t kitSize = 0;
  uint64_t freeSpace = 0;
  if (QueryFileSize(kitPath, kitSize) == 0 && QueryFreeSpace(freeSpace) == 0 &&
      !EnoughSpaceFor(kitSize, freeSpace)) {
    return fail(kErrorDiskFull, LookUpMessage("IDS_ERROR_NOSPACE"));
  }

  // A full or unwritable temporary directory, or a kit the system will not
  // let us read, is not a damaged kit; a termination signal while the kit
  // unpacks ends start-up without a word.
  context.kit.SetStopCheck(TerminationRequested);
  const ErrorCode read = context.kit.Read(kitPath);
  if (read == kErrorCancelled) return false;
  if (read != 0) return fail(read, LookUpMessage(KitReadFailureMessage(read, context.kit.FailurePlace())));
  context.progressPercent = 0;
  return true;
}

}  // namespace setup
