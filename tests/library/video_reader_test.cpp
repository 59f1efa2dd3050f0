// Videos are read through the same entry points as photos; these files are written box by box.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "library/media_fixture.hpp"
#include "tarno/library/media_reader.hpp"

namespace tarno::library {
namespace {

using testing::TempFolder;
using testing::writeBytes;

std::string be32(std::uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string be64(std::uint64_t v) {
  return be32(std::uint32_t(v >> 32)) + be32(std::uint32_t(v));
}
std::string box(const std::string& type, const std::string& payload) {
  return be32(std::uint32_t(8 + payload.size())) + type + payload;
}

constexpr std::uint32_t kOne = 0x0001'0000;  // 1.0 in 16.16
constexpr std::uint64_t kQuickTimeToUnix = 2'082'844'800;

std::string matrix(bool quarterTurn) {
  const std::uint32_t minusOne = static_cast<std::uint32_t>(-static_cast<std::int32_t>(kOne));
  return quarterTurn ? be32(0) + be32(kOne) + be32(0) + be32(minusOne) + be32(0) + be32(0) +
                           be32(0) + be32(0) + be32(0x4000'0000)
                     : be32(kOne) + be32(0) + be32(0) + be32(0) + be32(kOne) + be32(0) + be32(0) +
                           be32(0) + be32(0x4000'0000);
}

struct Movie {
  int version = 0;
  std::uint64_t created = 0;  // QuickTime seconds
  std::uint32_t timescale = 600;
  std::uint64_t duration = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool quarterTurn = false;
};

std::string mvhd(const Movie& m) {
  std::string p = be32(std::uint32_t(m.version) << 24);
  if (m.version == 1)
    p += be64(m.created) + be64(m.created) + be32(m.timescale) + be64(m.duration);
  else
    p += be32(std::uint32_t(m.created)) + be32(std::uint32_t(m.created)) + be32(m.timescale) +
         be32(std::uint32_t(m.duration));
  p += be32(kOne) + std::string("\x01\x00", 2) + std::string(10, '\0') + matrix(false) +
       std::string(24, '\0') + be32(3);
  return box("mvhd", p);
}

std::string tkhd(const Movie& m, std::uint32_t width, std::uint32_t height) {
  std::string p = be32((std::uint32_t(m.version) << 24) | 3);
  if (m.version == 1)
    p += be64(m.created) + be64(m.created) + be32(1) + be32(0) + be64(m.duration);
  else
    p += be32(std::uint32_t(m.created)) + be32(std::uint32_t(m.created)) + be32(1) + be32(0) +
         be32(std::uint32_t(m.duration));
  p += std::string(8, '\0') + std::string(8, '\0') + matrix(m.quarterTurn) + be32(width << 16) +
       be32(height << 16);
  return box("tkhd", p);
}

// ftyp, a big mdat first (as cameras write), then the movie with a sound track and a picture.
std::string movieFile(const Movie& m) {
  const std::string sound = box("trak", tkhd(m, 0, 0));
  const std::string picture = box("trak", tkhd(m, m.width, m.height) + box("mdia", ""));
  return box("ftyp", "isom" + be32(0x200) + "isommp42") + box("mdat", std::string(70'000, 'x')) +
         box("moov", mvhd(m) + sound + picture);
}

TEST(VideoReader, DurationSizeAndDateComeFromTheMovieHeaders) {
  TempFolder folder;
  const Movie movie{.created = kQuickTimeToUnix + 1'500'000'000,
                    .timescale = 600,
                    .duration = 7500,
                    .width = 1920,
                    .height = 1080};
  writeBytes(folder / "clip.mp4", movieFile(movie));
  const auto metadata = readMetadata(folder / "clip.mp4", FileStamp{.mtimeNs = 0});
  ASSERT_TRUE(metadata);
  EXPECT_TRUE(metadata->isVideo);
  EXPECT_DOUBLE_EQ(metadata->durationSeconds, 12.5);
  EXPECT_EQ(metadata->info.pixelWidth, 1920);
  EXPECT_EQ(metadata->info.pixelHeight, 1080);
  EXPECT_EQ(metadata->info.formatLabel, "MP4");
  ASSERT_TRUE(metadata->info.captureDate);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                metadata->info.captureDate->time_since_epoch())
                .count(),
            1'500'000'000);

  const auto tags = readAllTags(folder / "clip.mp4");
  ASSERT_TRUE(tags);
  EXPECT_NE(std::find(tags->begin(), tags->end(),
                      std::pair<std::string, std::string>{"Video.Duration", "12.500"}),
            tags->end());
}

TEST(VideoReader, LongHeadersAndATurnedTrack) {
  TempFolder folder;
  const Movie movie{.version = 1,
                    .timescale = 1000,
                    .duration = 3'000'000'000ull,
                    .width = 1280,
                    .height = 720,
                    .quarterTurn = true};
  writeBytes(folder / "turned.MOV", movieFile(movie));
  const auto metadata = readMetadata(folder / "turned.MOV", FileStamp{.mtimeNs = 0});
  ASSERT_TRUE(metadata);
  EXPECT_DOUBLE_EQ(metadata->durationSeconds, 3'000'000);
  EXPECT_EQ(metadata->info.pixelWidth, 720);
  EXPECT_EQ(metadata->info.pixelHeight, 1280);
  EXPECT_EQ(metadata->info.formatLabel, "MOV");
  // No creation time in the file: the file's own time stands in.
  ASSERT_TRUE(metadata->info.captureDate);
  EXPECT_EQ(metadata->info.captureDate->time_since_epoch().count(), 0);
}

TEST(VideoReader, BrokenBoxesAreRefused) {
  TempFolder folder;
  const std::string good = movieFile(Movie{.duration = 60, .width = 8, .height = 8});
  // A box claiming more bytes than the file has, a box of size 4, and a file cut mid-movie.
  writeBytes(folder / "long.mp4", be32(1'000'000) + "moov" + mvhd(Movie{.duration = 60}));
  writeBytes(folder / "tiny.mp4", be32(4) + "moov" + std::string(200, '\0'));
  writeBytes(folder / "cut.mp4", good.substr(0, good.size() - 150));
  writeBytes(folder / "zero-scale.mp4", box("moov", mvhd(Movie{.timescale = 0, .duration = 5})));
  for (const char* name : {"long.mp4", "tiny.mp4", "cut.mp4", "zero-scale.mp4"})
    EXPECT_FALSE(readMetadata(folder / name, FileStamp{})) << name;
}

}  // namespace
}  // namespace tarno::library
