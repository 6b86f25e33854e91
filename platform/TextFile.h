#pragma once
// Text files: read with byte-order-mark detection in pieces, written in the
// multibyte encoding. Line ends are a single LF in memory; a CR directly before
// an LF is dropped when reading.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace setup {

enum class TextEncoding { MultiByte, Utf8, Utf16LE };

class TextStream;
using TextStreamPtr = std::unique_ptr<TextStream>;
TextStreamPtr OpenTextForReading(const std::u16string& path);

class TextStream {
 public:
  explicit TextStream(std::FILE* file, TextEncoding encoding, bool byteOrderMark);
  ~TextStream();
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  bool HasByteOrderMark() const { return byteOrderMark_; }
  TextEncoding Encoding() const { return encoding_; }

  // Next piece of text; empty at the end of the file or on a read error.
  std::u16string Read();
  // A read error was met: the text read so far is not the whole file, and it
  // may end in the middle of a line.
  bool Failed() const { return failed_; }
  bool Write(std::u16string_view text);
  // Flushes buffered data; false when the data could not be written.
  bool Close();
  int Descriptor() const;

 private:
  friend TextStreamPtr OpenTextForReading(const std::u16string& path);

  std::FILE* file_;
  TextEncoding encoding_;
  bool byteOrderMark_;
  bool endOfFile_ = false;
  bool failed_ = false;
  std::string pending_;    // bytes of a character split between two pieces
  bool pendingCR_ = false;  // a CR at the end of a piece, waiting for its LF
};

// Pieces are at most this large: 2048 UTF-16 units with a mark, 1024 bytes without.
inline constexpr size_t kTextUnitsPerPiece = 2048;
inline constexpr size_t kTextBytesPerPiece = 1024;

// No stream when the file cannot be opened; errno then tells why (ENOENT:
// nothing stands at the path). A file that opens but cannot be read (a
// directory, say) gives a stream that has Failed() and reads as empty.
TextStreamPtr OpenTextForReading(const std::u16string& path);
std::u16string ReadText(TextStream& stream);
// The file is created, or emptied when it exists. Linux writes the multibyte
// encoding whatever is asked, without a mark.
TextStreamPtr OpenTextForWriting(const std::u16string& path, TextEncoding encoding);
bool WriteText(TextStream& stream, std::u16string_view text);
bool CloseText(TextStreamPtr stream);

enum class ReplaceResult { Replaced, CannotOpen, CannotWrite };
// Replaces the text file at `path` as a whole: `write` fills a new file
// beside it (in the multibyte encoding, LF line ends), which takes the old
// one's name, permission bits and owner only once it is complete and on disk.
// Any failure leaves the old file untouched and no temporary behind. A
// symbolic link is written through, so a file kept elsewhere stays there; a
// link to nothing yet gets its file created where it points. CannotOpen when
// an existing file may not be opened for writing, when something other than a
// regular file stands there, or when no new file can be made beside it.
ReplaceResult ReplaceTextFile(const std::u16string& path, const std::function<bool(TextStream&)>& write);

}  // namespace setup
