// The template directory lookup: the proposal at start-up from the starter
// files, and the write-back of the directory actually used.
#include "core/TemplateDirectory.h"

#include <string>

#include "platform/ApplicationData.h"
#include "platform/FileFinder.h"
#include "platform/FileOps.h"
#include "platform/Path.h"

namespace setup {
namespace {

constexpr char16_t kProbePrefix[] = u"Orvik";

bool Exists(const std::u16string& path) {
  if (path.empty()) return false;
  FileFinder finder;
  return finder.FindFirst(path);
}

bool Contains(const std::u16string& text, std::u16string_view part) {
  return text.find(part) != std::u16string::npos;
}

bool IsWebAddress(const std::u16string& text) {
  return Contains(text, u"http://") || Contains(text, u"https://") || Contains(text, u"ftp://");
}

bool ContainsNoCase(const std::vector<std::u16string>& list, const std::u16string& value) {
  for (const std::u16string& held : list) {
    if (EqualNoCase(held, value)) return true;
  }
  return false;
}

// A directory can take new files when a file can be created in it. The probe
// is removed at once; whether that works does not change the answer.
bool CanTakeNewFiles(const std::u16string& directory) {
  // A web address is not a directory; do not let a folder named "http:" in the
  // working directory make it look like one.
  if (directory.empty() || IsWebAddress(directory)) return false;
  std::u16string probe;
  if (CreateTempFile(directory, kProbePrefix, probe) != kErrorSuccess) return false;
  RemoveFile(probe);
  return true;
}

// Writes the starter directory list into the primary file of `variant`; the
// secondary file is read for symmetry with the lookup but never written.
ErrorCode UpdatePrimaryFile(TemplateDirectoryState& state, StarterVariant variant) {
  const StarterFiles files = StarterFilesOf(variant);
  // Without a home there is no file of the user's to write.
  if (files.primaryPath.empty()) return kStarterCannotOpen;
  StarterConfigurations configurations = ReadStarterConfiguration(variant);
  // Rewriting a file known only in part would keep just what was read of it.
  if (configurations.primaryRead == StarterRead::Incomplete) return kStarterCannotRead;
  RemoveDuplicateDirectories(state.starterDirectories);
  configurations.primary.SetValues(kTemplatesLocationKey, state.starterDirectories);

  const std::u16string directory = ParentPath(files.primaryPath);
  if (!Exists(files.primaryPath)) CreateDirectoryTree(directory);
  ErrorCode code = SaveStarterFile(configurations.primary, files.primaryPath);
  if (code != kErrorSuccess) {
    // The directory may have vanished, or been a file's name, in between: one more try.
    CreateDirectoryTree(directory);
    code = SaveStarterFile(configurations.primary, files.primaryPath);
  }
  return code;
}

}  // namespace

std::u16string UserStarterFile() { return StarterFileLocations().userFile; }
std::u16string AllUsersStarterFile() { return StarterFileLocations().allUsersFile; }
std::u16string AlternateStarterFile() { return StarterFileLocations().alternateFile; }
std::u16string DefaultTemplateDirectory() { return StarterFileLocations().defaultTemplateDirectory; }

StarterFiles StarterFilesOf(StarterVariant variant) {
  if (variant == StarterVariant::Alternate) return {AlternateStarterFile(), UserStarterFile()};
  return {UserStarterFile(), AllUsersStarterFile()};
}

StarterConfigurations ReadStarterConfiguration(StarterVariant variant) {
  const StarterFiles files = StarterFilesOf(variant);
  StarterConfigurations configurations;
  LoadStarterFile(files.secondaryPath, configurations.secondary);
  configurations.primaryRead = LoadStarterFile(files.primaryPath, configurations.primary);
  return configurations;
}

void RemoveDuplicateDirectories(std::vector<std::u16string>& directories) {
  std::vector<std::u16string> kept, keys;
  for (std::u16string& directory : directories) {
    std::u16string key = EnsureTrailingSeparator(directory);
    if (ContainsNoCase(keys, key)) continue;
    keys.push_back(std::move(key));
    kept.push_back(std::move(directory));
  }
  directories = std::move(kept);
}

std::u16string CleanTemplateDirectory(std::u16string directory) {
  if (IsWebAddress(directory)) return {};
  static constexpr std::u16string_view kFileScheme = u"file://";
  if (const size_t at = directory.find(kFileScheme); at != std::u16string::npos) {
    directory.erase(at, kFileScheme.size());
  }
  directory = ToNativeSeparators(std::move(directory));
  std::u16string cleaned;
  cleaned.reserve(directory.size());
  for (const char16_t c : directory) {
    if (c != u'\n' && c != u'\r') cleaned.push_back(c);
  }
  return cleaned;
}

void LocateTemplateDirectory(TemplateDirectoryState& state) {
  state = TemplateDirectoryState{};
  state.alternateFilePresent = Exists(AlternateStarterFile());

  bool readAlternate = false;
  StarterConfigurations configurations;
  if (Exists(UserStarterFile())) {
    configurations = ReadStarterConfiguration(StarterVariant::Normal);
  } else if (state.alternateFilePresent) {
    configurations = ReadStarterConfiguration(StarterVariant::Alternate);
    readAlternate = true;
  }

  std::vector<std::u16string> list = configurations.primary.ValuesOf(kTemplatesLocationKey);
  for (const std::u16string& value : configurations.secondary.ValuesOf(kTemplatesLocationKey)) {
    if (!ContainsNoCase(list, value)) list.push_back(value);
  }
  for (std::u16string& value : list) value = ToNativeSeparators(std::move(value));
  RemoveDuplicateDirectories(list);
  state.starterDirectories = std::move(list);
  state.listFromAlternateFile = readAlternate && !state.starterDirectories.empty();

  std::u16string chosen;
  bool found = false;
  for (const std::u16string& directory : state.starterDirectories) {
    // A network location is never proposed, however writable.
    if (!IsNetworkPath(directory) && CanTakeNewFiles(directory)) {
      chosen = directory;
      found = true;
      break;
    }
  }
  if (!found) chosen = DefaultTemplateDirectory();
  state.templateDirectory = CleanTemplateDirectory(std::move(chosen));
}

ErrorCode RecordInstalledDirectory(TemplateDirectoryState& state, const std::u16string& installedDirectory) {
  std::u16string directory = installedDirectory;
  // A root keeps its separator: without it nothing would be left to record.
  directory = WithoutTrailingSeparator(std::move(directory));
  if (directory.empty()) return kErrorInvalidParameter;
  state.starterDirectories.insert(state.starterDirectories.begin(), directory);

  ErrorCode code = kErrorSuccess;
  if (!state.listFromAlternateFile) {
    code = UpdatePrimaryFile(state, StarterVariant::Normal);
    if (code != kErrorSuccess) return code;
  }
  if (state.alternateFilePresent) code = UpdatePrimaryFile(state, StarterVariant::Alternate);
  return code;
}

}  // namespace setup
