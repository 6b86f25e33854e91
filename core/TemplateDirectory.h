#pragma once
// Where templates go: the directory proposed at start-up from the user's
// starter configuration, and the write-back of the directory actually used.
#include <string>
#include <vector>

#include "core/StarterConfiguration.h"
#include "platform/ApplicationData.h"
#include "platform/ErrorCodes.h"

namespace setup {

// The starter configuration key that lists template directories, one per line.
inline constexpr char16_t kTemplatesLocationKey[] = u"ConfigurationTemplatesLocation";

// What the lookup leaves for the rest of the run; the Setup context holds it.
struct TemplateDirectoryState {
  std::u16string templateDirectory;               // proposed, then possibly changed by the user
  std::vector<std::u16string> starterDirectories;  // the listed directories, each once
  bool alternateFilePresent = false;  // the alternate user starter file existed at start-up
  bool listFromAlternateFile = false;  // the list came from the alternate variant and is not empty
};

// Which pair of starter files is read: the primary one is written back, the
// secondary one only read.
enum class StarterVariant { Normal, Alternate };

// The places of the platform's application-data folders (ApplicationData.h);
// each is empty when the user has no such folder.
std::u16string UserStarterFile();
std::u16string AllUsersStarterFile();
std::u16string AlternateStarterFile();
std::u16string DefaultTemplateDirectory();

struct StarterFiles {
  std::u16string primaryPath;
  std::u16string secondaryPath;
};
StarterFiles StarterFilesOf(StarterVariant variant);

struct StarterConfigurations {
  StarterConfiguration primary;
  StarterConfiguration secondary;
  // Whether the primary file may be written back: only one read whole.
  StarterRead primaryRead = StarterRead::Missing;
};
// Reads the secondary, then the primary file of the variant; a missing or
// unopenable file contributes nothing, and a failure on one does not stop the
// other.
StarterConfigurations ReadStarterConfiguration(StarterVariant variant);

// Keeps the first of directories equal without regard to case and to one
// trailing separator, as written; drops the later ones.
void RemoveDuplicateDirectories(std::vector<std::u16string>& directories);
// The last clean-up of a proposal: web and FTP addresses become empty, the
// first "file://" goes ("file:\\" too on Windows, where the list's
// separators are turned before this), separators become the platform's, CR
// and LF go.
std::u16string CleanTemplateDirectory(std::u16string directory);

// Fills `state` from the starter files. Never fails. Each listed directory is
// cleaned (CleanTemplateDirectory) and then probed; a relative one is passed
// over, since it would name another place in every working directory. With
// no usable listed directory the default one is proposed, made absolute;
// it is empty when there is no home, or when the home does not exist (a run
// into the default would create the home itself).
void LocateTemplateDirectory(TemplateDirectoryState& state);

// Whether a run may install into `directory` as it stands: an absolute path
// that is a directory which can take a new file, or that does not exist yet
// and whose nearest existing ancestor is a directory which can take a new
// folder and does not lie above a home that does not exist.
bool TemplateDirectoryUsable(const std::u16string& directory);

// Records `installedDirectory`, made absolute against the working directory,
// at the head of the list in the user's starter configuration (and in the
// alternate one when that existed). A file that is there but cannot be read
// whole is not rewritten (kStarterCannotRead), nor is one that is no text
// file to rewrite (kStarterNotRewritten); a failure on the user's file leaves
// the alternate one alone too. 0 only when every file that was to be written
// was written.
ErrorCode RecordInstalledDirectory(TemplateDirectoryState& state, const std::u16string& installedDirectory);

}  // namespace setup
