#include "GuiHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace setup::guitest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Environment(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : env) {
    if (value.empty()) {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> strings;
  for (const auto& [name, value] : merged) strings.push_back(name + "=" + value);
  return strings;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

int DecodeStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

ToolResult RunTool(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   double seconds) {
  ToolResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  std::vector<std::string> envStrings = Environment(env), args = argv;
  std::vector<char*> envp = Pointers(envStrings), argp = Pointers(args);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return result;
  }
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  bool killed = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 200))) > 0) {
      char buffer[4096];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      result.out.append(buffer, static_cast<size_t>(n));
    }
  }
  close(out[0]);
  int status = 0;
  // The output has ended; the tool may still take a moment to exit.
  for (int i = 0; i < 500 && !killed; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.status = DecodeStatus(status);
      return result;
    }
    if (Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  result.status = -1;
  return result;
}

bool Child::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  const std::string& cwd, const std::string& outFile) {
  Kill();
  std::vector<std::string> envStrings = Environment(env), args = argv;
  std::vector<char*> envp = Pointers(envStrings), argp = Pointers(args);
  const std::string out = outFile.empty() ? "/dev/null" : outFile;
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Dies with the test, even when the test is killed by a timeout and
    // never reaches a destructor: no Xvfb or setup is left behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int output = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || output < 0 || dup2(in, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) _exit(127);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    execvpe(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  status_ = -1;
  return true;
}

int Child::Wait(double seconds) {
  if (pid_ < 0) return status_;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = DecodeStatus(status);
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Kill();
  return -1;
}

bool Child::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    status_ = DecodeStatus(status);
    return false;
  }
  return true;
}

void Child::Kill() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = -1;
}

XServer::~XServer() {
  windowManager_.Kill();
  xvfb_.Kill();
}

bool XServer::Start(std::string& error) {
  const std::string xvfb = FindProgram("Xvfb");
  if (xvfb.empty()) {
    error = "Xvfb is not installed (Debian package xvfb)";
    return false;
  }
  // Xvfb picks a free display itself and writes its number into the pipe
  // once it accepts connections.
  int ready[2];
  if (pipe(ready) != 0) {
    error = "pipe failed";
    return false;
  }
  fcntl(ready[0], F_SETFD, FD_CLOEXEC);
  const int fd = ready[1];
  if (!xvfb_.Start({xvfb, "-displayfd", std::to_string(fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                    "-noreset"},
                   {})) {
    close(ready[0]);
    close(ready[1]);
    error = "Xvfb could not be started";
    return false;
  }
  close(ready[1]);
  std::string number;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
    pollfd p{ready[0], POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      char buffer[32];
      const ssize_t n = read(ready[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<size_t>(n));
    }
  }
  close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    xvfb_.Kill();
    error = "Xvfb did not report a display within 30 s";
    return false;
  }
  display_ = ":" + number.substr(0, number.find('\n'));
  return true;
}

bool XServer::StartWindowManager(std::string& error) {
  const std::string openbox = FindProgram("openbox");
  if (openbox.empty()) {
    error = "openbox is not installed (Debian package openbox)";
    return false;
  }
  if (!windowManager_.Start({openbox, "--sm-disable"}, {{"DISPLAY", display_}})) {
    error = "openbox could not be started";
    return false;
  }
  // The manager is up once it has claimed the screen's selection.
  for (int i = 0; i < 100; ++i) {
    const ToolResult owner = RunTool({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, {{"DISPLAY", display_}}, 5);
    if (owner.status == 0 && owner.out.find("window id") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  error = "openbox did not take the screen within 10 s";
  return false;
}

std::vector<std::string> UiTraceFile::Lines() const {
  std::vector<std::string> lines;
  std::ifstream in(path_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int UiTraceFile::Find(const std::string& prefix, size_t from) const {
  const std::vector<std::string> lines = Lines();
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  }
  return -1;
}

int UiTraceFile::WaitFor(const std::string& prefix, double seconds, size_t from) const {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const int found = Find(prefix, from);
    if (found >= 0 || Clock::now() > deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string WaitForFile(const std::string& path, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  struct stat info;
  while (stat(path.c_str(), &info) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return "(never written)";
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

double ThreadCpuSeconds(pid_t pid, pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The name in parentheses may hold blanks; count the fields after it.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> values;
  for (std::string value; fields >> value;) values.push_back(value);
  // utime and stime are fields 14 and 15 of the whole line, 12 and 13 here.
  if (values.size() < 13) return -1;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(values[11]) + std::stod(values[12])) / ticks;
}

}  // namespace setup::guitest
