#include "FileCallFaults.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "platform/win/FileCallHook.h"

namespace setup::test {
namespace {

// The hook is a plain function, so what it needs lives here.
std::atomic<bool> gActive{false};
std::atomic<long> gCalls{0};
long gNth = 0;
DWORD gCode = 0;
std::string gFunction;
std::mutex gMutex;  // guards the two strings below
std::string gFailed = "-";
std::string gTrace;

DWORD Hook(const char* function) {
  if (!gFunction.empty() && gFunction != function) return 0;
  const long n = gCalls.fetch_add(1) + 1;
  std::lock_guard<std::mutex> lock(gMutex);
  if (gTrace.size() < 65536) gTrace += std::string(gTrace.empty() ? "" : " ") + function;
  if (n != gNth) return 0;
  gFailed = function;
  return gCode;
}

}  // namespace

FileCallFaults::FileCallFaults(long nth, uint32_t code, const char* function) {
  if (gActive.exchange(true)) throw std::logic_error("only one FileCallFaults at a time");
  gCalls = 0;
  gNth = nth;
  gCode = code;
  gFunction = function ? function : "";
  gFailed = "-";
  gTrace.clear();
  SetFileCallHook(Hook);
}

FileCallFaults::~FileCallFaults() {
  SetFileCallHook(nullptr);
  gActive = false;
}

long FileCallFaults::Calls() const { return gCalls; }

std::string FileCallFaults::Failed() const {
  std::lock_guard<std::mutex> lock(gMutex);
  return gFailed;
}

std::string FileCallFaults::Trace() const {
  std::lock_guard<std::mutex> lock(gMutex);
  return gTrace;
}

}  // namespace setup::test
