#include "core/RunReport.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/Console.h"
#include "platform/Text.h"

namespace setup {
namespace {

using Json = nlohmann::ordered_json;

// Lines are gathered and written in pieces of about this size, so a run of
// many small files does not pay a write per file.
constexpr size_t kWriteSize = 64 * 1024;

const char* ActionWord(RunReport::Kind kind, FileAction action) {
  static const char* const kDone[] = {"created", "replaced", "skipped"};
  static const char* const kPlanned[] = {"create", "replace", "skip"};
  return (kind == RunReport::Kind::Plan ? kPlanned : kDone)[static_cast<int>(action)];
}

Json TextOrNull(const std::u16string& text) { return text.empty() ? Json(nullptr) : Json(Utf16ToUtf8(text)); }

// A pipe or a terminal cannot be cut or flushed to disk, and need not be.
bool Harmless(ErrorCode code) { return code == 0 || code == kErrorInvalidParameter; }

}  // namespace

RunReport::RunReport(Kind kind) : kind_(kind) {}

ErrorCode RunReport::OpenFile(const std::u16string& path) {
  if (path.empty()) return kErrorPathNotFound;
  if (const ErrorCode code = OpenFileHandle(path, kGenericWrite, 0, kCreateAlways, *file_.Out())) return code;
  if (const ErrorCode code = TruncateFileHere(file_.Get()); !Harmless(code)) {
    file_.Reset();
    return code;
  }
  target_ = Target::File;
  return 0;
}

void RunReport::OpenStandardOutput() { target_ = Target::StandardOutput; }

void RunReport::AddEntry(std::u16string_view path, FileAction action, uint64_t size) {
  ++counts_[static_cast<int>(action)];
  if (action != FileAction::Skip) bytes_ += size;
  if (!IsOpen()) return;
  Json line;
  line["path"] = Utf16ToUtf8(path);
  line["action"] = ActionWord(kind_, action);
  line["size"] = size;
  pending_ += line.dump();
  pending_ += '\n';
  if (pending_.size() >= kWriteSize) WriteOut();
}

void RunReport::WriteOut() {
  if (pending_.empty()) return;
  if (writeError_ == 0) {
    if (target_ == Target::StandardOutput) {
      if (!WriteStandard(StandardStream::Output, pending_)) writeError_ = kErrorCannotWrite;
    } else {
      uint32_t written = 0;
      writeError_ = WriteToFile(file_.Get(), pending_.data(), static_cast<uint32_t>(pending_.size()), written);
    }
  }
  pending_.clear();
}

ErrorCode RunReport::Finish(const ReportEnd& end) {
  if (!IsOpen()) return 0;
  const bool plan = kind_ == Kind::Plan;
  Json counts;
  for (FileAction action : {FileAction::Create, FileAction::Replace, FileAction::Skip}) {
    counts[ActionWord(kind_, action)] = counts_[static_cast<int>(action)];
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  Json line;
  line["format"] = kReportFormat;
  line["plan"] = plan;
  line["exit"] = end.exitStatus;
  line["result"] = end.code;
  line["directory"] = TextOrNull(end.directory);
  line["counts"] = std::move(counts);
  line["bytes"] = bytes_;
  if (plan) line["free"] = end.freeSpace ? Json(*end.freeSpace) : Json(nullptr);
  line["seconds"] = std::round(elapsed.count() * 1000) / 1000;
  line["message"] = TextOrNull(end.message);
  pending_ += line.dump();
  pending_ += '\n';
  WriteOut();
  if (target_ == Target::File) {
    if (const ErrorCode code = FlushFileHandle(file_.Get()); writeError_ == 0 && !Harmless(code)) writeError_ = code;
    file_.Reset();
  }
  target_ = Target::None;
  return writeError_;
}

}  // namespace setup
