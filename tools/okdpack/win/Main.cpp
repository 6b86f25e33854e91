// okdpack on Windows: the command line is read as UTF-16 (wmain) and held as
// UTF-8, so any name or description comes through whatever the code page.
// Output goes to a console as UTF-16 (WriteConsoleW), which shows right
// under every console code page, and to a file or a pipe as UTF-8 with the
// C runtime's CR LF line ends.
#include <windows.h>

#include <cstdio>

#include "ProgramText.h"
#include "platform/Console.h"
#include "platform/Text.h"

namespace okdpack {

std::u16string ToWide(std::string_view text) { return setup::Utf8ToUtf16(text); }
std::string FromWide(std::u16string_view text) { return setup::Utf16ToUtf8(text); }

bool Print(Stream stream, std::string_view text) {
  std::FILE* file = stream == Stream::Output ? stdout : stderr;
  const HANDLE handle = GetStdHandle(stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
  }
  std::fflush(file);
  return setup::WriteStandard(stream == Stream::Output ? setup::StandardStream::Output : setup::StandardStream::Error,
                              text);
}

bool FlushOutput() { return std::fflush(stdout) == 0; }

}  // namespace okdpack

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(setup::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(argv[i]))));
  }
  return okdpack::Run(args);
}
