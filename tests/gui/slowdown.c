/* Preloaded into setup by the GUI tests to make an installation last: each
 * futimens call (one per installed file) first sleeps SLOWDOWN_FUTIMENS_MS
 * milliseconds. Only the worker sets file times, so the main thread is
 * untouched and its own cost can be measured over a long run. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

int futimens(int fd, const struct timespec times[2]) {
  static int (*real_futimens)(int, const struct timespec[2]);
  if (!real_futimens) real_futimens = (int (*)(int, const struct timespec[2]))dlsym(RTLD_NEXT, "futimens");
  const char* value = getenv("SLOWDOWN_FUTIMENS_MS");
  long ms = value ? strtol(value, NULL, 10) : 0;
  if (ms > 0) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
  }
  return real_futimens(fd, times);
}
