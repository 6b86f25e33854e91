// Starter configuration files. Reading takes every line literally; writing
// replaces the file through a sibling temporary so that a full disk or a crash
// never leaves the user with half a configuration.
#include "core/StarterConfiguration.h"

#include <cstdio>
#include <memory>

#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace setup {

// --- in memory -------------------------------------------------------------

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  for (;;) {
    const size_t endA = a.find(u'\0'), endB = b.find(u'\0');
    if (CompareNoCase(a.substr(0, endA), b.substr(0, endB)) != 0) return false;
    if (endA == std::u16string_view::npos || endB == std::u16string_view::npos) return endA == endB;
    a.remove_prefix(endA + 1);
    b.remove_prefix(endB + 1);
  }
}

std::string CaseFoldedKey(std::u16string_view text) {
  // Piece by piece between the NULs, as EqualNoCase compares; each piece's
  // length goes first, so that no two lists of pieces give the same key.
  std::string key;
  for (;;) {
    const size_t end = text.find(u'\0');
    const std::string piece = FoldCase(text.substr(0, end));
    const uint64_t size = piece.size();
    key.append(reinterpret_cast<const char*>(&size), sizeof size);
    key += piece;
    if (end == std::u16string_view::npos) return key;
    text.remove_prefix(end + 1);
  }
}

size_t StarterConfiguration::Find(std::u16string_view key) const {
  const auto found = keys_.find(CaseFoldedKey(key));
  return found == keys_.end() ? std::string::npos : found->second;
}

size_t StarterConfiguration::Append(std::u16string_view key) {
  entries_.push_back(Entry{std::u16string(key), {}});
  valueKeys_.emplace_back();
  keys_.emplace(CaseFoldedKey(key), entries_.size() - 1);
  return entries_.size() - 1;
}

void StarterConfiguration::IndexValues(size_t entry) {
  valueKeys_[entry].clear();
  for (const std::u16string& value : entries_[entry].values) valueKeys_[entry].insert(CaseFoldedKey(value));
}

void StarterConfiguration::AddValue(std::u16string_view key, std::u16string_view value) {
  size_t entry = Find(key);
  if (entry == std::string::npos) entry = Append(key);
  if (!valueKeys_[entry].insert(CaseFoldedKey(value)).second) return;
  entries_[entry].values.emplace_back(value);
}

std::vector<std::u16string> StarterConfiguration::ValuesOf(std::u16string_view key) const {
  const size_t entry = Find(key);
  return entry == std::string::npos ? std::vector<std::u16string>{} : entries_[entry].values;
}

void StarterConfiguration::SetValues(std::u16string_view key, std::vector<std::u16string> values) {
  size_t entry = Find(key);
  if (entry == std::string::npos) entry = Append(key);
  entries_[entry].values = std::move(values);
  IndexValues(entry);
}

// --- reading ---------------------------------------------------------------

void StarterParser::Feed(std::u16string_view text) {
  for (const char16_t c : text) {
    if (c == u'\n') {
      EndLine();
    } else if (!inValue_ && c == u'=') {
      inValue_ = true;  // only the first "=" splits; later ones are value text
    } else {
      (inValue_ ? value_ : key_).push_back(c);
    }
  }
}

void StarterParser::Finish() { EndLine(); }

void StarterParser::EndLine() {
  // An empty line and a lone "=" carry nothing.
  if (!key_.empty() || !value_.empty()) configuration_.AddValue(key_, value_);
  key_.clear();
  value_.clear();
  inValue_ = false;
}

void ParseStarterText(std::u16string_view text, StarterConfiguration& configuration) {
  StarterParser parser(configuration);
  parser.Feed(text);
  parser.Finish();
}

bool LoadStarterStream(TextStream& stream, StarterConfiguration& configuration) {
  StarterParser parser(configuration);
  for (std::u16string piece = ReadText(stream); !piece.empty(); piece = ReadText(stream)) {
    // Start-up must end promptly on a signal, however long the file.
    if (TerminationRequested()) return false;
    parser.Feed(piece);
  }
  // A line cut by a read error is not the line the file holds.
  if (stream.Failed()) return false;
  parser.Finish();
  return true;
}

StarterRead LoadStarterFile(const std::u16string& path, StarterConfiguration& configuration) {
  if (path.empty()) return StarterRead::Missing;
  TextStreamPtr stream;
  if (const ErrorCode code = OpenTextForReading(path, stream, kStarterFileSizeLimit)) {
    // A dangling link counts as missing too: writing creates the file it names.
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) return StarterRead::Missing;
    return code == kErrorBadFileType || code == kErrorFileTooLarge ? StarterRead::Refused : StarterRead::Incomplete;
  }
  if (!LoadStarterStream(*stream, configuration)) return StarterRead::Incomplete;
  return stream->Undecodable() ? StarterRead::Undecodable : StarterRead::Whole;
}

// --- writing ---------------------------------------------------------------

namespace {

std::u16string FormatLine(const std::u16string& key, const std::u16string& value) {
  std::u16string line;
  line.reserve(key.size() + value.size() + 2);
  line += key;
  line += u'=';
  line += value;
  line += u'\n';
  return line;
}

}  // namespace

std::u16string FormatStarterText(const StarterConfiguration& configuration) {
  std::u16string text;
  for (const StarterConfiguration::Entry& entry : configuration.Entries()) {
    for (const std::u16string& value : entry.values) text += FormatLine(entry.key, value);
  }
  return text;
}

ErrorCode SaveStarterFile(const StarterConfiguration& configuration, const std::u16string& path) {
  if (path.empty()) return kStarterCannotOpen;
  // The old file stays whole until the new one is complete and on disk.
  const ReplaceResult result = ReplaceTextFile(path, [&](TextStream& stream) {
    for (const StarterConfiguration::Entry& entry : configuration.Entries()) {
      for (const std::u16string& value : entry.values) {
        if (!WriteText(stream, FormatLine(entry.key, value))) return false;
      }
    }
    return true;
  });
  switch (result) {
    case ReplaceResult::Replaced: return kErrorSuccess;
    case ReplaceResult::CannotOpen: return kStarterCannotOpen;
    default: return kStarterCannotWrite;
  }
}

}  // namespace setup
