// okdpack on Linux: the arguments and names are the locale's multibyte text,
// printed as they are.
#include <clocale>
#include <cstdio>

#include "ProgramText.h"
#include "platform/Text.h"

namespace okdpack {

std::u16string ToWide(std::string_view text) { return setup::MultiByteToWide(text); }
std::string FromWide(std::u16string_view text) { return setup::WideToMultiByte(text); }

bool Print(Stream stream, std::string_view text) {
  std::FILE* file = stream == Stream::Output ? stdout : stderr;
  return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

bool FlushOutput() { return std::fflush(stdout) == 0; }

}  // namespace okdpack

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return okdpack::Run(std::vector<std::string>(argv + 1, argv + argc));
}
