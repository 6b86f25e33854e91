#pragma once
// The report of a run, for programs to read: JSON Lines, one object per kit
// file as the run goes, then one closing object with the outcome. A plan
// writes the same lines with the actions it foresees. The format is stable;
// its number is in every closing line.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/InstallationEngine.h"
#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"

namespace setup {

inline constexpr int kReportFormat = 1;

// What the closing line tells besides the counts, which the report keeps.
struct ReportEnd {
  int exitStatus = 0;
  ErrorCode code = 0;  // the failure's system code; 0 on success
  std::u16string directory;  // the template directory; empty before one was chosen
  std::u16string message;    // the last message shown, if any
  std::optional<uint64_t> freeSpace;  // a plan: free bytes where the files would go
};

class RunReport {
 public:
  enum class Kind { Run, Plan };
  explicit RunReport(Kind kind);
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  // Writes to `path`, which is created or emptied: the error when it cannot be.
  ErrorCode OpenFile(const std::u16string& path);
  // Writes to standard output.
  void OpenStandardOutput();
  bool IsOpen() const { return target_ != Target::None; }

  // One line per kit file, from one thread at a time (the worker's, during
  // a run). `path` is relative to the template directory.
  void AddEntry(std::u16string_view path, FileAction action, uint64_t size);
  // The closing line; then everything is written out and, for a file,
  // flushed to disk. 0 when the whole report was written.
  ErrorCode Finish(const ReportEnd& end);

 private:
  enum class Target { None, File, StandardOutput };
  void WriteOut();

  Kind kind_;
  Target target_ = Target::None;
  ScopedFileHandle file_;
  std::string pending_;
  ErrorCode writeError_ = 0;
  uint64_t counts_[3] = {};
  uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace setup
