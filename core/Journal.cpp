#include "core/Journal.h"

#include <cstring>

#include "platform/FileLock.h"

namespace setup {
namespace {

constexpr char kMagic[8] = {'v', '8', 's', 't', 'p', 'J', '1', '\n'};
// kind, length in code units, the units, a checksum.
constexpr size_t kRecordOverhead = 1 + 4 + 4;
// Intentions are written in pieces of about this size.
constexpr size_t kIntentionPiece = 65536;
// No path comes near this; a larger length is damage.
constexpr uint32_t kMaxRecordUnits = 1u << 20;

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetU32(const uint8_t* in) {
  return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

// FNV-1a: a record torn by a crash or a power loss must not pass as whole.
uint32_t Checksum(const uint8_t* data, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash;
}

bool IsKnownKind(uint8_t kind) {
  switch (static_cast<JournalRecord>(kind)) {
    case JournalRecord::Target:
    case JournalRecord::Directory:
    case JournalRecord::Moved:
    case JournalRecord::NewFile:
    case JournalRecord::NotMade:
    case JournalRecord::Done:
    case JournalRecord::IntendFile:
    case JournalRecord::IntendFolder:
    case JournalRecord::IntendTargetLevel:
      return true;
  }
  return false;
}

ErrorCode WriteAll(FileHandle handle, const std::vector<uint8_t>& bytes) {
  uint32_t written = 0;
  return WriteToFile(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), written);
}

}  // namespace

void JournalContents::Apply(JournalRecord kind, std::u16string path) {
  switch (kind) {
    case JournalRecord::Target:
      targetDirectory = std::move(path);
      break;
    case JournalRecord::Done:
      done = true;
      break;
    case JournalRecord::NotMade:
      // Nearly always the last entry: it names the change just tried.
      for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->path == path) {
          entries.erase(std::next(entry).base());
          break;
        }
      }
      // Nor is what stands there one of the things the run meant to make.
      for (auto intended = intentions.begin(); intended != intentions.end(); ++intended) {
        const bool absolute = intended->kind == JournalRecord::IntendTargetLevel;
        if ((absolute ? intended->path : targetDirectory + intended->path) == path) {
          intentions.erase(intended);
          break;
        }
      }
      break;
    case JournalRecord::IntendFile:
    case JournalRecord::IntendFolder:
    case JournalRecord::IntendTargetLevel:
      intentions.push_back({kind, std::move(path)});
      break;
    default:
      entries.push_back({kind, std::move(path)});
  }
}

ErrorCode Journal::Begin(const std::u16string& workspace, const std::u16string& targetDirectory) {
  path_ = EnsureTrailingSeparator(workspace) + kJournalFileName;
  if (const ErrorCode code = CreateLockedFile(path_, handle_)) {
    path_.clear();
    return code;
  }
  // Not flushed yet: nothing is changed before the intentions are, with it.
  intentions_.clear();
  intended_ = false;
  durable_ = false;
  record_.assign(kMagic, kMagic + sizeof kMagic);
  ErrorCode code = WriteAll(handle_.Get(), record_);
  if (!code) code = Append(JournalRecord::Target, targetDirectory);
  if (code) {
    Remove();
    return code;
  }
  contents_ = {};
  contents_.targetDirectory = targetDirectory;
  return code;
}

ErrorCode Journal::Record(JournalRecord kind, const std::u16string& path) {
  if (!Active()) return kErrorSuccess;
  if (const ErrorCode code = Append(kind, path)) return code;
  const bool change = kind == JournalRecord::Directory || kind == JournalRecord::Moved || kind == JournalRecord::NewFile;
  if (change && !durable_) {
    if (const ErrorCode code = FlushFileHandle(handle_.Get())) return code;
    durable_ = true;
  }
  contents_.Apply(kind, path);
  return kErrorSuccess;
}

ErrorCode Journal::Intend(JournalRecord kind, const std::u16string& path) {
  if (!Active()) return kErrorSuccess;
  Encode(kind, path);
  intended_ = true;
  intentions_.insert(intentions_.end(), record_.begin(), record_.end());
  if (intentions_.size() < kIntentionPiece) return kErrorSuccess;
  const ErrorCode code = WriteAll(handle_.Get(), intentions_);
  intentions_.clear();
  return code;
}

ErrorCode Journal::CommitIntentions() {
  if (!Active()) return kErrorSuccess;
  ErrorCode code = intentions_.empty() ? kErrorSuccess : WriteAll(handle_.Get(), intentions_);
  intentions_.clear();
  intentions_.shrink_to_fit();
  if (!code && intended_) {
    code = FlushFileHandle(handle_.Get());
    durable_ = code == 0;
  }
  return code;
}

ErrorCode Journal::MarkDone() {
  if (!Active()) return kErrorSuccess;
  const int64_t end = SeekFile(handle_.Get(), 0, kSeekCurrent);
  if (end < 0) return GetLastErrorCode();
  ErrorCode code = Append(JournalRecord::Done, {});
  // Nothing that a later start would have to undo was ever on the disk.
  if (!durable_) return code;
  if (!code) code = FlushFileHandle(handle_.Get());
  // A failed run rolls back next; a "done" left in the journal would tell a
  // start after a crash in that rollback to keep a half-restored tree.
  if (code && (SeekFile(handle_.Get(), end, kSeekBegin) < 0 || TruncateFileHere(handle_.Get()) != 0)) Remove();
  return code;
}

ErrorCode Journal::Remove() {
  if (path_.empty()) return kErrorSuccess;
  const ErrorCode code = DeleteLockedFile(path_, handle_);
  if (code == 0) path_.clear();
  return code;
}

ErrorCode Journal::Append(JournalRecord kind, const std::u16string& text) {
  Encode(kind, text);
  return WriteAll(handle_.Get(), record_);
}

void Journal::Encode(JournalRecord kind, const std::u16string& text) {
  record_.clear();
  record_.push_back(static_cast<uint8_t>(kind));
  PutU32(record_, static_cast<uint32_t>(text.size()));
  for (char16_t unit : text) {
    record_.push_back(static_cast<uint8_t>(unit));
    record_.push_back(static_cast<uint8_t>(unit >> 8));
  }
  PutU32(record_, Checksum(record_.data(), record_.size()));
}

ErrorCode ReadJournal(FileHandle handle, JournalContents& contents) {
  contents = {};
  if (SeekFile(handle, 0, kSeekBegin) < 0) return GetLastErrorCode();
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (;;) {
    uint32_t got = 0;
    if (const ErrorCode code = ReadFromFile(handle, chunk, sizeof chunk, got)) return code;
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    // A journal cut before its first bytes reached the disk says nothing.
    return bytes.empty() ? kErrorSuccess : kErrorInvalidData;
  }
  for (size_t at = sizeof kMagic; bytes.size() - at >= kRecordOverhead;) {
    const uint8_t* record = bytes.data() + at;
    const uint32_t units = GetU32(record + 1);
    if (!IsKnownKind(record[0]) || units > kMaxRecordUnits) break;
    const size_t size = kRecordOverhead + size_t(units) * 2;
    if (bytes.size() - at < size || GetU32(record + size - 4) != Checksum(record, size - 4)) break;
    std::u16string text(units, u'\0');
    for (uint32_t i = 0; i < units; ++i) text[i] = char16_t(record[5 + 2 * i] | record[6 + 2 * i] << 8);
    contents.Apply(static_cast<JournalRecord>(record[0]), std::move(text));
    at += size;
  }
  return kErrorSuccess;
}

}  // namespace setup
