#pragma once
// The Windows counterpart of the fault-injection library: the file layer's
// test hook (platform/win/FileCallHook.h), set for the lifetime of one object,
// counts the layer's Win32 file calls and fails the nth of them with a chosen
// code. Only one such object may exist at a time.
#include <cstdint>
#include <string>

namespace setup::test {

class FileCallFaults {
 public:
  // Fails the nth call (counting from 1; 0: none) with `code`. With
  // `function`, only calls of that function are counted and failed.
  FileCallFaults(long nth, uint32_t code, const char* function = nullptr);
  ~FileCallFaults();
  FileCallFaults(const FileCallFaults&) = delete;
  FileCallFaults& operator=(const FileCallFaults&) = delete;

  // The calls counted so far.
  long Calls() const;
  // The name of the call that was failed, or "-".
  std::string Failed() const;
  // Every call seen, in order, as "name name ..."; for messages.
  std::string Trace() const;
};

}  // namespace setup::test
