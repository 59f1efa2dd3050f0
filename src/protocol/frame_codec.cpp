// Frame encoding and the incremental line scanner.
#include "tarno/protocol/frame_codec.hpp"

#include <cstring>

namespace tarno::protocol::FrameCodec {
namespace {

const char* findNewline(const char* begin, std::size_t length) noexcept {
  return static_cast<const char*>(std::memchr(begin, '\n', length));
}

void checkPayload(std::string_view payload) {
  if (findNewline(payload.data(), payload.size()) != nullptr) throw FrameError::interiorNewline();
  const auto length = static_cast<std::int64_t>(payload.size());
  if (length > maxFrameBytes) throw FrameError::frameTooLarge(length);
}

}  // namespace

const char* FrameError::what() const noexcept {
  return kind_ == Kind::frameTooLarge ? "frameTooLarge" : "interiorNewline";
}

std::string encodeFrame(std::string_view payload) {
  checkPayload(payload);
  std::string frame;
  frame.reserve(payload.size() + 1);
  frame.append(payload);
  frame.push_back('\n');
  return frame;
}

std::string encodeFrame(std::string&& payload) {
  checkPayload(payload);
  payload.push_back('\n');
  return std::move(payload);
}

std::vector<std::string> LineScanner::append(std::string_view chunk) {
  const char* const data = chunk.data();
  const std::size_t size = chunk.size();
  const char* newline = findNewline(data, size);
  if (newline == nullptr) {
    buffer_.append(chunk);
    if (buffer_.size() > static_cast<std::size_t>(maxFrameBytes)) {
      throw FrameError::frameTooLarge(static_cast<std::int64_t>(buffer_.size()));
    }
    return {};
  }

  std::vector<std::string> lines;
  // The first line began with the held bytes, if any; it takes over the buffer rather than
  // being copied out of it.
  std::size_t length = static_cast<std::size_t>(newline - data);
  if (buffer_.empty()) {
    lines.emplace_back(data, length);
  } else {
    buffer_.append(data, length);
    lines.push_back(std::move(buffer_));
  }
  std::size_t start = length + 1;
  while (start < size && (newline = findNewline(data + start, size - start)) != nullptr) {
    length = static_cast<std::size_t>(newline - data) - start;
    lines.emplace_back(data + start, length);
    start += length + 1;
  }
  buffer_.assign(data + start, size - start);
  if (buffer_.size() > static_cast<std::size_t>(maxFrameBytes)) {
    throw FrameError::frameTooLarge(static_cast<std::int64_t>(buffer_.size()));
  }
  return lines;
}

}  // namespace tarno::protocol::FrameCodec
