// Cuts a child's raw output, read in arbitrary chunks, into complete text lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/core/line_cutter.hpp"

namespace tarno::assistant {

// Keeps bytes, not text: a line is decoded (UTF-8, ill-formed sequences replaced by U+FFFD)
// only once it is complete, so a character split across two reads survives intact. Lines end
// at "\n" only; a "\r" before it stays part of the line. A line longer than maxLineBytes is
// dropped whole, its bytes let go as they come: a child that never ends its line must not take
// all memory. A plain value without locking: the owner serialises access.
class LineAccumulator {
 public:
  // Far above any line the CLI writes (a tool result of tens of megabytes still fits).
  static constexpr std::size_t maxLineBytes = 64 * 1024 * 1024;

  // Appends `bytes` and returns the lines it completed, in order, without their "\n" (an empty
  // line gives an empty string), except those over maxLineBytes. What follows the last "\n"
  // stays buffered.
  std::vector<std::string> append(std::string_view bytes);

  // The unterminated last line, decoded, leaving the buffer empty; absent when nothing is
  // buffered or the line was too long. Called once after the output ends.
  std::optional<std::string> flush();

  // The raw bytes received after the last "\n".
  const std::string& buffer() const noexcept { return cutter_.remainder(); }

 private:
  core::LineCutter cutter_;
};

}  // namespace tarno::assistant
