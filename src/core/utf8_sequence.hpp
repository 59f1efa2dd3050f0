// Reading UTF-8 one character at a time, with the repair rule for ill-formed bytes: the one
// place where that rule is written, shared by text decoding and JSON string writing.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarno::core::utf8 {

inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

struct Sequence {
  std::size_t length;  // bytes consumed: the whole character, or the maximal ill-formed subpart
  bool valid;
};

// Reads one character at `i` (< s.size()) following the table of well-formed UTF-8 byte
// sequences; an ill-formed one consumes its longest prefix that could still have begun a valid
// sequence, which one U+FFFD replaces.
inline Sequence nextSequence(std::string_view s, std::size_t i) {
  const auto byteAt = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byteAt(i);
  if (lead < 0x80) return {1, true};
  std::size_t trailing = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    if (lead == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    if (lead == 0xF0) lo = 0x90;  // overlong below U+10000
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};  // continuation byte, C0, C1 or F5..FF
  }
  for (std::size_t k = 1; k <= trailing; ++k) {
    if (i + k >= s.size()) return {k, false};
    const unsigned char b = byteAt(i + k);
    if (b < lo || b > hi) return {k, false};
    lo = 0x80;
    hi = 0xBF;
  }
  return {trailing + 1, true};
}

}  // namespace tarno::core::utf8
