#pragma once
// Starting the desktop's helpers without a shell, so that a path reaches
// them as one unchanged argument whatever quotes, "$" or "\" it holds.
#include <string>
#include <vector>

namespace setup {

// Starts argv[0] (looked up on PATH) with `argv`, in a session of its own,
// with standard input and output on /dev/null; does not wait for it.
// False when it could not be started.
bool StartDetached(const std::vector<std::string>& argv);

// Opens `path` with the desktop's default application (xdg-open). Failures
// are not reported to the user; the result is only for the caller.
bool OpenWithDesktop(const std::u16string& path);

}  // namespace setup
