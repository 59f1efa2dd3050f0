// A 3D colour look-up table read from a .cube file (the text format most grading tools write):
// LUT_3D_SIZE N, optional DOMAIN_MIN / DOMAIN_MAX, then N³ lines of "r g b" with red changing
// fastest. Reading is bounded; anything malformed gives no table.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tarno::library::develop {

struct CubeLut {
  int size = 0;  // N: entries per axis
  std::array<double, 3> domainMin{0, 0, 0};
  std::array<double, 3> domainMax{1, 1, 1};
  std::vector<float> rgb;  // N³ × 3, red fastest, then green, then blue
};

// Largest table accepted per axis, and largest file read.
inline constexpr int maxCubeLutSize = 128;
inline constexpr std::uintmax_t maxCubeLutFileBytes = 64u << 20;

std::optional<CubeLut> parseCubeLut(std::string_view text);
std::optional<CubeLut> readCubeLut(const std::filesystem::path& file);

// The file a `lut` value names inside the LUT folder: the id is a file name (".cube" added when
// it has no extension); ids with a path separator or naming a parent are refused.
std::optional<std::filesystem::path> cubeLutPath(const std::filesystem::path& folder,
                                                 std::string_view id);

}  // namespace tarno::library::develop
