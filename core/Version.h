#pragma once
// The version of setup and okdpack (one number, set in the top-level
// CMakeLists.txt) and the commit they were built from.
#include <string>

namespace setup {

const char* ProgramVersion();  // "1.0.0"
const char* ProgramCommit();   // "abc123def456", "...-dirty", or "unknown"
// "<program> <version> (commit <commit>)", the first line of --version.
std::string VersionLine(const std::string& program);

}  // namespace setup
