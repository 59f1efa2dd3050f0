// Cutting raw output into lines: chunk boundaries, bytes of split characters, odd bytes.
#include "tarno/assistant/engine/line_accumulator.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarno::assistant {
namespace {

using Lines = std::vector<std::string>;

const std::string kFFFD = "\xEF\xBF\xBD";

// Feeds `bytes` cut at the given offsets, then flushes; returns every line.
Lines feed(std::string_view bytes, const std::vector<std::size_t>& cuts) {
  LineAccumulator acc;
  Lines lines;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    for (std::string& l : acc.append(bytes.substr(from, cut - from)))
      lines.push_back(std::move(l));
    from = cut;
  }
  for (std::string& l : acc.append(bytes.substr(from)))
    lines.push_back(std::move(l));
  if (auto rest = acc.flush()) lines.push_back(std::move(*rest));
  return lines;
}

TEST(LineAccumulatorTest, BuffersTheTailAndFlushesTheLastLineOnce) {
  LineAccumulator acc;
  EXPECT_EQ(acc.flush(), std::nullopt);
  EXPECT_EQ(acc.append("a\nb"), Lines{"a"});
  EXPECT_EQ(acc.buffer(), "b");
  EXPECT_EQ(acc.append("c\n\n"), (Lines{"bc", ""}));
  EXPECT_EQ(acc.append("{\"type\":\"result\"}"), Lines{});
  EXPECT_EQ(acc.flush(), "{\"type\":\"result\"}");
  EXPECT_EQ(acc.flush(), std::nullopt);
  acc.append("done\n");
  EXPECT_EQ(acc.flush(), std::nullopt);
}

TEST(LineAccumulatorTest, CarriageReturnsAndNulsArePlainBytes) {
  EXPECT_EQ(feed("a\r\nb\r\n\r", {2}), (Lines{"a\r", "b\r", "\r"}));
  EXPECT_EQ(feed(std::string("a\0b\n\0\n", 6), {2}),
            (Lines{std::string("a\0b", 3), std::string("\0", 1)}));
}

TEST(LineAccumulatorTest, MultiByteCharactersSurviveEverySplit) {
  // Two-, three- and four-byte characters, each split at every byte.
  const std::string line = "caf\u00e9 \u2014 \U0001F44D\U0001F3FD ok";
  const std::string bytes = line + "\n" + line;
  std::vector<std::size_t> everyByte;
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    EXPECT_EQ(feed(bytes, {cut}), (Lines{line, line})) << "cut at " << cut;
    if (cut > 0 && cut < bytes.size()) everyByte.push_back(cut);
  }
  EXPECT_EQ(feed(bytes, everyByte), (Lines{line, line}));
}

TEST(LineAccumulatorTest, IllFormedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(feed("a\xFF"
                 "b\n\xC3\n",
                 {}),
            (Lines{"a" + kFFFD + "b", kFFFD}));
  // A character that never completes is replaced only when its line ends.
  EXPECT_EQ(feed("x\xF0\x9F\x98", {2}), Lines{"x" + kFFFD});
  EXPECT_EQ(feed("x\xF0\x9F\x98\ny", {2, 3}), (Lines{"x" + kFFFD, "y"}));
}

TEST(LineAccumulatorTest, ALineOverTheLimitIsDroppedWholeWithoutBeingHeld) {
  LineAccumulator acc;
  const std::string chunk(1 << 20, 'x');
  for (std::size_t sent = 0; sent <= LineAccumulator::maxLineBytes; sent += chunk.size())
    ASSERT_TRUE(acc.append(chunk).empty() && acc.buffer().size() <= LineAccumulator::maxLineBytes);
  EXPECT_EQ(acc.append("tail\nafter\nlast"), Lines{"after"});
  EXPECT_EQ(acc.flush(), "last");
}

}  // namespace
}  // namespace tarno::assistant
