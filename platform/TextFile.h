#pragma once
// Text files: read with byte-order-mark detection in pieces, written in a
// chosen encoding. Line ends are a single LF in memory; a CR directly before
// an LF is dropped when reading, and an LF is written as the stream's line end.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ErrorCodes.h"
#include "platform/FileOps.h"
#include "platform/Path.h"

namespace setup {

enum class TextEncoding { MultiByte, Utf8, Utf16LE };
enum class LineEnds { Lf, CrLf };
// What the platform's own text files use.
inline constexpr LineEnds kNativeLineEnds = kNativePathStyle == PathStyle::Windows ? LineEnds::CrLf : LineEnds::Lf;

// What OpenTextForReading refuses to open: something other than a regular
// file (a folder, a FIFO, a device, also behind a link), or a file larger
// than the caller takes. The numbers are Windows' own for the two cases.
inline constexpr ErrorCode kErrorBadFileType = 222;
inline constexpr ErrorCode kErrorFileTooLarge = 223;

// Pieces are at most this large: 2048 UTF-16 units with a mark, 1024 bytes without.
inline constexpr size_t kTextUnitsPerPiece = 2048;
inline constexpr size_t kTextBytesPerPiece = 1024;

class TextStream {
 public:
  // Takes over the open `handle`. `byteOrderMark` says a mark was consumed
  // (reading) or is to be written first (writing a Unicode encoding).
  TextStream(FileHandle handle, TextEncoding encoding, bool byteOrderMark, LineEnds lineEnds = kNativeLineEnds);
  ~TextStream();
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  bool HasByteOrderMark() const;
  TextEncoding Encoding() const;

  // Next piece of text; empty at the end of the file or on a read error.
  std::u16string Read();
  // A read error was met: the text read so far is not the whole file, and it
  // may end in the middle of a line. A file that grew past the size it was
  // opened with counts as such an error.
  bool Failed() const;
  // Some bytes did not decode in the stream's encoding and stand in the text
  // as U+FFFD: bytes the encoding does not allow, a NUL in a byte encoding
  // (the mark of a UTF-16 file without its mark), an unpaired surrogate or a
  // stray last byte in UTF-16. Such text is not what the file says.
  bool Undecodable() const;
  bool Write(std::u16string_view text);
  // Some of the text written was not carried by the multibyte encoding as it
  // is (it stands there as a stand-in character).
  bool Lossy() const;
  // Writes what is buffered and closes; false when any of the text could not
  // be written.
  bool Close();
  // Writes what is buffered and makes it durable; false on failure.
  bool Flush(bool durable);

 private:
  friend ErrorCode OpenTextForReading(const std::u16string& path, std::unique_ptr<TextStream>& stream,
                                      uint64_t maxBytes);
  struct State;
  std::unique_ptr<State> state_;
};
using TextStreamPtr = std::unique_ptr<TextStream>;

// 0 and a stream, or the system's code when the file cannot be opened (2 or
// 3: nothing stands at the path). Only a regular file is opened, and the open
// itself never waits (a FIFO without a writer included): anything else gives
// kErrorBadFileType, a file over `maxBytes` kErrorFileTooLarge, both decided
// on what was opened, not on a look before. A file that opens but cannot be
// read gives a stream that has Failed() and reads as empty.
ErrorCode OpenTextForReading(const std::u16string& path, TextStreamPtr& stream, uint64_t maxBytes = UINT64_MAX);
// The platform's half of that open: a handle to a regular file of at most
// `maxBytes`, or the code.
ErrorCode OpenRegularFileForReading(const std::u16string& path, uint64_t maxBytes, FileHandle& handle);
// Whether the regular files at `a` and `b` hold the same bytes; false when
// either cannot be read, or is longer than a text file this program writes
// (1 MiB). Sizes are compared first, so files that differ in length are not
// opened.
bool SameFileBytes(const std::u16string& a, const std::u16string& b);
std::u16string ReadText(TextStream& stream);
// The file is created, or emptied when it exists. A Unicode encoding starts
// with its byte-order mark.
TextStreamPtr OpenTextForWriting(const std::u16string& path, TextEncoding encoding,
                                 LineEnds lineEnds = kNativeLineEnds);
bool WriteText(TextStream& stream, std::u16string_view text);
bool CloseText(TextStreamPtr stream);

enum class ReplaceResult { Replaced, CannotOpen, CannotWrite };
// Replaces the text file at `path` as a whole: `write` fills a new file beside
// it, which takes the old one's name only once it is complete and on disk. The
// platform chooses the encoding of the new file (Linux: the locale's, LF line
// ends; Windows: the ANSI code page when the old file had no byte-order mark,
// otherwise UTF-16LE with a mark, CR LF line ends). Any failure leaves the old
// file untouched and no temporary behind. A symbolic link is written through,
// so a file kept elsewhere stays there; a link to nothing yet gets its file
// created where it points. A file that already holds exactly the bytes the
// new one would is left as it is (Replaced). CannotOpen when an existing file may not be opened
// for writing, when something other than a regular file stands there, or when
// no new file can be made beside it.
ReplaceResult ReplaceTextFile(const std::u16string& path, const std::function<bool(TextStream&)>& write);

}  // namespace setup
