// Runs one file-layer operation in its own process, so that a test can run it
// under the fault-injection library. Prints the result code.
#include <cstdio>
#include <cstring>

#include "platform/FileOps.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
  using namespace setup;
  if (argc < 3) return 2;
  const std::u16string a = Utf8ToUtf16(argv[2]);
  const std::u16string b = argc > 3 ? Utf8ToUtf16(argv[3]) : u"";
  ErrorCode code = kErrorInvalidParameter;
  if (!std::strcmp(argv[1], "move")) code = MoveFileTo(a, b);
  else if (!std::strcmp(argv[1], "remove-tree")) code = RemoveDirectoryTree(a);
  else if (!std::strcmp(argv[1], "remove-file")) code = RemoveFile(a);
  else if (!std::strcmp(argv[1], "mkdirs")) code = CreateDirectoryTree(a);
  else if (!std::strcmp(argv[1], "free")) { uint64_t bytes = 0; code = QueryFreeSpace(bytes); }
  std::printf("%u\n", code);
  return 0;
}
