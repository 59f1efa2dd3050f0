// libvips set up once per process, and the header-only reads the metadata reader falls back on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarno::library {

// Initialises libvips once, thread-safely: a small operation cache (a file changed on disk must
// not come back from it, and the server's memory stays bounded) and no warnings on stderr.
void ensureVips();

struct ImageHeader {
  std::int64_t width = 0;  // as stored, before orientation
  std::int64_t height = 0;
  std::string loader;  // libvips' loader name, "jpegload_source", …
};

// The size the image at `fd` declares, from its header alone (no pixels are decoded). Absent
// when libvips cannot read it.
std::optional<ImageHeader> readImageHeader(int fd);

}  // namespace tarno::library
