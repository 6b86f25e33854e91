#pragma once
// What the GUI tests need to drive the real wizard: a private Xvfb (and, for
// the tests that need one, a window manager on it), tools run with a time
// limit, the setup process itself, and the trace it writes of what it shows.
// Every wait is bounded, and every child is killed when a test ends early.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace setup::guitest {

// The program's full path when it is on PATH, else empty.
std::string FindProgram(const std::string& name);

struct ToolResult {
  int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
  std::string out;
};

// Runs argv (looked up on PATH) with `env` added to ours (an empty value
// removes a variable); kills it after `seconds`.
ToolResult RunTool(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                   double seconds = 20);

// A child started without waiting, killed when the object goes.
class Child {
 public:
  Child() = default;
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Output goes to `outFile` (both streams; /dev/null when empty).
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& cwd = "", const std::string& outFile = "");
  // The exit status (128 + signal when killed by one), or -1 when it was
  // still running after `seconds` and has been killed.
  int Wait(double seconds);
  bool Running();
  void Kill();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// An Xvfb of its own on a free display number.
class XServer {
 public:
  ~XServer();
  // False with a reason when Xvfb cannot be started.
  bool Start(std::string& error);
  // Openbox on the display, for the tests that need a window manager.
  bool StartWindowManager(std::string& error);
  const std::string& Display() const { return display_; }

 private:
  Child xvfb_;
  Child windowManager_;
  std::string display_;
};

// The lines setup writes to SETUP_UI_TRACE.
class UiTraceFile {
 public:
  explicit UiTraceFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }
  std::vector<std::string> Lines() const;
  // Index of the first line at or after `from` that starts with `prefix`,
  // waiting up to `seconds`; -1 when none came.
  int WaitFor(const std::string& prefix, double seconds = 20, size_t from = 0) const;
  // Index of the first such line already written, or -1.
  int Find(const std::string& prefix, size_t from = 0) const;

 private:
  std::string path_;
};

// The contents of a file another process writes whole (by rename), waiting
// up to `seconds` for it to appear; "(never written)" when it does not.
std::string WaitForFile(const std::string& path, double seconds = 10);

// CPU time (user + system) of one thread of a process, in seconds.
double ThreadCpuSeconds(pid_t pid, pid_t tid);

}  // namespace setup::guitest
