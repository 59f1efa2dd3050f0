// Tests for the UTF-8 and Unicode text helpers.
#include "tarno/core/text.hpp"

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <random>
#include <string>
#include <vector>

namespace tarno::core {
namespace {

using namespace std::string_literals;

const std::string kFFFD = "\xEF\xBF\xBD";

// ICU's converter also replaces ill-formed UTF-8 per maximal subpart; a round trip through
// UTF-16 with it gives an independent answer to compare against.
std::string icuLossyRoundTrip(const std::string& bytes) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t utf16Length = 0;
  std::vector<UChar> utf16(bytes.size() + 1);
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &utf16Length, bytes.data(),
                       static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr, &status);
  std::string out(bytes.size() * 3 + 4, '\0');
  int32_t outLength = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, utf16.data(), utf16Length,
              &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  out.resize(static_cast<std::size_t>(outLength));
  return out;
}

TEST(DecodeUTF8Lossy, KeepsValidTextAndReplacesEachMaximalSubpart) {
  const std::string valid = "plain \0 caf\xC3\xA9 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xE2\x80\xA6"s;
  EXPECT_TRUE(isValidUTF8(valid));
  EXPECT_EQ(decodeUTF8Lossy(std::string_view(valid)), valid);
  EXPECT_EQ(decodeUTF8Lossy(std::string(valid)), valid);

  // Overlongs, surrogates and the rest are compared with ICU on random bytes below.
  const std::pair<std::string, std::string> cases[] = {
      {"a\x80z", "a" + kFFFD + "z"},                        // lone continuation byte
      {"ok\xF0\x9F\x98", "ok" + kFFFD},                     // truncated at the end
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD + kFFFD + "d"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_FALSE(isValidUTF8(input));
    EXPECT_EQ(decodeUTF8Lossy(std::string_view(input)), expected) << input;
    EXPECT_EQ(decodeUTF8Lossy(std::string(input)), expected) << input;
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

TEST(TrimmingWhitespaceAndNewlines, RemovesOnlyOuterWhiteSpaceAndKeepsBadBytes) {
  // White_Space beyond ASCII is U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
  // U+202F, U+205F and U+3000, in one, two and three bytes; the cases take each group.
  const std::pair<std::string, std::string> cases[] = {
      {" \t\r\n hello world \r\n\v\f", "hello world"},
      {"\xE2\x80\x80\xE2\x80\x85\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F-\xE2\x80\x8A", "-"},
      {"\xC2\xA0\xE3\x80\x80x\xE2\x80\xA9\xC2\x85", "x"},
      {"a \xE2\x80\x83 b", "a \xE2\x80\x83 b"},
      {" \n\xE2\x80\xA8\xE1\x9A\x80 ", ""},
      {"\xE2\x80\x8Bx ", "\xE2\x80\x8Bx"},  // zero-width space is not White_Space
      {" \xE2\x80 ", "\xE2\x80"},
      {"\xFF\xE2\x80\x80", "\xFF"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(trimmingWhitespaceAndNewlines(input), expected) << input;
    EXPECT_EQ(trimmingWhitespaceAndNewlines("x" + input + "x"), "x" + input + "x") << input;
  }
}

TEST(CharacterCount, CountsAndCutsExtendedGraphemeClusters) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"abc", 3},
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1},  // thumbs up, skin tone
      {"abe\xCC\x81", 3},                       // the mark joins the last ASCII letter
      {"\r\r\n\n", 3},
      {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 2},          // two flags
      {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 1},  // ZWJ
      {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 1},  // Hangul jamo L V T
      {"\n\xCC\x81", 2},                            // nothing extends a line feed
      {"\xFF\xFE", 2},
      {"a\xF0\x9F", 2},
  };
  for (const auto& [text, count] : cases) {
    EXPECT_EQ(characterCount(text), count) << text;
  }
  EXPECT_EQ(prefixCharacters("hi", 5), "hi");
  EXPECT_EQ(prefixCharacters("a\r\nb", 2), "a\r\n");
  EXPECT_EQ(prefixCharacters("abe\xCC\x81z", 3), "abe\xCC\x81");
  EXPECT_EQ(prefixCharacters("abe\xCC\x81z", 2), "ab");
}

TEST(CharacterCount, WindowedWalkAgreesWithOneWindow) {
  // Every kind of multi-byte cluster; the longest, the ZWJ family, takes 11 bytes.
  std::string text;
  for (int i = 0; i < 40; ++i)
    text +=
        "x\r\ne\xCC\x81\xCC\x81\r\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\n\xC3\xA9" +
        std::to_string(i);
  // Windows only give exact counts when no single cluster fills one; these sizes put the
  // window edges at every offset of the repeating pattern.
  for (std::size_t window = 12; window < 80; ++window) {
    ASSERT_EQ(detail::characterCountInWindows(text, window), characterCount(text)) << window;
  }
}

TEST(Lowercased, LowersFullUnicodeAndKeepsIllFormedBytes) {
  EXPECT_EQ(lowercased("HeLLo, World 42"), "hello, world 42");
  EXPECT_EQ(lowercased("\xC3\x84\xC3\x96\xC3\x9C"), "\xC3\xA4\xC3\xB6\xC3\xBC");  // ÄÖÜ
  EXPECT_EQ(lowercased("\xCE\xA3\xCE\x91\xCE\xA3"), "\xCF\x83\xCE\xB1\xCF\x82");  // ΣΑΣ -> σας
  EXPECT_EQ(lowercased("\xC4\xB0"), "i\xCC\x87");  // İ grows to i + combining dot
  EXPECT_EQ(lowercased("A\xFF\xC3\x84"), "a\xFF\xC3\xA4");
}

TEST(CaseInsensitive, ComparesCaselessCanonicalFormsOnCharacterBoundaries) {
  EXPECT_TRUE(equalsIgnoringCase("BEACH", "beach"));
  EXPECT_TRUE(equalsIgnoringCase("\u212Aelvin", "kelvin"));  // the Kelvin sign lowers to k
  EXPECT_FALSE(equalsIgnoringCase("beach", "beaches"));
  const struct {
    std::string text;
    std::string fragment;
    std::string locale;
    bool contained;
  } rows[] = {
      {"IMG_1234.HEIC", "img_12", "en", true},
      {"IMG_1234.HEIC", "", "en", false},
      {"", "a", "en", false},
      {"Stra\u00DFe.jpg", "STRASSE", "en", true},                // full case folding
      {"Caf\u00E9.jpg", "CAFE\u0301", "en", true},               // canonical equivalence
      {"Cafe\u0301.jpg", "cafe", "en", false},                   // would split a character
      {"\u1F08\u03A3\u03A3", "\u1F00\u03C3\u03C2", "en", true},  // every sigma folds alike
      {"line\r\nnext", "\r", "en", false},
      {"DIYARBAKIR.png", "diyarbakir", "en", true},
      {"DIYARBAKIR.png", "diyarbakir", "tr", false},  // Turkish I is dotless
      {"D\u0130YARBAKIR.png", "diyarbak\u0131r", "tr", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(localizedCaseInsensitiveContains(row.text, row.fragment, row.locale), row.contained)
        << row.text << " / " << row.fragment << " / " << row.locale;
  }
}

}  // namespace
}  // namespace tarno::core
