// Line framing of the system's Unix stream sockets: one message's bytes, then one line feed.
//
// encodeFrame is pure. A LineScanner is a plain value without locking: each connection owns
// one and feeds it from one thread at a time, in the order the chunks were read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarno/core/json_coding.hpp"
#include "tarno/core/line_cutter.hpp"

namespace tarno::protocol::FrameCodec {

// Largest payload in bytes; the terminating line feed is not counted.
inline constexpr std::int64_t maxFrameBytes = 8'388'608;

class FrameError : public std::exception {
 public:
  enum class Kind : std::uint8_t { frameTooLarge, interiorNewline };

  // `byteCount` is the length that broke the limit.
  static FrameError frameTooLarge(std::int64_t byteCount) noexcept {
    return FrameError(Kind::frameTooLarge, byteCount);
  }
  static FrameError interiorNewline() noexcept { return FrameError(Kind::interiorNewline, 0); }

  Kind kind() const noexcept { return kind_; }
  // The frameTooLarge count; 0 for interiorNewline.
  std::int64_t byteCount() const noexcept { return byteCount_; }
  // The case name, for diagnostics only: the errors carry no message text.
  const char* what() const noexcept override;

  friend bool operator==(const FrameError& a, const FrameError& b) noexcept {
    return a.kind_ == b.kind_ && a.byteCount_ == b.byteCount_;
  }

 private:
  FrameError(Kind kind, std::int64_t byteCount) noexcept : kind_(kind), byteCount_(byteCount) {}

  Kind kind_;
  std::int64_t byteCount_;
};

// The payload followed by one line feed. Throws interiorNewline when the payload holds a line
// feed (checked first), otherwise frameTooLarge when it is longer than maxFrameBytes.
std::string encodeFrame(std::string_view payload);
// Same, reusing the payload's buffer.
std::string encodeFrame(std::string&& payload);
inline std::string encodeFrame(const char* payload) {
  return encodeFrame(std::string_view(payload));
}

// The compact JSON of `value` as one frame; also throws core::EncodingError when the value has
// no JSON form. Text payloads go to the byte overloads above, never through JSON.
template <class T>
requires(!std::is_convertible_v<const T&, std::string_view>) std::string
    encodeFrame(const T& value) {
  return encodeFrame(core::encodeToString(value));
}

// Cuts a byte stream into lines. Each byte is searched for the terminator once, however many
// chunks its line arrives in, and consumed bytes are dropped after every call, so what the
// scanner holds is only the unterminated remainder.
class LineScanner {
 public:
  // Returns the lines that `chunk` completes, oldest first, each an independent copy without
  // its line feed (empty lines included). Throws frameTooLarge, with the remainder's length,
  // when the unterminated remainder grows beyond maxFrameBytes; the lines completed by that
  // same chunk are then lost, and the remainder is kept: later chunks add to it and throw
  // again until a line feed arrives. A line completed within one call is returned whatever
  // its length.
  std::vector<std::string> append(std::string_view chunk);

  // Length of the unterminated remainder held.
  std::size_t bufferedByteCount() const noexcept { return cutter_.remainder().size(); }

 private:
  core::LineCutter cutter_;
};

}  // namespace tarno::protocol::FrameCodec
