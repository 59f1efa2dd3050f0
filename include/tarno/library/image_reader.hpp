// Decodes photos into pixels and writes renderings: previews, exports and the perceptual hash.
// Decoding shrinks on load and refuses images larger than `maxImagePixels` before their pixels
// are allocated. Every function may be called from any thread; none throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarno::library {

// The largest image decoded: 200 megapixels.
inline constexpr std::int64_t maxImagePixels = 200'000'000;

struct Rendering {
  std::string bytes;  // the encoded file
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// What a rendering failed on, for the error the method answers with.
struct RenderError {
  std::string message;
};

// How previews are encoded: PNG for the protocol's previews, JPEG (quality 85) for a page's
// thumbnails, which are many and only looked at.
enum class PreviewEncoding { png, jpeg };

// The file decoded, oriented upright and scaled so that its long edge is at most `longEdge`
// pixels (never enlarged), encoded as PNG (or JPEG). A video gives its first frame where the
// image library can read it, else an error.
std::optional<Rendering> renderPreview(const std::filesystem::path& file, std::int64_t longEdge,
                                       RenderError* error,
                                       PreviewEncoding encoding = PreviewEncoding::png);

// Output formats of exports: "jpeg", "png", "tiff" (also "jpg", "tif"; case-insensitive).
// Absent for any other name.
std::optional<std::string> exportFormatName(std::string_view format);

// The file decoded, oriented, scaled to `longEdge` (absent: full size) and written to `out` in
// `format` (a name exportFormatName accepts) with `quality` 0…1 for JPEG. Writes to a
// temporary name beside `out` and renames it into place.
std::optional<Rendering> renderExport(const std::filesystem::path& file, std::string_view format,
                                      std::optional<std::int64_t> longEdge,
                                      std::optional<double> quality,
                                      const std::filesystem::path& out, RenderError* error);

// A 64-bit perceptual hash (a difference hash of the decoded image at a small size): images
// that look alike have hashes a small Hamming distance apart. From a file, or from the bytes
// of an image file (a similarity probe).
std::optional<std::uint64_t> perceptualHash(const std::filesystem::path& file);
std::optional<std::uint64_t> perceptualHashOfBytes(std::string_view imageBytes);

// Number of differing bits.
int hashDistance(std::uint64_t a, std::uint64_t b);

}  // namespace tarno::library
