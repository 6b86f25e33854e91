// Text streams over the file layer's handles. The decoding is the same on
// every platform: the byte-order marks are recognised here, and a character
// split between two pieces is carried over to the next one.
#include "platform/TextFile.h"

#include <algorithm>

#include "platform/Text.h"

namespace setup {

struct TextStream::State {
  FileHandle handle = kInvalidFileHandle;
  TextEncoding encoding = TextEncoding::MultiByte;
  bool byteOrderMark = false;
  LineEnds lineEnds = LineEnds::Lf;
  bool endOfFile = false;
  bool failed = false;
  bool writeFailed = false;
  bool markWritten = false;
  bool writing = true;  // false for a stream opened for reading
  bool lossy = false;
  bool undecodable = false;
  uint64_t bytesLeft = UINT64_MAX;  // what the file may still give before it has grown
  std::string pending;     // bytes of a character split between two pieces
  bool pendingCR = false;  // a CR at the end of a piece, waiting for its LF
  std::string output;      // encoded text not yet written

  // Reads up to `want` bytes; short only at the end of the file or on an error.
  size_t ReadBytes(char* buffer, size_t want, bool& error) {
    uint32_t got = 0;
    if (ReadFromFile(handle, buffer, static_cast<uint32_t>(want), got) != 0) error = true;
    // A file that grows while it is read is not the file whose size was
    // accepted: stop at the limit and call the rest unread.
    if (got > bytesLeft) {
      error = true;
      got = static_cast<uint32_t>(bytesLeft);
    }
    bytesLeft -= got;
    return got;
  }

  bool WriteOutput() {
    size_t done = 0;
    while (done < output.size()) {
      uint32_t written = 0;
      const uint32_t count = static_cast<uint32_t>(std::min<size_t>(output.size() - done, 1u << 20));
      if (WriteToFile(handle, output.data() + done, count, written) != 0 || written == 0) {
        writeFailed = true;
        break;
      }
      done += written;
    }
    output.clear();
    return !writeFailed;
  }
};

namespace {
constexpr size_t kOutputBuffer = 64 * 1024;
bool IsLeadSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsTrailSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
}  // namespace

TextStream::TextStream(FileHandle handle, TextEncoding encoding, bool byteOrderMark, LineEnds lineEnds)
    : state_(std::make_unique<State>()) {
  state_->handle = handle;
  state_->encoding = encoding;
  state_->byteOrderMark = byteOrderMark;
  state_->lineEnds = lineEnds;
}

TextStream::~TextStream() { Close(); }

bool TextStream::HasByteOrderMark() const { return state_->byteOrderMark; }
TextEncoding TextStream::Encoding() const { return state_->encoding; }
bool TextStream::Failed() const { return state_->failed; }
bool TextStream::Lossy() const { return state_->lossy; }
bool TextStream::Undecodable() const { return state_->undecodable; }

std::u16string TextStream::Read() {
  State& s = *state_;
  std::u16string text;
  if (s.handle == kInvalidFileHandle) return text;
  // A piece can decode to nothing (a held-back CR, say) before the end of the
  // file, so go on until there is text or the file is done.
  while (text.empty() && (!s.endOfFile || !s.pending.empty() || s.pendingCR)) {
    size_t want;
    switch (s.encoding) {
      case TextEncoding::Utf16LE: want = kTextUnitsPerPiece * 2; break;
      // One UTF-8 byte never gives more than one UTF-16 unit.
      case TextEncoding::Utf8: want = kTextUnitsPerPiece; break;
      default: want = kTextBytesPerPiece; break;
    }
    std::string bytes = std::move(s.pending);
    s.pending.clear();
    if (!s.endOfFile && bytes.size() < want) {
      const size_t have = bytes.size();
      bytes.resize(want);
      bool error = false;
      const size_t got = s.ReadBytes(bytes.data() + have, want - have, error);
      bytes.resize(have + got);
      if (error) {
        // Nothing more comes from this file, not even the bytes held back.
        s.failed = s.endOfFile = true;
        s.pending.clear();
        s.pendingCR = false;
        return {};
      }
      if (got < want - have) s.endOfFile = true;
    }

    std::u16string piece;
    if (s.pendingCR) {
      piece.push_back(u'\r');
      s.pendingCR = false;
    }
    size_t used;
    if (s.encoding == TextEncoding::Utf16LE) {
      auto unitAt = [&](size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
      };
      used = bytes.size() & ~size_t{1};
      // A lead surrogate at the end of a piece waits for its partner.
      if (!s.endOfFile && used >= 2 && IsLeadSurrogate(unitAt(used - 2))) used -= 2;
      const size_t start = piece.size();
      for (size_t i = 0; i < used; i += 2) piece.push_back(unitAt(i));
      for (size_t i = start; i < piece.size(); ++i) {
        if (IsLeadSurrogate(piece[i]) && i + 1 < piece.size() && IsTrailSurrogate(piece[i + 1])) {
          ++i;
        } else if (IsLeadSurrogate(piece[i]) || IsTrailSurrogate(piece[i])) {
          s.undecodable = true;
        }
      }
      if (s.endOfFile && used < bytes.size()) {
        piece.push_back(0xFFFD);  // a stray last byte
        s.undecodable = true;
        used = bytes.size();
      }
    } else {
      // A text file in a byte encoding holds no NUL; one that does is most
      // likely UTF-16 that lost its mark, and reads as nonsense here.
      if (bytes.find('\0') != std::string::npos) s.undecodable = true;
      used = s.encoding == TextEncoding::Utf8 ? DecodeUtf8Prefix(bytes, s.endOfFile, piece, &s.undecodable)
                                              : DecodeMultiBytePrefix(bytes, s.endOfFile, piece, &s.undecodable);
    }
    s.pending.assign(bytes, used, std::string::npos);

    if (!piece.empty() && piece.back() == u'\r' && !(s.endOfFile && s.pending.empty())) {
      piece.pop_back();  // its LF may open the next piece
      s.pendingCR = true;
    }
    text.reserve(piece.size());
    for (size_t i = 0; i < piece.size(); ++i) {
      if (piece[i] == u'\r' && i + 1 < piece.size() && piece[i + 1] == u'\n') continue;
      text.push_back(piece[i]);
    }
  }
  return text;
}

bool TextStream::Write(std::u16string_view text) {
  State& s = *state_;
  if (s.handle == kInvalidFileHandle || !s.writing) return false;
  std::u16string lines;
  if (s.lineEnds == LineEnds::CrLf) {
    lines.reserve(text.size() + 8);
    for (char16_t c : text) {
      if (c == u'\n') lines.push_back(u'\r');
      lines.push_back(c);
    }
    text = lines;
  }
  if (!s.markWritten && s.byteOrderMark) {
    if (s.encoding == TextEncoding::Utf16LE) s.output += "\xFF\xFE";
    if (s.encoding == TextEncoding::Utf8) s.output += "\xEF\xBB\xBF";
  }
  s.markWritten = true;
  switch (s.encoding) {
    case TextEncoding::Utf16LE:
      for (char16_t c : text) {
        s.output.push_back(static_cast<char>(c & 0xFF));
        s.output.push_back(static_cast<char>(c >> 8));
      }
      break;
    case TextEncoding::Utf8: s.output += Utf16ToUtf8(text); break;
    case TextEncoding::MultiByte: {
      std::string bytes = WideToMultiByte(text);
      if (!s.lossy && MultiByteToWide(bytes) != text) s.lossy = true;
      s.output += bytes;
      break;
    }
  }
  if (s.output.size() >= kOutputBuffer) return s.WriteOutput();
  return !s.writeFailed;
}

bool TextStream::Flush(bool durable) {
  State& s = *state_;
  if (s.handle == kInvalidFileHandle || !s.writing) return false;
  if (!s.markWritten && s.byteOrderMark) Write(u"");  // an empty Unicode file still has its mark
  if (!s.WriteOutput()) return false;
  return !durable || FlushFileHandle(s.handle) == 0;
}

bool TextStream::Close() {
  State& s = *state_;
  if (s.handle == kInvalidFileHandle) return false;
  const bool flushed = !s.writing || Flush(false);
  CloseFileHandle(s.handle);
  const bool closed = GetLastErrorCode() == 0;
  s.handle = kInvalidFileHandle;
  return flushed && closed;
}

ErrorCode OpenTextForReading(const std::u16string& path, TextStreamPtr& stream, uint64_t maxBytes) {
  stream.reset();
  FileHandle handle = kInvalidFileHandle;
  if (const ErrorCode code = OpenRegularFileForReading(path, maxBytes, handle)) return code;
  stream = std::make_unique<TextStream>(handle, TextEncoding::MultiByte, false);
  TextStream::State& s = *stream->state_;
  s.writing = false;
  s.bytesLeft = maxBytes;
  unsigned char head[3] = {};
  bool error = false;
  const size_t got = s.ReadBytes(reinterpret_cast<char*>(head), sizeof head, error);
  if (error) {
    s.failed = s.endOfFile = true;
    return kErrorSuccess;
  }
  size_t markLength = 0;
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    s.encoding = TextEncoding::Utf16LE;
    markLength = 2;
  } else if (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    s.encoding = TextEncoding::Utf8;
    markLength = 3;
  }
  s.byteOrderMark = markLength != 0;
  // Bytes read past the mark belong to the text.
  s.pending.assign(reinterpret_cast<const char*>(head) + markLength, got - markLength);
  if (got < sizeof head) s.endOfFile = true;
  return kErrorSuccess;
}

std::u16string ReadText(TextStream& stream) { return stream.Read(); }

bool WriteText(TextStream& stream, std::u16string_view text) { return stream.Write(text); }

bool CloseText(TextStreamPtr stream) { return stream && stream->Close(); }

bool SameFileBytes(const std::u16string& a, const std::u16string& b) {
  static constexpr uint64_t maxBytes = 1u << 20;
  uint32_t sizeA = 0, sizeB = 0;
  if (QueryFileSize(a, sizeA) != 0 || QueryFileSize(b, sizeB) != 0 || sizeA != sizeB || sizeA > maxBytes) {
    return false;
  }
  const auto load = [](const std::u16string& path, std::string& bytes) {
    FileHandle handle = kInvalidFileHandle;
    if (OpenRegularFileForReading(path, maxBytes, handle) != 0) return false;
    char buffer[16384];
    uint32_t got = 0;
    bool failed = false;
    while (!(failed = ReadFromFile(handle, buffer, sizeof buffer, got) != 0) && got > 0 && bytes.size() <= maxBytes) {
      bytes.append(buffer, got);
    }
    CloseFileHandle(handle);
    return !failed && bytes.size() <= maxBytes;
  };
  std::string bytesA, bytesB;
  return load(a, bytesA) && load(b, bytesB) && bytesA == bytesB;
}

}  // namespace setup
