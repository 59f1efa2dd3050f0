// Tests for the UTF-8 and Unicode text helpers.
#include "tarno/core/text.hpp"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace tarno::core {
namespace {

using namespace std::string_literals;

const std::string kFFFD = "\xEF\xBF\xBD";

std::string encodeCodePoint(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// ICU's converter replaces ill-formed UTF-8 per maximal subpart as well; round-tripping through
// UTF-16 with it gives an independent answer to compare against.
std::string icuLossyRoundTrip(const std::string& bytes) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t utf16Length = 0;
  std::vector<UChar> utf16(bytes.size() + 1);
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &utf16Length, bytes.data(),
                       static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr, &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  std::string out(bytes.size() * 3 + 4, '\0');
  int32_t outLength = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, utf16.data(), utf16Length,
              &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  out.resize(static_cast<std::size_t>(outLength));
  return out;
}

TEST(DecodeUTF8Lossy, KeepsValidTextIncludingNulBytes) {
  const std::string text = "plain \0 caf\xC3\xA9 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xE2\x80\xA6"s;
  EXPECT_TRUE(isValidUTF8(text));
  EXPECT_EQ(decodeUTF8Lossy(std::string_view(text)), text);
  EXPECT_EQ(decodeUTF8Lossy(std::string(text)), text);
  EXPECT_EQ(decodeUTF8Lossy(""), "");
}

TEST(DecodeUTF8Lossy, ReplacesEachMaximalSubpart) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"a\x80z", "a" + kFFFD + "z"},                        // lone continuation byte
      {"ok\xF0\x9F\x98", "ok" + kFFFD},                     // truncated at the end
      {"\xF0\x9F\x98z", kFFFD + "z"},                       // truncated in the middle
      {"\xC0\xAF", kFFFD + kFFFD},                          // overlong slash
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong, 3 bytes
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // surrogate U+D800
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xF5\xFF", kFFFD + kFFFD},                          // never-valid bytes
      {"\xE2\x80", kFFFD},                                  // truncated ellipsis
      {"\xC3\xA9\xC3", "\xC3\xA9" + kFFFD},                 // good then truncated
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",  // the standard's example
       "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD + kFFFD + "d"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(isValidUTF8(c.input));
    EXPECT_EQ(decodeUTF8Lossy(std::string_view(c.input)), c.expected) << c.input;
    EXPECT_EQ(decodeUTF8Lossy(std::string(c.input)), c.expected) << c.input;
  }
}

TEST(DecodeUTF8Lossy, AgreesWithIcuOnRandomBytes) {
  std::mt19937 rng(12345);
  // Bytes drawn mostly from the interesting lead and continuation ranges.
  const std::string alphabet =
      "a\x00\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xE1\xEC"
      "\xED\xEE\xEF\xF0\xF1\xF3\xF4\xF5\xFF"s;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes(rng() % 24, '\0');
    for (char& b : bytes)
      b = alphabet[rng() % alphabet.size()];
    const std::string decoded = decodeUTF8Lossy(std::string_view(bytes));
    ASSERT_TRUE(isValidUTF8(decoded));
    ASSERT_EQ(decoded, icuLossyRoundTrip(bytes)) << "round " << round;
  }
}

TEST(TrimmingWhitespaceAndNewlines, RemovesOnlyOuterWhiteSpace) {
  EXPECT_EQ(trimmingWhitespaceAndNewlines(" \t\r\n hello world \r\n\v\f"), "hello world");
  EXPECT_EQ(trimmingWhitespaceAndNewlines("\xC2\xA0\xE3\x80\x80x\xE2\x80\xA9\xC2\x85"), "x");
  EXPECT_EQ(trimmingWhitespaceAndNewlines("a \xE2\x80\x83 b"), "a \xE2\x80\x83 b");
  EXPECT_EQ(trimmingWhitespaceAndNewlines(" \n\xE2\x80\xA8\xE1\x9A\x80 "), "");
  EXPECT_EQ(trimmingWhitespaceAndNewlines(""), "");
  // Zero-width space and the Mongolian vowel separator are not White_Space.
  EXPECT_EQ(trimmingWhitespaceAndNewlines("\xE2\x80\x8Bx "), "\xE2\x80\x8Bx");
  EXPECT_EQ(trimmingWhitespaceAndNewlines(" \xE1\xA0\x8E"), "\xE1\xA0\x8E");
}

TEST(TrimmingWhitespaceAndNewlines, MatchesTheWhiteSpacePropertyForEveryCodePoint) {
  // Every BMP code point, then a sample of the supplementary planes (which hold no spaces).
  for (char32_t c = 0; c <= 0x10FFFF; c += c < 0x10000 ? 1 : 61) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string text = "x" + encodeCodePoint(c) + "x";
    const bool isSpace = u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
    const std::string alone = trimmingWhitespaceAndNewlines(text.substr(1, text.size() - 2));
    ASSERT_EQ(alone.empty(), isSpace) << std::hex << static_cast<uint32_t>(c);
    ASSERT_EQ(trimmingWhitespaceAndNewlines(text), text) << std::hex << static_cast<uint32_t>(c);
  }
}

TEST(TrimmingWhitespaceAndNewlines, LeavesIllFormedBytesInPlace) {
  EXPECT_EQ(trimmingWhitespaceAndNewlines(" \xE2\x80 "), "\xE2\x80");
  EXPECT_EQ(trimmingWhitespaceAndNewlines("\xFF\xE2\x80\x80"), "\xFF");
  EXPECT_EQ(trimmingWhitespaceAndNewlines("\xC2"), "\xC2");
}

TEST(CharacterCount, CountsExtendedGraphemeClusters) {
  EXPECT_EQ(characterCount(""), 0u);
  EXPECT_EQ(characterCount("abc"), 3u);
  EXPECT_EQ(characterCount("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u);  // thumbs up, skin tone
  EXPECT_EQ(characterCount("e\xCC\x81"), 1u);                         // e + combining acute
  EXPECT_EQ(characterCount("\r\n"), 1u);
  EXPECT_EQ(characterCount("\r\r\n\n"), 3u);
  EXPECT_EQ(characterCount("abe\xCC\x81"), 3u);  // the mark joins the last ASCII letter
  EXPECT_EQ(characterCount("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"),
            2u);  // two flags
  EXPECT_EQ(
      characterCount("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"),
      1u);                                                                // family joined by ZWJ
  EXPECT_EQ(characterCount("\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8"), 1u);  // Hangul jamo L V T
  EXPECT_EQ(characterCount("\n\xCC\x81"), 2u);  // nothing extends a line feed
}

TEST(CharacterCount, DoesNotCrashOnIllFormedText) {
  EXPECT_EQ(characterCount("\xFF\xFE"), 2u);
  EXPECT_EQ(characterCount("a\xF0\x9F"), 2u);
}

// A text mixing every kind of multi-byte cluster, long enough to span many small windows.
std::string mixedText(unsigned seed, std::size_t pieces) {
  const std::vector<std::string> parts = {"x",
                                          "\r\n",
                                          "\r",
                                          "\n",
                                          "e\xCC\x81",
                                          "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
                                          "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7",
                                          "\xF0\x9F\x87\xA9",
                                          "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
                                          "\xED\x95\x9C",
                                          "\xCC\x81",
                                          "\xC3\xA9",
                                          "abc"};
  std::mt19937 rng(seed);
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i)
    text += parts[rng() % parts.size()];
  return text;
}

TEST(CharacterCount, WindowedWalkAgreesWithOneWindow) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const std::string text = mixedText(seed, 200);
    // Windows only give exact counts when no single cluster fills one.
    std::size_t longestCluster = 0;
    for (std::string_view rest = text; !rest.empty();) {
      const std::size_t length = prefixCharacters(rest, 1).size();
      longestCluster = std::max(longestCluster, length);
      rest.remove_prefix(length);
    }
    const std::size_t whole = characterCount(text);
    for (std::size_t extra : {4u, 5u, 11u, 64u, 301u}) {
      const std::size_t window = longestCluster + extra;
      ASSERT_EQ(detail::characterCountInWindows(text, window), whole)
          << "seed " << seed << " window " << window;
    }
  }
}

TEST(PrefixCharacters, TakesWholeClusters) {
  EXPECT_EQ(prefixCharacters("hello", 3), "hel");
  EXPECT_EQ(prefixCharacters("hi", 5), "hi");
  EXPECT_EQ(prefixCharacters("hi", 2), "hi");
  EXPECT_EQ(prefixCharacters("hello", 0), "");
  EXPECT_EQ(prefixCharacters("", 4), "");
  EXPECT_EQ(prefixCharacters("a\r\nb", 2), "a\r\n");
  EXPECT_EQ(prefixCharacters("e\xCC\x81x", 1), "e\xCC\x81");
  EXPECT_EQ(prefixCharacters("abe\xCC\x81z", 3), "abe\xCC\x81");
  EXPECT_EQ(prefixCharacters("abe\xCC\x81z", 2), "ab");
  EXPECT_EQ(prefixCharacters("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\xF0\x9F\x91\x8D", 1),
            "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
}

TEST(PrefixCharacters, EveryPrefixHasTheRequestedLength) {
  for (unsigned seed = 1; seed <= 10; ++seed) {
    const std::string text = mixedText(seed, 60);
    const std::size_t total = characterCount(text);
    std::size_t previous = 0;
    for (std::size_t n = 0; n <= total + 1; ++n) {
      const std::string prefix = prefixCharacters(text, n);
      ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
      ASSERT_EQ(characterCount(prefix), std::min(n, total)) << "seed " << seed << " n " << n;
      ASSERT_TRUE(n == 0 || prefix.size() > previous || n > total);
      previous = prefix.size();
    }
    EXPECT_EQ(prefixCharacters(text, total), text);
  }
}

TEST(Lowercased, LowersAsciiAndBeyond) {
  EXPECT_EQ(lowercased("HeLLo, World 42"), "hello, world 42");
  EXPECT_EQ(lowercased("\xC3\x84\xC3\x96\xC3\x9C"), "\xC3\xA4\xC3\xB6\xC3\xBC");  // ÄÖÜ
  EXPECT_EQ(lowercased("\xCE\xA3\xCE\x91\xCE\xA3"), "\xCF\x83\xCE\xB1\xCF\x82");  // ΣΑΣ -> σας
  EXPECT_EQ(lowercased("\xC4\xB0"), "i\xCC\x87");  // İ grows to i + combining dot
  EXPECT_EQ(lowercased("PASTE CODE \xE2\x80\xA6"), "paste code \xE2\x80\xA6");
  EXPECT_EQ(lowercased(""), "");
}

TEST(Lowercased, KeepsIllFormedBytes) {
  EXPECT_EQ(lowercased("A\xFF\xC3\x84"), "a\xFF\xC3\xA4");
}

}  // namespace
}  // namespace tarno::core
