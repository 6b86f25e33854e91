// Child processes for the Linux tests: spawning with captured output, and
// runs under the fault-injection library.
#include "TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "TestSupport.h"

extern char** environ;

namespace setup::test {

namespace {

// The child's environment: ours, with `env` applied (an empty value removes).
std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : env) {
    if (value.empty()) merged.erase(name); else merged[name] = value;
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : merged) envStrings.push_back(name + "=" + value);
  return envStrings;
}

// argv and envp as posix_spawn takes them, kept alive with their strings.
struct SpawnArguments {
  SpawnArguments(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
      : argStrings(argv), envStrings(MergedEnvironment(env)) {
    for (auto& s : argStrings) args.push_back(s.data());
    args.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
  std::vector<std::string> argStrings, envStrings;
  std::vector<char*> args, envp;
};

}  // namespace

int StartProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& outFile, const std::string& errFile, const std::string& cwd) {
  SpawnArguments spawn(argv, env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, spawn.args[0], &actions, nullptr, spawn.args.data(), spawn.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitProcess(int pid, int seconds) {
  int status = 0;
  for (int waited = 0;; waited += 10) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (waited >= seconds * 1000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& input,
                         const std::string& cwd) {
  SpawnArguments spawn(argv, env);

  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid;
  const int rc = posix_spawn(&pid, spawn.args[0], &actions, nullptr, spawn.args.data(), spawn.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  ProcessResult result;
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  if (!input.empty()) (void)!write(inPipe[1], input.data(), input.size());
  close(inPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::map<std::string, std::string> PreloadEnvironment(const std::string& library) {
  const char* options = std::getenv("ASAN_OPTIONS");
  return {{"LD_PRELOAD", library},
          {"ASAN_OPTIONS", std::string(options ? options : "") + ":verify_asan_link_order=0"}};
}

std::string FaultInjectionLibrary() {
  const char* lib = std::getenv("FAULTINJECT_LIB");
  if (!lib) throw std::runtime_error("FAULTINJECT_LIB is not set");
  return lib;
}

FaultRun RunWithFault(const std::vector<std::string>& argv, long nth, int error,
                      const std::string& functions, std::map<std::string, std::string> env) {
  ScratchDir scratch;
  const std::string countFile = scratch / "count";
  for (auto& [name, value] : PreloadEnvironment(FaultInjectionLibrary())) env[name] = value;
  env["FAULTINJECT_NTH"] = std::to_string(nth);
  env["FAULTINJECT_ERRNO"] = std::to_string(error);
  env["FAULTINJECT_FUNC"] = functions;
  env["FAULTINJECT_COUNT_FILE"] = countFile;
  FaultRun run;
  run.process = RunProcess(argv, env);
  if (Exists(countFile)) {
    std::istringstream in(ReadFile(countFile));
    in >> run.calls >> run.failed;
  }
  return run;
}

}  // namespace setup::test
