#pragma once
// Start-up: where the kit is, and the preparation routine that must succeed
// before any page is shown.
#include <optional>
#include <string>

#include "core/FrontEnd.h"
#include "core/SetupContext.h"

namespace setup {

// The kit beside the executable, or in the working directory with "usecwd";
// empty when that location cannot be read.
std::u16string LocateKit(bool useCurrentDirectory);

// True when 3 x the kit's size fits into the free space. A caller that could
// not determine either size skips the check.
bool EnoughSpaceFor(uint64_t kitSize, uint64_t freeSpace);

// The message for a kit that could not be read (`code`, `place` as
// KitReader::Read and FailurePlace give them): a full temporary directory, a
// damaged kit, one that cannot be read, or a temporary directory it cannot be
// unpacked into.
const char* KitReadFailureMessage(ErrorCode code, KitFailurePlace place);

// Why nothing can be installed into `directory` as it stands, in the words
// the user is told, with the failure's code; empty when a run may begin.
std::u16string DirectoryRefusal(const std::u16string& directory, ErrorCode& code);

// Shows a message and keeps it as the one last shown (a question is not kept).
bool ShowMessage(SetupContext& context, FrontEnd& frontEnd, MessageKind kind, const std::u16string& text);

// Finds the kit, proposes the template directory (or takes `destination`,
// made absolute against the working directory, which must be usable),
// checks the space in the temporary directory and reads the kit. On failure
// one error message has been shown, the context's result holds the
// failure's code and false is returned.
bool PrepareSetup(SetupContext& context, FrontEnd& frontEnd,
                  const std::optional<std::u16string>& destination = std::nullopt);

}  // namespace setup
