// Tests for frame encoding and the incremental line scanner.
#include "tarno/protocol/frame_codec.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tarno::protocol {
namespace {

using FrameCodec::FrameError;
using FrameCodec::LineScanner;
using FrameCodec::maxFrameBytes;
using Lines = std::vector<std::string>;

constexpr auto kMax = static_cast<std::size_t>(maxFrameBytes);

FrameError scanError(LineScanner& scanner, std::string_view chunk) {
  try {
    const Lines lines = scanner.append(chunk);
    ADD_FAILURE() << "no error; " << lines.size() << " lines returned";
  } catch (const FrameError& e) {
    return e;
  }
  return FrameError::interiorNewline();
}

FrameError encodeError(std::string payload) {
  try {
    FrameCodec::encodeFrame(std::string_view(payload));
    ADD_FAILURE() << "encoded a payload of " << payload.size() << " bytes";
  } catch (const FrameError& e) {
    return e;
  }
  return FrameError::frameTooLarge(-1);
}

TEST(FrameError, ComparesCaseAndCount) {
  EXPECT_EQ(FrameError::frameTooLarge(5), FrameError::frameTooLarge(5));
  EXPECT_NE(FrameError::frameTooLarge(5), FrameError::frameTooLarge(6));
  EXPECT_NE(FrameError::frameTooLarge(0), FrameError::interiorNewline());
  EXPECT_EQ(FrameError::interiorNewline(), FrameError::interiorNewline());
}

TEST(EncodeFrame, AppendsOneLineFeed) {
  EXPECT_EQ(FrameCodec::encodeFrame(""), "\n");
  EXPECT_EQ(FrameCodec::encodeFrame(std::string_view("{\"a\":1}\r")), "{\"a\":1}\r\n");
  EXPECT_EQ(FrameCodec::encodeFrame(std::string("x\0y", 3)), std::string("x\0y\n", 4));
  EXPECT_EQ(FrameCodec::encodeFrame(std::vector<std::int64_t>{1, 2}), "[1,2]\n");
}

TEST(EncodeFrame, EnforcesTheLimitAndRejectsLineFeeds) {
  EXPECT_EQ(FrameCodec::encodeFrame(std::string(kMax, 'x')).size(), kMax + 1);
  EXPECT_EQ(encodeError(std::string(kMax + 1, 'x')), FrameError::frameTooLarge(maxFrameBytes + 1));
  EXPECT_EQ(encodeError("a\nb"), FrameError::interiorNewline());
  EXPECT_EQ(encodeError("\n"), FrameError::interiorNewline());
  // The line feed test comes first, even for an oversized payload.
  EXPECT_EQ(encodeError(std::string(kMax + 1, 'x') + "\n"), FrameError::interiorNewline());
  std::string moved(kMax + 1, 'x');
  EXPECT_THROW(FrameCodec::encodeFrame(std::move(moved)), FrameError);
}

TEST(LineScanner, ReturnsCompleteLinesOnly) {
  LineScanner scanner;
  EXPECT_EQ(scanner.append("a\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(scanner.bufferedByteCount(), 0u);

  EXPECT_EQ(scanner.append("a"), Lines{});
  EXPECT_EQ(scanner.append("b\n"), Lines{"ab"});

  EXPECT_EQ(scanner.append("\n"), Lines{""});
  EXPECT_EQ(scanner.append("\n\nz\n"), (Lines{"", "", "z"}));
  EXPECT_EQ(scanner.append("x\r\n"), Lines{"x\r"});

  EXPECT_EQ(scanner.append("a\nbc"), Lines{"a"});
  EXPECT_EQ(scanner.bufferedByteCount(), 2u);
  EXPECT_EQ(scanner.append(""), Lines{});
  EXPECT_EQ(scanner.append("\n"), Lines{"bc"});
  EXPECT_EQ(scanner.bufferedByteCount(), 0u);
}

TEST(LineScanner, AnyChunkingGivesTheSameLines) {
  std::mt19937 rng(7);
  std::vector<std::string> frames;
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    std::string frame(rng() % 3 == 0 ? 0 : rng() % 2000, '\0');
    for (char& c : frame)
      c = "{}\"abc:,\r\0\xC3\xA9"[rng() % 12];
    frames.push_back(frame);
    stream += frame + "\n";
  }
  stream += "unterminated tail";

  auto scanAll = [&](auto nextChunkSize) {
    LineScanner scanner;
    Lines lines;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min(nextChunkSize(), stream.size() - at);
      for (std::string& line : scanner.append(std::string_view(stream).substr(at, n))) {
        lines.push_back(std::move(line));
      }
      at += n;
    }
    EXPECT_EQ(scanner.bufferedByteCount(), std::string_view("unterminated tail").size());
    return lines;
  };
  EXPECT_EQ(scanAll([] { return std::size_t{1}; }), frames);
  EXPECT_EQ(scanAll([] { return std::size_t{65536}; }), frames);
  EXPECT_EQ(scanAll([&] { return std::size_t{rng() % 64}; }), frames);
  EXPECT_EQ(scanAll([&] { return std::size_t{1 + rng() % 5000}; }), frames);
}

TEST(LineScanner, HoldsExactlyTheLimitAndRejectsOneMore) {
  LineScanner scanner;
  EXPECT_EQ(scanner.append(std::string(kMax - 1, 'x')), Lines{});
  EXPECT_EQ(scanner.append("x"), Lines{});
  EXPECT_EQ(scanner.bufferedByteCount(), kMax);
  EXPECT_EQ(scanError(scanner, "y"), FrameError::frameTooLarge(maxFrameBytes + 1));
  // The remainder is kept and keeps growing until its line ends.
  EXPECT_EQ(scanner.bufferedByteCount(), kMax + 1);
  EXPECT_EQ(scanError(scanner, "z"), FrameError::frameTooLarge(maxFrameBytes + 2));
  const Lines lines = scanner.append("\nnext");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(kMax, 'x') + "yz");
  EXPECT_EQ(scanner.bufferedByteCount(), 4u);
}

TEST(LineScanner, ErrorDiscardsTheLinesOfThatChunk) {
  LineScanner scanner;
  EXPECT_EQ(scanError(scanner, "ok\n" + std::string(kMax + 1, 'x')),
            FrameError::frameTooLarge(maxFrameBytes + 1));
  EXPECT_EQ(scanner.bufferedByteCount(), kMax + 1);
  const Lines lines = scanner.append("\n");
  ASSERT_EQ(lines.size(), 1u);  // "ok" is gone for good
  EXPECT_EQ(lines[0].size(), kMax + 1);
}

TEST(LineScanner, LimitAppliesOnlyToTheUnterminatedRemainder) {
  LineScanner scanner;
  EXPECT_EQ(scanner.append(std::string(kMax, 'x')), Lines{});
  const Lines lines = scanner.append(std::string(100, 'y') + "\nrest");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), kMax + 100);
  EXPECT_EQ(scanner.bufferedByteCount(), 4u);

  LineScanner fresh;
  const Lines single = fresh.append(std::string(kMax + 10, 'z') + "\n");
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].size(), kMax + 10);
}

TEST(LineScanner, SearchesEachByteOnce) {
  // One megabyte in one-byte chunks: rescanning the held bytes on every call would take
  // around half a million megabytes of searching.
  LineScanner scanner;
  constexpr std::size_t kSize = 1 << 20;
  for (std::size_t i = 0; i < kSize; ++i) {
    ASSERT_TRUE(scanner.append("q").empty());
  }
  EXPECT_EQ(scanner.bufferedByteCount(), kSize);
  const Lines lines = scanner.append("\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(kSize, 'q'));
}

TEST(LineScanner, ReturnedLinesOutliveLaterCalls) {
  LineScanner scanner;
  scanner.append("first ha");
  const Lines first = scanner.append("lf\nsecond");
  const Lines second = scanner.append(" half\n");
  EXPECT_EQ(first, Lines{"first half"});
  EXPECT_EQ(second, Lines{"second half"});
}

}  // namespace
}  // namespace tarno::protocol
