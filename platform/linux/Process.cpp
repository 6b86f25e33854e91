#include "platform/Process.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/Text.h"

namespace setup {

std::u16string ExecutablePath() {
  // No fixed buffer: a long installation path must not be cut short.
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) return MultiByteToWide(std::string(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

std::u16string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return MultiByteToWide(buffer.data());
}

struct WorkerThread::Native {
  pthread_t thread{};
  bool started = false;
  std::function<void()> body;
};

WorkerThread::WorkerThread() : native_(std::make_unique<Native>()) {}

WorkerThread::~WorkerThread() { Join(); }

ErrorCode WorkerThread::Start(std::function<void()> body) {
  if (native_->started) return kErrorInvalidParameter;
  native_->body = std::move(body);
  const int error = pthread_create(
      &native_->thread, nullptr,
      [](void* self) -> void* {
        static_cast<Native*>(self)->body();
        return nullptr;
      },
      native_.get());
  if (error != 0) return error == EAGAIN ? kErrorNotEnoughMemory : kErrorInvalidParameter;
  native_->started = true;
  return 0;
}

bool WorkerThread::Running() const { return native_->started; }

void WorkerThread::Join() {
  if (!native_->started) return;
  pthread_join(native_->thread, nullptr);
  native_->started = false;
}

namespace {
// Read by the worker thread as well as the main thread; a lock-free atomic
// is both safe in a signal handler and free of data races.
std::atomic<bool> gTerminationRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
void OnTerminationSignal(int) { gTerminationRequested = true; }
}  // namespace

void InstallTerminationSignals() {
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // A message written to a pipe nobody reads any more must not kill the
  // program in the middle of a rollback; the write just fails.
  signal(SIGPIPE, SIG_IGN);
}

bool TerminationRequested() { return gTerminationRequested; }

void ReleaseFreedMemory() {
  // glibc keeps what the threads' arenas free in the middle of their heaps;
  // malloc_trim hands those pages back too.
  malloc_trim(0);
}

}  // namespace setup
