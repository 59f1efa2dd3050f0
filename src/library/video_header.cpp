#include "library/video_header.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace tarno::library {
namespace {

// Seconds from 1904-01-01 (the QuickTime epoch) to 1970-01-01.
constexpr std::int64_t kQuickTimeEpochOffset = 2'082'844'800;
// A file has a handful of top-level boxes and a movie a few tracks; anything beyond these
// counts is not a video we can use, and the walk stops instead of reading on.
constexpr int kMaxBoxesPerLevel = 4096;

std::uint32_t be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
std::uint64_t be64(const unsigned char* p) {
  return (std::uint64_t{be32(p)} << 32) | be32(p + 4);
}

bool readAt(int fd, std::int64_t offset, void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    out += n;
    offset += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

struct Box {
  char type[4];
  std::int64_t payload;  // offset of the box's content
  std::int64_t end;      // offset just past the box
};

// Calls `visit(box)` for each box between `begin` and `end`; stops early when it returns false.
template <class Visit>
bool forEachBox(int fd, std::int64_t begin, std::int64_t end, Visit visit) {
  std::int64_t at = begin;
  for (int count = 0; at + 8 <= end && count < kMaxBoxesPerLevel; ++count) {
    unsigned char head[16];
    if (!readAt(fd, at, head, 8)) return false;
    std::uint64_t size = be32(head);
    std::int64_t payload = at + 8;
    if (size == 1) {
      if (at + 16 > end || !readAt(fd, at + 8, head + 8, 8)) return false;
      size = be64(head + 8);
      payload = at + 16;
    } else if (size == 0) {
      size = static_cast<std::uint64_t>(end - at);
    }
    if (size < static_cast<std::uint64_t>(payload - at) ||
        size > static_cast<std::uint64_t>(end - at))
      return false;
    Box box;
    std::memcpy(box.type, head + 4, 4);
    box.payload = payload;
    box.end = at + static_cast<std::int64_t>(size);
    if (!visit(box)) return true;
    at = box.end;
  }
  return true;
}

bool isType(const Box& box, const char (&type)[5]) {
  return std::memcmp(box.type, type, 4) == 0;
}

// mvhd: version(1) flags(3), then creation/modification times, timescale, duration.
bool readMovieHeader(int fd, const Box& box, VideoHeader* header) {
  std::array<unsigned char, 32> b{};
  const std::int64_t available = box.end - box.payload;
  if (available < 20 || !readAt(fd, box.payload, b.data(), std::min<std::int64_t>(32, available)))
    return false;
  std::uint64_t created = 0;
  std::uint32_t timescale = 0;
  std::uint64_t duration = 0;
  if (b[0] == 1) {
    if (available < 32) return false;
    created = be64(&b[4]);
    timescale = be32(&b[20]);
    duration = be64(&b[24]);
  } else {
    created = be32(&b[4]);
    timescale = be32(&b[12]);
    duration = be32(&b[16]);
  }
  if (timescale == 0) return false;
  // All ones means "unknown" in both versions.
  const bool unknown = b[0] == 1 ? duration == ~std::uint64_t{0} : duration == 0xffff'ffffu;
  header->durationSeconds = unknown ? 0 : static_cast<double>(duration) / timescale;
  // A zero time is what most encoders leave when they do not know it.
  if (created != 0 && created < (std::uint64_t{1} << 40))
    header->creationUnixSeconds = static_cast<std::int64_t>(created) - kQuickTimeEpochOffset;
  return true;
}

// tkhd: after the version-dependent times and duration come 8 reserved bytes, layer, group,
// volume, 2 reserved, a 3×3 matrix of 32-bit values, then width and height in 16.16.
bool readTrackHeader(int fd, const Box& box, VideoHeader* header) {
  std::array<unsigned char, 96> b{};
  const std::int64_t available = box.end - box.payload;
  if (available < 84 || !readAt(fd, box.payload, b.data(), std::min<std::int64_t>(96, available)))
    return false;
  const std::size_t rest = b[0] == 1 ? 36 : 24;  // offset of the reserved bytes after duration
  if (available < static_cast<std::int64_t>(rest + 60)) return false;
  const unsigned char* matrix = &b[rest + 16];
  const std::int64_t width = be32(&b[rest + 52]) >> 16;
  const std::int64_t height = be32(&b[rest + 56]) >> 16;
  if (width == 0 || height == 0) return false;  // a sound track
  // A quarter turn leaves the matrix's diagonal at zero.
  const bool quarterTurn = be32(matrix) == 0 && be32(matrix + 16) == 0;
  header->width = quarterTurn ? height : width;
  header->height = quarterTurn ? width : height;
  return true;
}

}  // namespace

std::optional<VideoHeader> readVideoHeader(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  VideoHeader header;
  bool haveMovie = false;
  bool haveTrack = false;
  forEachBox(fd, 0, st.st_size, [&](const Box& top) {
    if (!isType(top, "moov")) return true;
    forEachBox(fd, top.payload, top.end, [&](const Box& inner) {
      if (isType(inner, "mvhd")) {
        haveMovie = readMovieHeader(fd, inner, &header) || haveMovie;
      } else if (isType(inner, "trak") && !haveTrack) {
        forEachBox(fd, inner.payload, inner.end, [&](const Box& part) {
          if (!isType(part, "tkhd")) return true;
          haveTrack = readTrackHeader(fd, part, &header);
          return false;
        });
      }
      return true;
    });
    return false;
  });
  if (!haveMovie) return std::nullopt;
  return header;
}

}  // namespace tarno::library
