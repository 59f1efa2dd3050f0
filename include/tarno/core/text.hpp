// Unicode text helpers over UTF-8 std::string: lossy decoding, trimming, user-perceived
// characters (extended grapheme clusters) and lower-casing.
//
// All functions are pure and may be called from any thread; the ICU objects they need are
// cached per thread. They expect valid UTF-8 (decode outside text with decodeUTF8Lossy first)
// but never crash on invalid input: ill-formed bytes then count as U+FFFD where that matters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarno::core {

// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

// Valid UTF-8 with every ill-formed sequence replaced by U+FFFD, one per maximal subpart (the
// Unicode recommended practice: "\xF0\x9F\x98" at the end is one U+FFFD, "\xC0\xAF" two).
// NUL bytes are kept. Valid input comes back unchanged after a single validation pass; the
// rvalue overload then hands the same buffer back without copying.
std::string decodeUTF8Lossy(std::string_view bytes);
std::string decodeUTF8Lossy(std::string&& bytes);
inline std::string decodeUTF8Lossy(const char* bytes) {
  return decodeUTF8Lossy(std::string_view(bytes));
}

// Removes leading and trailing White_Space code points (tab through carriage return, space,
// U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// Number of extended grapheme clusters: "e\u0301", "\r\n" and "👍🏽" each count as one.
std::size_t characterCount(std::string_view text);

// The first `count` extended grapheme clusters, or the whole text when it has fewer.
std::string prefixCharacters(std::string_view text, std::size_t count);

// Full Unicode lower-casing with the root locale (context-sensitive final sigma included).
std::string lowercased(std::string_view text);

// True when the lower-cased forms of the two texts are equal.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// Whether `text` contains `fragment`, ignoring case as the platform's localized search does:
// both are compared after full case folding (with the Turkic dotted and dotless i under a
// Turkish or Azerbaijani locale) and canonical decomposition, and a match must begin and end on
// character boundaries ("e" is not found in "e\u0301"). An empty fragment is never contained.
// `localeID` empty means the current locale (ICU's default, read once per thread). Texts beyond
// 256 MB are compared with ASCII case folding only.
bool localizedCaseInsensitiveContains(std::string_view text, std::string_view fragment,
                                      std::string_view localeID = {});

namespace detail {
// characterCount with ICU's input split into windows of at most `windowBytes` (ICU positions
// are 32-bit, so longer texts are always walked this way). Exposed so tests can use small windows.
std::size_t characterCountInWindows(std::string_view text, std::size_t windowBytes);
}  // namespace detail

}  // namespace tarno::core
