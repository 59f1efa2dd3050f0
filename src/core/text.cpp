// UTF-8 validation and repair, White_Space trimming, grapheme clusters and lower-casing.
#include "tarno/core/text.hpp"

#include <simdjson.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/ucasemap.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

namespace tarno::core {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// ICU indexes text with int32_t; longer texts are handled in windows well below that.
constexpr std::size_t kIcuWindowBytes = std::size_t{1} << 30;
constexpr std::size_t kCaseMapWindowBytes = std::size_t{1} << 28;  // output may grow by half

inline unsigned char byteAt(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

inline bool isContinuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

struct Sequence {
  std::size_t length;  // bytes consumed: the whole character, or the maximal ill-formed subpart
  bool valid;
};

// Reads one character at `i` following the table of well-formed UTF-8 byte sequences; an
// ill-formed one consumes its longest prefix that could still have begun a valid sequence.
Sequence nextSequence(std::string_view s, std::size_t i) {
  const unsigned char lead = byteAt(s, i);
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
    const unsigned char b = byteAt(s, i + k);
    if (b < lo || b > hi) return {k, false};
    lo = 0x80;
    hi = 0xBF;
  }
  return {trailing + 1, true};
}

std::string repairUTF8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 16);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t runStart = i;
    Sequence seq{0, true};
    while (i < bytes.size()) {
      if (byteAt(bytes, i) < 0x80) {
        ++i;
        continue;
      }
      seq = nextSequence(bytes, i);
      if (!seq.valid) break;
      i += seq.length;
    }
    out.append(bytes.substr(runStart, i - runStart));
    if (i < bytes.size()) {
      out.append(kReplacement);
      i += seq.length;
    }
  }
  return out;
}

// Byte length of the White_Space code point that starts `s`, or 0.
std::size_t leadingSpaceLength(std::string_view s) {
  if (s.empty()) return 0;
  const unsigned char c = byteAt(s, 0);
  if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && s.size() >= 2) {
    const unsigned char b = byteAt(s, 1);
    return (b == 0x85 || b == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  const unsigned char b1 = byteAt(s, 1);
  const unsigned char b2 = byteAt(s, 2);
  if (c == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
  if (c == 0xE2 && b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
  }
  if (c == 0xE2 && b1 == 0x81) return b2 == 0x9F ? 3 : 0;    // U+205F
  if (c == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
  return 0;
}

// Byte length of the White_Space code point that ends `s`, or 0. Every multi-byte space starts
// with a lead byte, which can never be the tail of an earlier sequence, so matching the suffix
// is exact even in ill-formed text.
std::size_t trailingSpaceLength(std::string_view s) {
  for (std::size_t len = 1; len <= 3 && len <= s.size(); ++len) {
    if (leadingSpaceLength(s.substr(s.size() - len)) == len) return len;
  }
  return 0;
}

struct GraphemeBreaker {
  UText text = UTEXT_INITIALIZER;
  std::unique_ptr<icu::BreakIterator> iterator;

  GraphemeBreaker() {
    UErrorCode status = U_ZERO_ERROR;
    iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) iterator.reset();
  }
  ~GraphemeBreaker() { utext_close(&text); }
  GraphemeBreaker(const GraphemeBreaker&) = delete;
  GraphemeBreaker& operator=(const GraphemeBreaker&) = delete;
};

// Creating a break iterator loads rules and costs far more than using one.
GraphemeBreaker& graphemeBreaker() {
  thread_local GraphemeBreaker breaker;
  return breaker;
}

// Without ICU data every code point stands alone; degraded, but never wrong about bytes.
template <class Visit>
void forEachCodePointBoundary(std::string_view text, std::size_t from, Visit&& visit) {
  for (std::size_t i = from; i < text.size();) {
    i += byteAt(text, i) < 0x80 ? 1 : nextSequence(text, i).length;
    if (!visit(i)) return;
  }
}

// Calls visit(position) for each grapheme boundary after `from` (itself a boundary) up to and
// including the end of the text, until visit returns false. A window that does not reach the
// end stops short of a code point that it would cut; boundaries found in it before its end do
// not depend on what follows, and the next window starts at the last of them.
template <class Visit>
void forEachGraphemeBoundary(std::string_view text, std::size_t from, std::size_t windowBytes,
                             Visit&& visit) {
  GraphemeBreaker& breaker = graphemeBreaker();
  if (!breaker.iterator) return forEachCodePointBoundary(text, from, visit);
  windowBytes = std::clamp<std::size_t>(windowBytes, 4, kIcuWindowBytes);
  std::size_t base = from;
  while (base < text.size()) {
    std::size_t length = text.size() - base;
    const bool reachesEnd = length <= windowBytes;
    if (!reachesEnd) {
      length = windowBytes;
      for (int back = 0; back < 3 && length > 1 && isContinuation(byteAt(text, base + length));
           ++back) {
        --length;
      }
    }
    UErrorCode status = U_ZERO_ERROR;
    utext_openUTF8(&breaker.text, text.data() + base, static_cast<int64_t>(length), &status);
    breaker.iterator->setText(&breaker.text, status);
    if (U_FAILURE(status)) return forEachCodePointBoundary(text, base, visit);
    std::size_t lastInside = 0;
    for (int32_t b = breaker.iterator->next(); b != icu::BreakIterator::DONE;
         b = breaker.iterator->next()) {
      const auto position = static_cast<std::size_t>(b);
      if (!reachesEnd && position >= length) break;
      lastInside = position;
      if (!visit(base + position)) return;
    }
    if (reachesEnd) return;
    if (lastInside == 0) {
      // One cluster longer than a whole window: cut it at the window's end.
      lastInside = length;
      if (!visit(base + lastInside)) return;
    }
    base += lastInside;
  }
}

// Walks at most `limit` leading clusters while the text is ASCII. Between two ASCII characters
// there is always a grapheme boundary except inside CR LF, so no break iterator is needed.
struct AsciiWalk {
  std::size_t end = 0;        // bytes walked
  std::size_t clusters = 0;   // clusters walked
  std::size_t lastStart = 0;  // start of the last walked cluster: a certain boundary
};

AsciiWalk walkAscii(std::string_view text, std::size_t limit) {
  AsciiWalk walk;
  while (walk.end < text.size() && walk.clusters < limit) {
    const unsigned char c = byteAt(text, walk.end);
    if (c >= 0x80) break;
    walk.lastStart = walk.end;
    const bool crlf = c == '\r' && walk.end + 1 < text.size() && text[walk.end + 1] == '\n';
    walk.end += crlf ? 2 : 1;
    ++walk.clusters;
  }
  return walk;
}

struct CaseMapCloser {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

UCaseMap* rootCaseMap() {
  thread_local std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCaseMap, CaseMapCloser> opened(ucasemap_open("", 0, &status));
    if (U_FAILURE(status)) opened.reset();
    return opened;
  }();
  return map.get();
}

void appendLowercased(UCaseMap* map, std::string_view piece, std::string& out) {
  const std::size_t start = out.size();
  auto capacity = static_cast<int32_t>(piece.size() + piece.size() / 2 + 16);
  out.resize(start + static_cast<std::size_t>(capacity));
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = ucasemap_utf8ToLower(map, out.data() + start, capacity, piece.data(),
                                        static_cast<int32_t>(piece.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    capacity = length;
    out.resize(start + static_cast<std::size_t>(capacity));
    status = U_ZERO_ERROR;
    length = ucasemap_utf8ToLower(map, out.data() + start, capacity, piece.data(),
                                  static_cast<int32_t>(piece.size()), &status);
  }
  if (U_FAILURE(status)) {
    out.resize(start);
    out.append(piece);  // keep the text rather than lose it
    return;
  }
  out.resize(start + static_cast<std::size_t>(length));
}

}  // namespace

bool isValidUTF8(std::string_view bytes) noexcept {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

std::string decodeUTF8Lossy(std::string_view bytes) {
  if (isValidUTF8(bytes)) return std::string(bytes);
  return repairUTF8(bytes);
}

std::string decodeUTF8Lossy(std::string&& bytes) {
  if (isValidUTF8(bytes)) return std::move(bytes);
  return repairUTF8(bytes);
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  while (const std::size_t n = leadingSpaceLength(text))
    text.remove_prefix(n);
  while (const std::size_t n = trailingSpaceLength(text))
    text.remove_suffix(n);
  return std::string(text);
}

namespace detail {
std::size_t characterCountInWindows(std::string_view text, std::size_t windowBytes) {
  const AsciiWalk walk = walkAscii(text, std::numeric_limits<std::size_t>::max());
  if (walk.end == text.size()) return walk.clusters;
  // The last ASCII cluster may be extended by the combining mark that follows it.
  std::size_t count = walk.clusters > 0 ? walk.clusters - 1 : 0;
  const std::size_t from = walk.clusters > 0 ? walk.lastStart : 0;
  forEachGraphemeBoundary(text, from, windowBytes, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}
}  // namespace detail

std::size_t characterCount(std::string_view text) {
  return detail::characterCountInWindows(text, kIcuWindowBytes);
}

std::string prefixCharacters(std::string_view text, std::size_t count) {
  if (count == 0) return {};
  const AsciiWalk walk = walkAscii(text, count);
  if (walk.end == text.size()) return std::string(text);
  if (byteAt(text, walk.end) < 0x80) return std::string(text.substr(0, walk.end));
  std::size_t needed = count - (walk.clusters > 0 ? walk.clusters - 1 : 0);
  const std::size_t from = walk.clusters > 0 ? walk.lastStart : 0;
  std::size_t end = text.size();
  forEachGraphemeBoundary(text, from, kIcuWindowBytes, [&](std::size_t position) {
    if (--needed > 0) return true;
    end = position;
    return false;
  });
  return std::string(text.substr(0, end));
}

std::string lowercased(std::string_view text) {
  const auto firstNonAscii = std::find_if(
      text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  UCaseMap* map = firstNonAscii == text.end() ? nullptr : rootCaseMap();
  if (map == nullptr) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  std::string out;
  out.reserve(text.size() + 16);
  while (!text.empty()) {
    std::size_t length = std::min(text.size(), kCaseMapWindowBytes);
    for (int back = 0;
         back < 3 && length < text.size() && length > 1 && isContinuation(byteAt(text, length));
         ++back) {
      --length;
    }
    appendLowercased(map, text.substr(0, length), out);
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace tarno::core
