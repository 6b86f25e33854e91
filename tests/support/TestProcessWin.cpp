// Child processes for the Windows tests: CreateProcessW with its standard
// handles on pipes.
#include <windows.h>

#include <cwchar>
#include <map>
#include <thread>

#include "TestSupport.h"
#include "platform/Text.h"

namespace setup::test {
namespace {

std::wstring W(const std::string& utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

// Quoted so that the C runtime (and CommandLineToArgvW) gives `argument`
// back: backslashes count only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& argument) {
  if (!line.empty()) line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

struct NoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

// Ours with `env` applied; names are compared without regard to case, as
// Windows compares them.
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& env) {
  std::map<std::wstring, std::wstring, NoCase> merged;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
    const std::wstring_view text(entry);
    // Names such as "=C:" begin with "=".
    const size_t equals = text.find(L'=', 1);
    if (equals != std::wstring_view::npos) merged[std::wstring(text.substr(0, equals))] = text.substr(equals + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : env) {
    if (value.empty()) merged.erase(W(name));
    else merged[W(name)] = W(value);
  }
  std::wstring result;
  for (const auto& [name, value] : merged) {
    result += name;
    result += L'=';
    result += value;
    result += L'\0';
  }
  result += L'\0';
  return result;
}

// One end of a pipe to the child; the other end is inherited by the child
// and closed here once it has started.
struct Pipe {
  HANDLE ours = nullptr;
  HANDLE theirs = nullptr;

  // `childReads`: the child reads from the pipe (its standard input).
  bool Make(bool childReads) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherited, 0)) return false;
    ours = childReads ? write : read;
    theirs = childReads ? read : write;
    return SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0) != FALSE;
  }
  void CloseTheirs() {
    if (theirs) CloseHandle(theirs);
    theirs = nullptr;
  }
  void CloseOurs() {
    if (ours) CloseHandle(ours);
    ours = nullptr;
  }
  ~Pipe() {
    CloseTheirs();
    CloseOurs();
  }
};

// Everything up to the end of the pipe.
std::string Drain(HANDLE pipe) {
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return data;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::string& input, const std::string& cwd) {
  ProcessResult result;
  Pipe in, out, err;
  if (!in.Make(true) || !out.Make(false) || !err.Make(false)) {
    result.err = "cannot make the pipes for " + argv.at(0);
    return result;
  }
  std::wstring line;
  for (const std::string& argument : argv) AppendQuoted(line, W(argument));
  std::wstring environment = EnvironmentBlock(env);
  const std::wstring directory = W(cwd);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.theirs;
  startup.hStdOutput = out.theirs;
  startup.hStdError = err.theirs;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(W(argv.at(0)).c_str(), line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                      cwd.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    result.err = "cannot start " + argv[0] + ": error " + std::to_string(GetLastError());
    return result;
  }
  in.CloseTheirs();
  out.CloseTheirs();
  err.CloseTheirs();
  // Input and both outputs move at once, so that no full pipe can stop the
  // child while another is being waited on.
  std::thread feeder([&] {
    DWORD written = 0;
    if (!input.empty()) ::WriteFile(in.ours, input.data(), DWORD(input.size()), &written, nullptr);
    in.CloseOurs();
  });
  std::thread errors([&] { result.err = Drain(err.ours); });
  result.out = Drain(out.ours);
  errors.join();
  feeder.join();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.status = int(status);
  return result;
}

}  // namespace setup::test
