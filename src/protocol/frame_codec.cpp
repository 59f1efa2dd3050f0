// Frame encoding and the incremental line scanner.
#include "tarno/protocol/frame_codec.hpp"

#include <utility>

namespace tarno::protocol::FrameCodec {
namespace {

void checkPayload(std::string_view payload) {
  if (payload.find('\n') != std::string_view::npos) throw FrameError::interiorNewline();
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
  std::vector<std::string> lines;
  cutter_.append(chunk, [&](std::string&& line) { lines.push_back(std::move(line)); });
  const std::size_t held = cutter_.remainder().size();
  if (held > static_cast<std::size_t>(maxFrameBytes)) {
    throw FrameError::frameTooLarge(static_cast<std::int64_t>(held));
  }
  return lines;
}

}  // namespace tarno::protocol::FrameCodec
