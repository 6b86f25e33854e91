/* An LD_PRELOAD library that makes the N-th call of chosen libc file functions
 * fail with a chosen errno, so a test can walk N over every call of a run.
 *
 * Environment:
 *   FAULTINJECT_FUNC        comma-separated names to watch (default: all below)
 *   FAULTINJECT_NTH         1-based number of the watched call to fail (0: none)
 *   FAULTINJECT_ERRNO       the errno to fail it with (default EIO)
 *   FAULTINJECT_COUNT_FILE  at exit, "<calls> <failed-function-or-->" is written here
 *   FAULTINJECT_WAIT_ARM    when set, nothing is counted until the program
 *                           calls faultinject_arm(1) (found with dlsym)
 *   FAULTINJECT_RULES       further fixed faults, "func:nth:errno,...", each
 *                           counting the calls of its own function only
 *   FAULTINJECT_FREE_BYTES  statvfs reports this many bytes available
 *   FAULTINJECT_SIGNAL      instead of failing the N-th watched call, raise this
 *                           signal just before it (9: the process dies there)
 *   FAULTINJECT_PATH        watch only open and mkstemp calls on paths holding
 *                           this text, and read and write calls on what they
 *                           opened; other calls are neither counted nor failed
 *                           (rules still apply to them)
 *   A rule whose errno is negative raises that signal before its call and
 *   lets the call go on ("rename:40:-15": SIGTERM before the 40th rename).
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

static atomic_long g_calls;
static long g_nth;
static int g_errno = EIO;
static int g_signal;
static const char* g_funcs;
static const char* g_count_file;
static atomic_int g_armed = 1;
static char g_failed[64] = "-";
static int g_ready;
static const char* g_path;
/* Descriptors opened on a path holding g_path. */
#define MAX_TRACKED_FD 4096
static atomic_char g_tracked[MAX_TRACKED_FD];

#define MAX_RULES 8
static struct { char name[32]; long nth; int error; atomic_long calls; } g_rules[MAX_RULES];
static int g_rule_count;

static void parse_rules(const char* text) {
  while (text && *text && g_rule_count < MAX_RULES) {
    char name[32];
    long nth;
    int error, used = 0;
    if (sscanf(text, "%31[^:]:%ld:%d%n", name, &nth, &error, &used) != 3) return;
    snprintf(g_rules[g_rule_count].name, sizeof g_rules[0].name, "%s", name);
    g_rules[g_rule_count].nth = nth;
    g_rules[g_rule_count].error = error;
    ++g_rule_count;
    text += used;
    if (*text == ',') ++text;
  }
}

__attribute__((constructor)) static void faultinject_init(void) {
  const char* nth = getenv("FAULTINJECT_NTH");
  const char* err = getenv("FAULTINJECT_ERRNO");
  g_nth = nth ? atol(nth) : 0;
  if (err && atoi(err) > 0) g_errno = atoi(err);
  const char* sig = getenv("FAULTINJECT_SIGNAL");
  if (sig && atoi(sig) > 0) g_signal = atoi(sig);
  g_funcs = getenv("FAULTINJECT_FUNC");
  g_count_file = getenv("FAULTINJECT_COUNT_FILE");
  g_path = getenv("FAULTINJECT_PATH");
  if (g_path && !*g_path) g_path = NULL;
  if (getenv("FAULTINJECT_WAIT_ARM")) g_armed = 0;
  parse_rules(getenv("FAULTINJECT_RULES"));
  g_ready = 1;
}

void faultinject_arm(int on) { g_armed = on; }
long faultinject_calls(void) { return g_calls; }

static int watched(const char* name) {
  if (!g_funcs || !*g_funcs) return 1;
  size_t len = strlen(name);
  for (const char* p = g_funcs; *p;) {
    const char* end = strchr(p, ',');
    size_t n = end ? (size_t)(end - p) : strlen(p);
    if (n == len && strncmp(p, name, n) == 0) return 1;
    if (!end) break;
    p = end + 1;
  }
  return 0;
}

/* True when this call is to fail; errno is then already set. A call outside
 * FAULTINJECT_PATH's scope (in_scope 0) only meets the rules. */
static int should_fail_in(const char* name, int in_scope) {
  if (!g_ready || !g_armed) return 0;
  for (int i = 0; i < g_rule_count; ++i) {
    if (strcmp(g_rules[i].name, name) == 0 &&
        atomic_fetch_add(&g_rules[i].calls, 1) + 1 == g_rules[i].nth) {
      if (g_rules[i].error < 0) {
        raise(-g_rules[i].error);
        continue;
      }
      errno = g_rules[i].error;
      return 1;
    }
  }
  if (!in_scope || !watched(name)) return 0;
  long n = atomic_fetch_add(&g_calls, 1) + 1;
  if (g_nth > 0 && n == g_nth) {
    snprintf(g_failed, sizeof g_failed, "%s", name);
    if (g_signal) {
      raise(g_signal);
      return 0;
    }
    errno = g_errno;
    return 1;
  }
  return 0;
}

static int should_fail(const char* name) { return should_fail_in(name, !g_path); }

static int path_in_scope(const char* path) { return !g_path || (path && strstr(path, g_path)); }

static int fd_in_scope(int fd) { return !g_path || (fd >= 0 && fd < MAX_TRACKED_FD && g_tracked[fd]); }

/* Remembers (or forgets) a descriptor opened on a path in scope. */
static int track(int fd, int in_scope) {
  if (g_path && fd >= 0 && fd < MAX_TRACKED_FD) g_tracked[fd] = (char)(in_scope != 0);
  return fd;
}

#define REAL(name) \
  static __typeof__(name)* real_##name; \
  if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

__attribute__((destructor)) static void faultinject_report(void) {
  if (!g_count_file) return;
  g_ready = 0;
  REAL(fopen);
  FILE* f = real_fopen(g_count_file, "w");
  if (!f) return;
  fprintf(f, "%ld %s\n", (long)g_calls, g_failed);
  REAL(fclose);
  real_fclose(f);
}

static mode_t open_mode(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list ap; va_start(ap, flags); mode_t mode = open_mode(flags, ap); va_end(ap);
  int in = path_in_scope(path);
  if (should_fail_in("open", in)) return -1;
  REAL(open); return track(real_open(path, flags, mode), in);
}
int open64(const char* path, int flags, ...) {
  va_list ap; va_start(ap, flags); mode_t mode = open_mode(flags, ap); va_end(ap);
  int in = path_in_scope(path);
  if (should_fail_in("open", in)) return -1;
  REAL(open64); return track(real_open64(path, flags, mode), in);
}
int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap; va_start(ap, flags); mode_t mode = open_mode(flags, ap); va_end(ap);
  int in = path_in_scope(path);
  if (should_fail_in("openat", in)) return -1;
  REAL(openat); return track(real_openat(dirfd, path, flags, mode), in);
}
int mkstemp(char* tmpl) {
  int in = path_in_scope(tmpl);
  if (should_fail_in("mkstemp", in)) return -1;
  REAL(mkstemp); return track(real_mkstemp(tmpl), in);
}
int mkostemp(char* tmpl, int flags) {
  int in = path_in_scope(tmpl);
  if (should_fail_in("mkstemp", in)) return -1;
  REAL(mkostemp); return track(real_mkostemp(tmpl, flags), in);
}
FILE* fopen(const char* path, const char* mode) { if (should_fail("fopen")) return NULL; REAL(fopen); return real_fopen(path, mode); }
FILE* fopen64(const char* path, const char* mode) { if (should_fail("fopen")) return NULL; REAL(fopen64); return real_fopen64(path, mode); }
size_t fwrite(const void* p, size_t size, size_t n, FILE* f) { if (should_fail("fwrite")) return 0; REAL(fwrite); return real_fwrite(p, size, n, f); }
int fflush(FILE* f) { if (should_fail("fflush")) return EOF; REAL(fflush); return real_fflush(f); }
int fclose(FILE* f) {
  REAL(fclose);
  if (should_fail("fclose")) { int e = errno; real_fclose(f); errno = e; return EOF; }
  return real_fclose(f);
}
ssize_t read(int fd, void* buf, size_t n) { if (should_fail_in("read", fd_in_scope(fd))) return -1; REAL(read); return real_read(fd, buf, n); }
ssize_t write(int fd, const void* buf, size_t n) { if (should_fail_in("write", fd_in_scope(fd))) return -1; REAL(write); return real_write(fd, buf, n); }
ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) { if (should_fail_in("write", fd_in_scope(fd))) return -1; REAL(pwrite); return real_pwrite(fd, buf, n, at); }
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t at) { if (should_fail_in("write", fd_in_scope(fd))) return -1; REAL(pwrite64); return real_pwrite64(fd, buf, n, at); }
int close(int fd) {
  REAL(close);
  track(fd, 0);
  if (should_fail("close")) { int e = errno; real_close(fd); errno = e; return -1; }
  return real_close(fd);
}
int rename(const char* a, const char* b) { if (should_fail("rename")) return -1; REAL(rename); return real_rename(a, b); }
int renameat(int fa, const char* a, int fb, const char* b) { if (should_fail("rename")) return -1; REAL(renameat); return real_renameat(fa, a, fb, b); }
int mkdir(const char* path, mode_t mode) { if (should_fail("mkdir")) return -1; REAL(mkdir); return real_mkdir(path, mode); }
int unlink(const char* path) { if (should_fail("unlink")) return -1; REAL(unlink); return real_unlink(path); }
int unlinkat(int fd, const char* path, int flags) { if (should_fail("unlink")) return -1; REAL(unlinkat); return real_unlinkat(fd, path, flags); }
int rmdir(const char* path) { if (should_fail("rmdir")) return -1; REAL(rmdir); return real_rmdir(path); }
int fsync(int fd) { if (should_fail("fsync")) return -1; REAL(fsync); return real_fsync(fd); }
int fdatasync(int fd) { if (should_fail("fsync")) return -1; REAL(fdatasync); return real_fdatasync(fd); }
int syncfs(int fd) { if (should_fail("syncfs")) return -1; REAL(syncfs); return real_syncfs(fd); }
int ftruncate(int fd, off_t len) { if (should_fail("ftruncate")) return -1; REAL(ftruncate); return real_ftruncate(fd, len); }
int ftruncate64(int fd, off64_t len) { if (should_fail("ftruncate")) return -1; REAL(ftruncate64); return real_ftruncate64(fd, len); }
int futimens(int fd, const struct timespec t[2]) { if (should_fail("futimens")) return -1; REAL(futimens); return real_futimens(fd, t); }
int fchmod(int fd, mode_t mode) { if (should_fail("fchmod")) return -1; REAL(fchmod); return real_fchmod(fd, mode); }
int symlink(const char* a, const char* b) { if (should_fail("symlink")) return -1; REAL(symlink); return real_symlink(a, b); }
DIR* opendir(const char* path) { if (should_fail("opendir")) return NULL; REAL(opendir); return real_opendir(path); }
DIR* fdopendir(int fd) { if (should_fail("opendir")) return NULL; REAL(fdopendir); return real_fdopendir(fd); }
/* Pretends the file system has only FAULTINJECT_FREE_BYTES available. */
#define SHRINK_FREE_SPACE(buf) do { \
    const char* free_bytes = getenv("FAULTINJECT_FREE_BYTES"); \
    if (free_bytes && (buf)->f_frsize) (buf)->f_bavail = (buf)->f_bfree = strtoull(free_bytes, NULL, 10) / (buf)->f_frsize; \
  } while (0)
int statvfs(const char* path, struct statvfs* buf) {
  if (should_fail("statvfs")) return -1;
  REAL(statvfs); int r = real_statvfs(path, buf); if (r == 0) SHRINK_FREE_SPACE(buf); return r;
}
int statvfs64(const char* path, struct statvfs64* buf) {
  if (should_fail("statvfs")) return -1;
  REAL(statvfs64); int r = real_statvfs64(path, buf); if (r == 0) SHRINK_FREE_SPACE(buf); return r;
}
int stat(const char* path, struct stat* buf) { if (should_fail("stat")) return -1; REAL(stat); return real_stat(path, buf); }
int lstat(const char* path, struct stat* buf) { if (should_fail("lstat")) return -1; REAL(lstat); return real_lstat(path, buf); }
int fstat(int fd, struct stat* buf) { if (should_fail("fstat")) return -1; REAL(fstat); return real_fstat(fd, buf); }
int fstatat(int fd, const char* path, struct stat* buf, int flags) { if (should_fail("fstatat")) return -1; REAL(fstatat); return real_fstatat(fd, path, buf, flags); }
