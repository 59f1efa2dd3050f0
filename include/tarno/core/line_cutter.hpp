// Cuts a byte stream, received in arbitrary chunks, into lines ending at "\n".
//
// A plain value without locking; its owner serialises access. Unbounded unless the owner gives
// a bound: then a line longer than that is let go as it arrives, and reported once its end
// comes, so that a peer that never ends its line cannot take all memory.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace tarno::core {

class LineCutter {
 public:
  // Calls onLine(std::string&&) for every line that `chunk` completes, oldest first, without
  // its "\n" (an empty line gives an empty string; "\r" and NUL are plain bytes). What follows
  // the last "\n" is kept for the next call. Only `chunk` is searched: the held bytes are
  // known to hold no "\n", so each byte is searched once however many chunks its line takes.
  template <class OnLine>
  void append(std::string_view chunk, OnLine&& onLine) {
    if (chunk.empty()) return;  // memchr must not see the null data() of an empty view
    const char* at = chunk.data();
    const char* const end = at + chunk.size();
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
      const char* const newline = static_cast<const char*>(found);
      if (remainder_.empty()) {
        onLine(std::string(at, newline));
      } else {
        // The held bytes start this line; it takes over their buffer instead of a copy.
        remainder_.append(at, newline);
        std::string line = std::move(remainder_);
        remainder_.clear();
        onLine(std::move(line));
      }
      at = newline + 1;
    }
    remainder_.append(at, end);
  }

  // As append(), with lines over `maxLine` bytes reported by onOverlong() instead of onLine.
  template <class OnLine, class OnOverlong>
  void append(std::string_view chunk, std::size_t maxLine, OnLine&& onLine,
              OnOverlong&& onOverlong) {
    if (dropping_) {
      // The rest of a line being dropped is not held either: it ends at the next "\n".
      const void* found = chunk.empty() ? nullptr : std::memchr(chunk.data(), '\n', chunk.size());
      if (found == nullptr) return;
      dropping_ = false;
      onOverlong();
      chunk.remove_prefix(static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data()) +
                          1);
    }
    append(chunk, [&](std::string&& line) {
      if (line.size() > maxLine) {
        onOverlong();
      } else {
        onLine(std::move(line));
      }
    });
    if (remainder_.size() > maxLine) {
      std::string().swap(remainder_);
      dropping_ = true;
    }
  }

  // Whether the unterminated line is over the bound and being dropped.
  bool dropping() const noexcept { return dropping_; }

  // The bytes received after the last "\n" (none of a line being dropped).
  const std::string& remainder() const noexcept { return remainder_; }

  // Hands over the held bytes and starts empty.
  std::string takeRemainder() noexcept {
    std::string rest = std::move(remainder_);
    remainder_.clear();
    dropping_ = false;
    return rest;
  }

 private:
  std::string remainder_;
  bool dropping_ = false;
};

}  // namespace tarno::core
