#include "core/Version.h"

#include "SetupVersion.h"  // generated in the build tree

namespace setup {

const char* ProgramVersion() { return SETUP_VERSION_TEXT; }
const char* ProgramCommit() { return SETUP_COMMIT_TEXT; }

std::string VersionLine(const std::string& program) {
  std::string line = program;
  line += ' ';
  line += ProgramVersion();
  line += " (commit ";
  line += ProgramCommit();
  line += ')';
  return line;
}

}  // namespace setup
