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

template <class Call>
FrameError errorOf(Call&& call) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const FrameError& e) {
    return e;
  }
  return FrameError::frameTooLarge(-1);
}

TEST(EncodeFrame, AppendsOneLineFeedUpToTheLimit) {
  EXPECT_EQ(FrameCodec::encodeFrame(""), "\n");
  EXPECT_EQ(FrameCodec::encodeFrame(std::string("x\0y\r", 4)), std::string("x\0y\r\n", 5));
  EXPECT_EQ(FrameCodec::encodeFrame(std::vector<std::int64_t>{1, 2}), "[1,2]\n");
  EXPECT_EQ(FrameCodec::encodeFrame(std::string(kMax, 'x')).size(), kMax + 1);

  const auto encode = [](std::string payload) {
    return errorOf([&] { FrameCodec::encodeFrame(std::string_view(payload)); });
  };
  EXPECT_EQ(encode(std::string(kMax + 1, 'x')), FrameError::frameTooLarge(maxFrameBytes + 1));
  EXPECT_EQ(encode("a\nb"), FrameError::interiorNewline());
  // The line feed test comes first, even for an oversized payload.
  EXPECT_EQ(encode(std::string(kMax + 1, 'x') + "\n"), FrameError::interiorNewline());
  EXPECT_THROW(FrameCodec::encodeFrame(std::string(kMax + 1, 'x')), FrameError);
}

TEST(LineScanner, ReturnsCompleteLinesOnlyAndKeepsTheRemainder) {
  LineScanner scanner;
  EXPECT_EQ(scanner.append("a\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(scanner.append("a"), Lines{});
  EXPECT_EQ(scanner.append("b\n\n\nz\n"), (Lines{"ab", "", "", "z"}));
  EXPECT_EQ(scanner.append("x\r\n"), Lines{"x\r"});
  EXPECT_EQ(scanner.append("a\nbc"), Lines{"a"});
  EXPECT_EQ(scanner.bufferedByteCount(), 2u);
  EXPECT_EQ(scanner.append("\n"), Lines{"bc"});
  EXPECT_EQ(scanner.bufferedByteCount(), 0u);
}

TEST(LineScanner, AnyChunkingGivesTheSameLines) {
  std::mt19937 rng(7);
  Lines frames;
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    std::string frame(rng() % 3 == 0 ? 0 : rng() % 2000, '\0');
    for (char& c : frame)
      c = "{}\"abc:,\r\0\xC3\xA9"[rng() % 12];
    frames.push_back(frame);
    stream += frame + "\n";
  }
  stream += "tail";

  const auto scanAll = [&](auto nextChunkSize) {
    LineScanner scanner;
    Lines lines;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min(nextChunkSize(), stream.size() - at);
      for (std::string& line : scanner.append(std::string_view(stream).substr(at, n)))
        lines.push_back(std::move(line));
      at += n;
    }
    EXPECT_EQ(scanner.bufferedByteCount(), 4u);
    return lines;
  };
  EXPECT_EQ(scanAll([] { return std::size_t{1}; }), frames);
  EXPECT_EQ(scanAll([&] { return std::size_t{rng() % 64}; }), frames);
  EXPECT_EQ(scanAll([&] { return std::size_t{1 + rng() % 5000}; }), frames);
}

TEST(LineScanner, HoldsExactlyTheLimitAndRejectsOneMore) {
  LineScanner scanner;
  EXPECT_EQ(scanner.append(std::string(kMax - 1, 'x')), Lines{});
  EXPECT_EQ(scanner.append("x"), Lines{});
  EXPECT_EQ(errorOf([&] { scanner.append("y"); }), FrameError::frameTooLarge(maxFrameBytes + 1));
  // The remainder is kept and keeps growing until its line ends.
  EXPECT_EQ(errorOf([&] { scanner.append("z"); }), FrameError::frameTooLarge(maxFrameBytes + 2));
  EXPECT_EQ(scanner.append("\nnext"), Lines{std::string(kMax, 'x') + "yz"});
  EXPECT_EQ(scanner.bufferedByteCount(), 4u);

  // Lines completed by the chunk that broke the limit are lost with it.
  LineScanner lossy;
  EXPECT_EQ(errorOf([&] { lossy.append("ok\n" + std::string(kMax + 1, 'x')); }),
            FrameError::frameTooLarge(maxFrameBytes + 1));
  EXPECT_EQ(lossy.append("\n"), Lines{std::string(kMax + 1, 'x')});

  // Only the unterminated remainder is limited, also after a line in the same chunk; a line
  // ended within one call is whole.
  LineScanner fresh;
  EXPECT_EQ(fresh.append("a\n" + std::string(kMax, 'z')), Lines{"a"});
  EXPECT_EQ(fresh.append("zz\nrest"), Lines{std::string(kMax + 2, 'z')});
  EXPECT_EQ(fresh.append(std::string(kMax + 1, 'q') + "\n").size(), 1u);
}

}  // namespace
}  // namespace tarno::protocol
