// Starter configuration files. Reading takes every line literally; writing
// replaces the file through a sibling temporary so that a full disk or a crash
// never leaves the user with half a configuration.
#include "core/StarterConfiguration.h"

#include <cstdio>
#include <memory>

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

StarterConfiguration::Entry* StarterConfiguration::Find(std::u16string_view key) {
  for (Entry& entry : entries_) {
    if (EqualNoCase(entry.key, key)) return &entry;
  }
  return nullptr;
}

const StarterConfiguration::Entry* StarterConfiguration::Find(std::u16string_view key) const {
  return const_cast<StarterConfiguration*>(this)->Find(key);
}

void StarterConfiguration::AddValue(std::u16string_view key, std::u16string_view value) {
  Entry* entry = Find(key);
  if (!entry) {
    entries_.push_back(Entry{std::u16string(key), {}});
    entry = &entries_.back();
  }
  for (const std::u16string& held : entry->values) {
    if (EqualNoCase(held, value)) return;
  }
  entry->values.emplace_back(value);
}

std::vector<std::u16string> StarterConfiguration::ValuesOf(std::u16string_view key) const {
  const Entry* entry = Find(key);
  return entry ? entry->values : std::vector<std::u16string>{};
}

void StarterConfiguration::SetValues(std::u16string_view key, std::vector<std::u16string> values) {
  if (Entry* entry = Find(key)) {
    entry->values = std::move(values);
  } else {
    entries_.push_back(Entry{std::u16string(key), std::move(values)});
  }
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
  if (const ErrorCode code = OpenTextForReading(path, stream)) {
    // A dangling link counts as missing too: writing creates the file it names.
    return code == kErrorFileNotFound || code == kErrorPathNotFound ? StarterRead::Missing : StarterRead::Incomplete;
  }
  return LoadStarterStream(*stream, configuration) ? StarterRead::Whole : StarterRead::Incomplete;
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
