#pragma once
// One starter configuration file (orvikstart.cfg) in memory: "key=value" lines,
// keys and values compared without regard to case, everything else literal.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/ErrorCodes.h"

namespace setup {

class TextStream;

// Keys and values are equal when CompareNoCase finds them so. A NUL in either
// text would end that comparison early, so texts holding one are compared
// piece by piece between the NULs: "\0x" is not the empty key.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// The same rule as a value to hash: two texts have equal keys exactly when
// EqualNoCase finds them equal. Made once per text, so that a file of many
// lines is not converted again for every comparison.
std::string CaseFoldedKey(std::u16string_view text);

// A starter file is a few KiB; anything over this is not one, and is neither
// read nor rewritten.
inline constexpr uint64_t kStarterFileSizeLimit = 1024 * 1024;

// SaveStarterFile's failures.
inline constexpr ErrorCode kStarterCannotOpen = 1;   // no file to write into
inline constexpr ErrorCode kStarterCannotWrite = 2;  // a line, the flush or the rename failed
// A starter file that exists but could not be read whole is left alone.
inline constexpr ErrorCode kStarterCannotRead = kErrorReadFault;
// So is one that is no text file to rewrite: not a regular file, over the
// size limit, or not decodable in its encoding.
inline constexpr ErrorCode kStarterNotRewritten = kErrorInvalidData;

class StarterConfiguration {
 public:
  struct Entry {
    std::u16string key;                 // in the case it was first added
    std::vector<std::u16string> values;  // unique without regard to case, in order
  };

  // Appends `value` to the entry of `key` (case ignored), or to a new entry at
  // the end; a value the entry already holds in any letter case is dropped.
  void AddValue(std::u16string_view key, std::u16string_view value);
  // The values of `key` (case ignored), in order; none when the key is absent.
  std::vector<std::u16string> ValuesOf(std::u16string_view key) const;
  // Replaces the values of `key`; an existing entry keeps its place and the
  // case of its key, a missing one is appended.
  void SetValues(std::u16string_view key, std::vector<std::u16string> values);

  const std::vector<Entry>& Entries() const { return entries_; }
  bool Empty() const { return entries_.empty(); }

 private:
  // The index of the entry of `key` in entries_, or npos.
  size_t Find(std::u16string_view key) const;
  size_t Append(std::u16string_view key);
  void IndexValues(size_t entry);

  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> keys_;            // folded key -> entry
  std::vector<std::unordered_set<std::string>> valueKeys_;  // folded values of each entry
};

// Cuts text into "key=value" lines and adds each pair. The text may arrive in
// pieces that split a line anywhere; Finish() completes the last line.
class StarterParser {
 public:
  explicit StarterParser(StarterConfiguration& configuration) : configuration_(configuration) {}
  void Feed(std::u16string_view text);
  void Finish();

 private:
  void EndLine();

  StarterConfiguration& configuration_;
  std::u16string key_;
  std::u16string value_;
  bool inValue_ = false;
};

// Adds the pairs of `text` (LF line ends) to `configuration`.
void ParseStarterText(std::u16string_view text, StarterConfiguration& configuration);
// Reads an open text stream to its end and adds its pairs. False when a read
// error cut it short, or a termination signal came (TerminationRequested):
// the lines complete by then are added, the cut one is not.
bool LoadStarterStream(TextStream& stream, StarterConfiguration& configuration);

// What LoadStarterFile found. Only a file read whole and decoded may be
// written back: a rewrite from anything less would drop or garble the
// user's other settings.
enum class StarterRead {
  Whole,        // read to its end
  Missing,      // nothing at the path (or no path): contributes nothing
  Incomplete,   // there, but it could not be opened, a read failed part-way, or a signal came
  Refused,      // not a regular file (a folder, a FIFO, a device, a link to one) or over
                // kStarterFileSizeLimit: never opened in a way that could wait, contributes nothing
  Undecodable,  // read to its end, but some bytes did not decode: contributes what did
};
// Adds the pairs of the file at `path`. A missing file, or one that cannot be
// opened, adds nothing.
StarterRead LoadStarterFile(const std::u16string& path, StarterConfiguration& configuration);

// The file's text: one "key=value" line per value, each ended by LF.
std::u16string FormatStarterText(const StarterConfiguration& configuration);
// Replaces the file at `path` with the configuration, atomically: the text goes
// to a new file beside it, which takes the old one's name only once it is
// complete and on disk. A failure leaves the old file as it was and no new
// file behind. 0, kStarterCannotOpen (the file may not be written, or
// something other than a file stands there) or kStarterCannotWrite.
ErrorCode SaveStarterFile(const StarterConfiguration& configuration, const std::u16string& path);

}  // namespace setup
