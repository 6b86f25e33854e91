#pragma once
// The program's standard output and error, for the few texts that go there:
// a plan, and the messages of a run without a window. Files and pipes get the
// UTF-8 bytes as they are; a console gets the text in its own form. A Windows
// program with no console of its own borrows its parent's, when it has one.
#include <string_view>

namespace setup {

enum class StandardStream { Output, Error };

// False when the text could not be written (nothing to write to counts).
bool WriteStandard(StandardStream stream, std::string_view utf8);

}  // namespace setup
