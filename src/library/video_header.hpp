// The few facts the library shows about an MP4 / QuickTime video, read from its movie header
// ('mvhd') and track headers ('tkhd') with a small bounded box walker: exiv2's video support is
// optional at build time and reads far more than we need.
#pragma once

#include <cstdint>
#include <optional>

namespace tarno::library {

struct VideoHeader {
  double durationSeconds = 0;
  std::int64_t width = 0;  // of the first visual track, after its rotation
  std::int64_t height = 0;
  std::optional<std::int64_t> creationUnixSeconds;  // absent when the file leaves it at zero
};

// Reads the header of the video open at `fd` (any position; pread is used). Absent when the
// file has no well-formed 'moov' box with an 'mvhd'.
std::optional<VideoHeader> readVideoHeader(int fd);

}  // namespace tarno::library
