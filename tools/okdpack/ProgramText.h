#pragma once
// The text okdpack takes and prints. Arguments, paths and messages are byte
// strings in one encoding: the locale's on Linux (the bytes the system
// gives), UTF-8 on Windows (made from the UTF-16 command line and names).
// Each platform's half also holds the program entry, which hands the
// arguments to Run.
#include <string>
#include <string_view>
#include <vector>

namespace okdpack {

std::u16string ToWide(std::string_view text);
std::string FromWide(std::u16string_view text);

enum class Stream { Output, Error };
// False when the text could not be written.
bool Print(Stream stream, std::string_view text);
// Writes out what Print has buffered; false when that fails.
bool FlushOutput();

// The whole program, once the arguments (without the program name) are text.
int Run(const std::vector<std::string>& args);

}  // namespace okdpack
