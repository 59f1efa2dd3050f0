// Cutting raw output into lines: chunk boundaries, bytes of split characters, odd bytes.
#include "tarno/assistant/engine/line_accumulator.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tarno::assistant {
namespace {

using Lines = std::vector<std::string>;

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

TEST(LineAccumulatorTest, KeepsTheUnterminatedTailBuffered) {
  LineAccumulator acc;
  EXPECT_EQ(acc.append("a\nb"), Lines{"a"});
  EXPECT_EQ(acc.buffer(), "b");
  EXPECT_EQ(acc.append("c\n\n"), (Lines{"bc", ""}));
  EXPECT_EQ(acc.buffer(), "");
  EXPECT_EQ(acc.append(""), Lines{});
  EXPECT_EQ(acc.append("x"), Lines{});
  EXPECT_EQ(acc.append("y"), Lines{});
  EXPECT_EQ(acc.append("\n1\n2\n"), (Lines{"xy", "1", "2"}));
}

TEST(LineAccumulatorTest, FlushReturnsTheLastLineOnce) {
  LineAccumulator acc;
  EXPECT_EQ(acc.flush(), std::nullopt);
  acc.append("{\"type\":\"result\"}");
  EXPECT_EQ(acc.flush(), "{\"type\":\"result\"}");
  EXPECT_EQ(acc.buffer(), "");
  EXPECT_EQ(acc.flush(), std::nullopt);
  acc.append("done\n");
  EXPECT_EQ(acc.flush(), std::nullopt);
}

TEST(LineAccumulatorTest, CarriageReturnsStayInTheLine) {
  EXPECT_EQ(feed("a\r\nb\r\n\r", {}), (Lines{"a\r", "b\r", "\r"}));
  EXPECT_EQ(feed("a\r\nb", {2}), (Lines{"a\r", "b"}));
}

TEST(LineAccumulatorTest, NulBytesArePlainBytes) {
  const std::string bytes("a\0b\n\0\n", 6);
  EXPECT_EQ(feed(bytes, {2}), (Lines{std::string("a\0b", 3), std::string("\0", 1)}));
}

TEST(LineAccumulatorTest, MultiByteCharactersSurviveEverySplit) {
  // Two-, three- and four-byte characters, each split at every byte.
  const std::string line = "caf\u00e9 \u2014 \U0001F44D\U0001F3FD ok";
  const std::string bytes = line + "\n" + line;
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    EXPECT_EQ(feed(bytes, {cut}), (Lines{line, line})) << "cut at " << cut;
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t i = 1; i < bytes.size(); ++i)
    everyByte.push_back(i);
  EXPECT_EQ(feed(bytes, everyByte), (Lines{line, line}));
}

TEST(LineAccumulatorTest, IllFormedBytesBecomeReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(feed("a\xFF"
                 "b\n\xC3\n",
                 {}),
            (Lines{"a" + fffd + "b", fffd}));
  // A character that never completes is replaced only when its line ends.
  EXPECT_EQ(feed("x\xF0\x9F\x98", {2}), Lines{"x" + fffd});
  EXPECT_EQ(feed("x\xF0\x9F\x98\ny", {2, 3}), (Lines{"x" + fffd, "y"}));
}

TEST(LineAccumulatorTest, AnyChunkingGivesTheSameLines) {
  std::string bytes;
  for (int i = 0; i < 200; ++i) {
    bytes += "{\"type\":\"stream_event\",\"text\":\"\u00fcber \u6f22\u5b57 " + std::to_string(i) +
             "\"}\n";
    if (i % 17 == 0) bytes += "\n";
  }
  bytes += "tail \u00e9";
  const Lines whole = feed(bytes, {});
  ASSERT_EQ(whole.back(), "tail \u00e9");
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> cuts;
    std::size_t at = 0;
    while (true) {
      at += std::uniform_int_distribution<std::size_t>(1, 97)(rng);
      if (at >= bytes.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(feed(bytes, cuts), whole) << "round " << round;
  }
}

TEST(LineAccumulatorTest, EightMebibyteLineInSixtyFourKibibyteChunks) {
  const std::size_t size = std::size_t{8} << 20;
  std::string bytes(size, 'x');
  for (std::size_t i = 0; i < size; i += 4099)
    bytes.replace(i, 2, "\u00e9");
  bytes += "\nnext";
  LineAccumulator acc;
  Lines lines;
  for (std::size_t at = 0; at < bytes.size(); at += 65536) {
    for (std::string& l : acc.append(std::string_view(bytes).substr(at, 65536)))
      lines.push_back(std::move(l));
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), size);
  EXPECT_EQ(lines[0], bytes.substr(0, size));
  EXPECT_EQ(acc.flush(), "next");
}

}  // namespace
}  // namespace tarno::assistant
