// The template directory lookup: the proposal at start-up from the starter
// files, and the write-back of the directory actually used.
#include "core/TemplateDirectory.h"

#include <string>
#include <unordered_set>

#include "platform/ApplicationData.h"
#include "platform/FileFinder.h"
#include "platform/FileOps.h"
#include "platform/Path.h"
#include "platform/Process.h"
#include "platform/Text.h"

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

// A directory can take new files when a file can be created in it. The probe
// is removed at once; whether that works does not change the answer.
bool CanTakeNewFiles(const std::u16string& directory) {
  // A web address is not a directory; do not let a folder named "http:" in the
  // working directory make it look like one.
  if (directory.empty() || IsWebAddress(directory)) return false;
  return ProbeNewFile(directory, kProbePrefix) == kErrorSuccess;
}

bool IsExistingDirectory(const std::u16string& path) {
  PathInfo info;
  return !path.empty() && QueryPathInfo(WithoutTrailingSeparator(path), info) == kErrorSuccess && info.directory;
}

// Whether `inner` lies below `outer` (or is it), separators aside. Letter
// case is ignored on every system: where it matters, that only refuses more.
bool IsWithin(const std::u16string& inner, const std::u16string& outer) {
  const std::u16string a = EnsureTrailingSeparator(inner), b = EnsureTrailingSeparator(outer);
  return a.size() >= b.size() && CompareNoCase(std::u16string_view(a).substr(0, b.size()), b) == 0;
}

// Writes the starter directory list into the primary file of `variant`; the
// secondary file is read for symmetry with the lookup but never written.
ErrorCode UpdatePrimaryFile(TemplateDirectoryState& state, StarterVariant variant) {
  const StarterFiles files = StarterFilesOf(variant);
  // Without a home there is no file of the user's to write.
  if (files.primaryPath.empty()) return kStarterCannotOpen;
  StarterConfigurations configurations = ReadStarterConfiguration(variant);
  // Rewriting a file known only in part would keep just what was read of it;
  // rewriting one that did not decode would garble the rest of it.
  switch (configurations.primaryRead) {
    case StarterRead::Whole:
    case StarterRead::Missing: break;
    case StarterRead::Incomplete: return kStarterCannotRead;
    case StarterRead::Refused:
    case StarterRead::Undecodable: return kStarterNotRewritten;
  }
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
  std::vector<std::u16string> kept;
  std::unordered_set<std::string> seen;
  for (std::u16string& directory : directories) {
    if (!seen.insert(CaseFoldedKey(EnsureTrailingSeparator(directory))).second) continue;
    kept.push_back(std::move(directory));
  }
  directories = std::move(kept);
}

std::u16string CleanTemplateDirectory(std::u16string directory) {
  if (IsWebAddress(directory)) return {};
  // The list has its separators turned already, so on Windows a listed
  // "file://" reads "file:\\" by now; either form is the scheme.
  static constexpr std::u16string_view kFileScheme = u"file:";
  for (size_t at = directory.find(kFileScheme); at != std::u16string::npos; at = directory.find(kFileScheme, at + 1)) {
    const size_t end = at + kFileScheme.size();
    if (end + 2 <= directory.size() && IsSeparator(directory[end]) && IsSeparator(directory[end + 1])) {
      directory.erase(at, kFileScheme.size() + 2);
      break;
    }
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
  std::unordered_set<std::string> listed;
  for (const std::u16string& value : list) listed.insert(CaseFoldedKey(value));
  for (const std::u16string& value : configurations.secondary.ValuesOf(kTemplatesLocationKey)) {
    if (listed.insert(CaseFoldedKey(value)).second) list.push_back(value);
  }
  for (std::u16string& value : list) value = ToNativeSeparators(std::move(value));
  RemoveDuplicateDirectories(list);
  state.starterDirectories = std::move(list);
  state.listFromAlternateFile = readAlternate && !state.starterDirectories.empty();

  for (const std::u16string& value : state.starterDirectories) {
    // What is probed is what would be used: "file://" goes before the probe.
    std::u16string directory = CleanTemplateDirectory(value);
    // A relative entry names another place in every working directory, and a
    // network location is never proposed, however writable. Both stay listed.
    if (!IsAbsolutePath(directory) || IsNetworkPath(directory)) continue;
    if (CanTakeNewFiles(directory)) {
      state.templateDirectory = std::move(directory);
      return;
    }
  }
  // Installing below a home that is not there would create it.
  if (IsExistingDirectory(ApplicationDataFolder(false))) {
    state.templateDirectory =
        MakeAbsolutePath(CleanTemplateDirectory(DefaultTemplateDirectory()), CurrentDirectory());
  }
}

bool TemplateDirectoryUsable(const std::u16string& directory) {
  if (!IsAbsolutePath(directory) || IsWebAddress(directory)) return false;
  const std::u16string path = WithoutTrailingSeparator(directory);
  PathInfo info;
  ErrorCode code = QueryPathInfo(path, info);
  if (code == kErrorSuccess) return info.directory && CanTakeNewFiles(directory);
  // The run creates what is missing below the nearest directory that exists.
  std::u16string ancestor = path;
  while (code == kErrorFileNotFound || code == kErrorPathNotFound) {
    std::u16string parent = ParentPath(ancestor);
    if (parent.empty() || parent == ancestor) return false;
    ancestor = std::move(parent);
    code = QueryPathInfo(ancestor, info);
  }
  if (code != kErrorSuccess || !info.directory) return false;
  const std::u16string home = ApplicationDataFolder(false);
  if (!home.empty() && !IsExistingDirectory(home) && IsWithin(home, ancestor)) return false;
  // What lets a new file in lets a new folder in too.
  return CanTakeNewFiles(ancestor);
}

ErrorCode RecordInstalledDirectory(TemplateDirectoryState& state, const std::u16string& installedDirectory) {
  // A relative directory would mean another place to every later reader. A
  // root keeps its separator: without it nothing would be left to record.
  const std::u16string directory = WithoutTrailingSeparator(MakeAbsolutePath(installedDirectory, CurrentDirectory()));
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
