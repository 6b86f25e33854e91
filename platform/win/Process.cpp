#include "platform/Process.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace setup {

namespace {

std::u16string Narrow(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::u16string ExecutablePath() {
  // No fixed buffer: a long installation path must not be cut short.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A name that filled the buffer may have been cut.
    if (n < buffer.size()) {
      buffer.resize(n);
      return Narrow(buffer);
    }
    if (buffer.size() >= 65536) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::u16string CurrentDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return Narrow(buffer);
    }
    buffer.resize(n);  // n is the size needed, with the terminating null
  }
}

struct WorkerThread::Native {
  HANDLE thread = nullptr;
  std::function<void()> body;

  static DWORD WINAPI Run(void* self) {
    static_cast<Native*>(self)->body();
    return 0;
  }
};

WorkerThread::WorkerThread() : native_(std::make_unique<Native>()) {}

WorkerThread::~WorkerThread() { Join(); }

ErrorCode WorkerThread::Start(std::function<void()> body) {
  if (native_->thread) return kErrorInvalidParameter;
  native_->body = std::move(body);
  native_->thread = CreateThread(nullptr, 0, &Native::Run, native_.get(), 0, nullptr);
  if (!native_->thread) {
    const DWORD code = GetLastError();
    return code != 0 ? code : kErrorNotEnoughMemory;
  }
  return kErrorSuccess;
}

bool WorkerThread::Running() const { return native_->thread != nullptr; }

void WorkerThread::Join() {
  if (!native_->thread) return;
  WaitForSingleObject(native_->thread, INFINITE);
  CloseHandle(native_->thread);
  native_->thread = nullptr;
}

namespace {

std::atomic<bool> gTerminationRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      gTerminationRequested = true;
      return TRUE;
    case CTRL_CLOSE_EVENT:
      gTerminationRequested = true;
      // The process ends as soon as this returns. Waiting here gives a run
      // the system's grace period (5 s) to roll back and leave by itself,
      // which ends this thread too.
      Sleep(10000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

// A closed console window or Ctrl+C only sets a flag that the program polls:
// a run is then cancelled and rolled back, and the program ends the normal
// way, deleting its temporary files.
void InstallTerminationSignals() { SetConsoleCtrlHandler(&OnConsoleEvent, TRUE); }

void ReleaseFreedMemory() {
  // The process heap decommits large freed blocks by itself.
}

bool TerminationRequested() { return gTerminationRequested; }

}  // namespace setup
