// Text files on Linux: the layer recognises the byte-order marks itself and
// decodes in pieces, carrying a character split between pieces to the next one.
#include "platform/TextFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Text.h"

namespace setup {
namespace {

// Reads up to `want` bytes straight from the descriptor; the stream's own
// buffer is never used for reading. Short only at the end of the file or on
// an error, which `error` then tells.
size_t ReadBytes(int fd, char* buffer, size_t want, bool& error) {
  size_t got = 0;
  while (got < want) {
    const ssize_t n = read(fd, buffer + got, want - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = true;
      break;
    }
  }
  return got;
}

}  // namespace

TextStream::TextStream(std::FILE* file, TextEncoding encoding, bool byteOrderMark)
    : file_(file), encoding_(encoding), byteOrderMark_(byteOrderMark) {}

TextStream::~TextStream() {
  if (file_) std::fclose(file_);
}

int TextStream::Descriptor() const { return file_ ? fileno(file_) : -1; }

std::u16string TextStream::Read() {
  std::u16string text;
  // A piece can decode to nothing (a held-back CR, say) before the end of the
  // file, so go on until there is text or the file is done.
  while (text.empty() && (!endOfFile_ || !pending_.empty() || pendingCR_)) {
    size_t want;
    switch (encoding_) {
      case TextEncoding::Utf16LE: want = kTextUnitsPerPiece * 2; break;
      // One UTF-8 byte never gives more than one UTF-16 unit.
      case TextEncoding::Utf8: want = kTextUnitsPerPiece; break;
      default: want = kTextBytesPerPiece; break;
    }
    std::string bytes = std::move(pending_);
    pending_.clear();
    if (!endOfFile_ && bytes.size() < want) {
      const size_t have = bytes.size();
      bytes.resize(want);
      bool error = false;
      const size_t got = ReadBytes(fileno(file_), bytes.data() + have, want - have, error);
      bytes.resize(have + got);
      if (error) {
        // Nothing more comes from this file, not even the bytes held back.
        failed_ = endOfFile_ = true;
        pending_.clear();
        pendingCR_ = false;
        return {};
      }
      if (got < want - have) endOfFile_ = true;
    }

    std::u16string piece;
    if (pendingCR_) {
      piece.push_back(u'\r');
      pendingCR_ = false;
    }
    size_t used;
    if (encoding_ == TextEncoding::Utf16LE) {
      used = bytes.size() & ~size_t{1};
      for (size_t i = 0; i < used; i += 2) {
        piece.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
      }
      if (endOfFile_ && used < bytes.size()) {
        piece.push_back(0xFFFD);  // a stray last byte
        used = bytes.size();
      }
    } else if (encoding_ == TextEncoding::Utf8) {
      used = DecodeUtf8Prefix(bytes, endOfFile_, piece);
    } else {
      used = DecodeMultiBytePrefix(bytes, endOfFile_, piece);
    }
    pending_.assign(bytes, used, std::string::npos);

    if (!piece.empty() && piece.back() == u'\r' && !(endOfFile_ && pending_.empty())) {
      piece.pop_back();  // its LF may open the next piece
      pendingCR_ = true;
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
  const std::string bytes = WideToMultiByte(text);
  return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

bool TextStream::Close() {
  std::FILE* file = file_;
  file_ = nullptr;
  return file && std::fclose(file) == 0;
}

TextStreamPtr OpenTextForReading(const std::u16string& path) {
  std::FILE* file = std::fopen(WideToMultiByte(path).c_str(), "rbe");
  if (!file) return nullptr;  // errno from fopen is the caller's answer
  unsigned char head[3] = {};
  bool error = false;
  const size_t got = ReadBytes(fileno(file), reinterpret_cast<char*>(head), sizeof head, error);
  TextEncoding encoding = TextEncoding::MultiByte;
  size_t markLength = 0;
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    encoding = TextEncoding::Utf16LE;
    markLength = 2;
  } else if (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    encoding = TextEncoding::Utf8;
    markLength = 3;
  }
  auto stream = std::make_unique<TextStream>(file, encoding, markLength != 0);
  if (error) {
    stream->failed_ = stream->endOfFile_ = true;
    return stream;
  }
  // Bytes read past the mark belong to the text.
  stream->pending_.assign(reinterpret_cast<const char*>(head) + markLength, got - markLength);
  if (got < sizeof head) stream->endOfFile_ = true;
  return stream;
}

std::u16string ReadText(TextStream& stream) { return stream.Read(); }

TextStreamPtr OpenTextForWriting(const std::u16string& path, TextEncoding /*encoding*/) {
  std::FILE* file = std::fopen(WideToMultiByte(path).c_str(), "wbe");
  if (!file) return nullptr;
  return std::make_unique<TextStream>(file, TextEncoding::MultiByte, false);
}

bool WriteText(TextStream& stream, std::u16string_view text) { return stream.Write(text); }

bool CloseText(TextStreamPtr stream) { return stream && stream->Close(); }

}  // namespace setup
