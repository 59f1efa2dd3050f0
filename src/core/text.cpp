// UTF-8 validation and repair, White_Space trimming, grapheme clusters and lower-casing.
#include "tarno/core/text.hpp"

#include <simdjson.h>
#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "core/utf8_sequence.hpp"

namespace tarno::core {
namespace {

using utf8::kReplacement;
using utf8::nextSequence;
using utf8::Sequence;

// ICU indexes text with int32_t; longer texts are handled in windows well below that.
constexpr std::size_t kIcuWindowBytes = std::size_t{1} << 30;
constexpr std::size_t kCaseMapWindowBytes = std::size_t{1} << 28;  // output may grow by half

inline unsigned char byteAt(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

inline bool isContinuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
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

// ICU's White_Space property; an ill-formed sequence (negative c) never counts.
bool isWhiteSpace(UChar32 c) {
  return c >= 0 && u_isUWhiteSpace(c);
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
  // Each step looks at no more than one code point's worth of bytes, so ICU's 32-bit offsets
  // hold whatever the text's length. A well-formed code point found within such a window is
  // the same one the whole text holds there.
  constexpr std::size_t kMaxCodePointBytes = 4;
  while (!text.empty()) {
    const std::string_view head = text.substr(0, kMaxCodePointBytes);
    int32_t end = 0;
    UChar32 c;
    U8_NEXT(head.data(), end, static_cast<int32_t>(head.size()), c);
    if (!isWhiteSpace(c)) break;
    text.remove_prefix(static_cast<std::size_t>(end));
  }
  while (!text.empty()) {
    const std::string_view tail =
        text.substr(text.size() - std::min(text.size(), kMaxCodePointBytes));
    auto start = static_cast<int32_t>(tail.size());
    UChar32 c;
    U8_PREV(tail.data(), 0, start, c);
    if (!isWhiteSpace(c)) break;
    text.remove_suffix(tail.size() - static_cast<std::size_t>(start));
  }
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

namespace {

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `fragment` occurs in `text`, compared character by character with `equal`, at a place
// that begins and ends on a boundary.
template <class Equal, class IsBoundary>
bool containsAtBoundaries(std::string_view text, std::string_view fragment, Equal equal,
                          IsBoundary isBoundary) {
  for (auto from = text.begin();; ++from) {
    from = std::search(from, text.end(), fragment.begin(), fragment.end(), equal);
    if (from == text.end()) return false;
    const auto at = static_cast<std::size_t>(from - text.begin());
    if (isBoundary(at) && isBoundary(at + fragment.size())) return true;
  }
}

bool isTurkic(const icu::Locale& locale) {
  const std::string_view language = locale.getLanguage();
  return language == "tr" || language == "az";
}

// Canonical caseless form: NFD(fold(NFD(text))). Turkic folding maps the precomposed capital I
// with dot above, so there the text is composed before folding. Absent when ICU fails.
std::optional<std::string> caselessForm(std::string_view text, bool turkic) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::nullopt;
  auto normalize = [&](const icu::Normalizer2* form, std::string_view in) {
    std::string out;
    icu::StringByteSink<std::string> sink(&out);
    form->normalizeUTF8(0, icu::StringPiece(in.data(), static_cast<int32_t>(in.size())), sink,
                        nullptr, status);
    return out;
  };
  const std::string prepared = normalize(turkic ? nfc : nfd, text);
  std::string folded;
  icu::StringByteSink<std::string> sink(&folded);
  icu::CaseMap::utf8Fold(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT,
                         icu::StringPiece(prepared.data(), static_cast<int32_t>(prepared.size())),
                         sink, nullptr, status);
  std::string caseless = normalize(nfd, folded);
  if (U_FAILURE(status)) return std::nullopt;
  return caseless;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (isASCII(a) && isASCII(b)) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return asciiLower(x) == asciiLower(y); });
  }
  return lowercased(a) == lowercased(b);
}

bool localizedCaseInsensitiveContains(std::string_view text, std::string_view fragment,
                                      std::string_view localeID) {
  if (fragment.empty()) return false;
  thread_local const bool currentIsTurkic = isTurkic(icu::Locale::getDefault());
  const bool turkic =
      localeID.empty() ? currentIsTurkic : isTurkic(icu::Locale(std::string(localeID).c_str()));
  const bool tooLong = text.size() > kCaseMapWindowBytes || fragment.size() > kCaseMapWindowBytes;
  std::optional<std::string> caselessText;
  std::optional<std::string> caselessFragment;
  if (!tooLong && !(isASCII(text) && isASCII(fragment) && !turkic)) {
    caselessText = caselessForm(text, turkic);
    caselessFragment = caselessForm(fragment, turkic);
  }
  if (caselessFragment && caselessFragment->empty()) return false;
  if (!caselessText || !caselessFragment) {
    // ASCII alone: letters fold on their own, and every position is a character boundary
    // except inside CR LF.
    return containsAtBoundaries(
        text, fragment, [](char a, char b) { return asciiLower(a) == asciiLower(b); },
        [&](std::size_t at) {
          return at == 0 || at >= text.size() || text[at - 1] != '\r' || text[at] != '\n';
        });
  }
  GraphemeBreaker& breaker = graphemeBreaker();
  UErrorCode status = U_ZERO_ERROR;
  if (breaker.iterator) {
    utext_openUTF8(&breaker.text, caselessText->data(), static_cast<int64_t>(caselessText->size()),
                   &status);
    breaker.iterator->setText(&breaker.text, status);
  }
  const bool useBreaker = breaker.iterator && U_SUCCESS(status);
  return containsAtBoundaries(
      *caselessText, *caselessFragment, std::equal_to<char>(), [&](std::size_t at) {
        if (!useBreaker) return true;
        return static_cast<bool>(breaker.iterator->isBoundary(static_cast<int32_t>(at)));
      });
}

}  // namespace tarno::core
