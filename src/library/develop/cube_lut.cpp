#include "library/develop/cube_lut.hpp"

#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace tarno::library::develop {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Up to `n` numbers separated by blanks; false unless exactly n are there.
template <class T, std::size_t n>
bool numbers(std::string_view s, std::array<T, n>& out) {
  std::size_t got = 0;
  while (true) {
    s = trim(s);
    if (s.empty()) break;
    if (got == n) return false;
    const std::size_t end = s.find_first_of(" \t");
    const std::string token(s.substr(0, end));
    char* stop = nullptr;
    const double v = std::strtod(token.c_str(), &stop);
    if (stop != token.c_str() + token.size() || !std::isfinite(v)) return false;
    out[got++] = static_cast<T>(v);
    if (end == std::string_view::npos) break;
    s.remove_prefix(end);
  }
  return got == n;
}

}  // namespace

std::optional<CubeLut> parseCubeLut(std::string_view text) {
  CubeLut lut;
  std::size_t expected = 0;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = trim(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t space = line.find_first_of(" \t");
    const std::string_view word = line.substr(0, space);
    const std::string_view rest = space == std::string_view::npos ? "" : line.substr(space);
    if (word == "TITLE" || word == "LUT_3D_INPUT_RANGE") continue;
    if (word == "LUT_1D_SIZE") return std::nullopt;  // a 1D table is not a 3D one
    if (word == "LUT_3D_SIZE") {
      std::array<double, 1> n{};
      if (!numbers(rest, n) || n[0] != std::floor(n[0]) || n[0] < 2 || n[0] > maxCubeLutSize ||
          lut.size != 0) {
        return std::nullopt;
      }
      lut.size = static_cast<int>(n[0]);
      expected = static_cast<std::size_t>(lut.size) * static_cast<std::size_t>(lut.size) *
                 static_cast<std::size_t>(lut.size);
      lut.rgb.reserve(expected * 3);
      continue;
    }
    if (word == "DOMAIN_MIN") {
      if (!numbers(rest, lut.domainMin)) return std::nullopt;
      continue;
    }
    if (word == "DOMAIN_MAX") {
      if (!numbers(rest, lut.domainMax)) return std::nullopt;
      continue;
    }
    std::array<float, 3> entry{};
    if (lut.size == 0 || !numbers(line, entry)) return std::nullopt;
    if (lut.rgb.size() == expected * 3) return std::nullopt;  // more entries than the size says
    lut.rgb.insert(lut.rgb.end(), entry.begin(), entry.end());
  }
  if (lut.size == 0 || lut.rgb.size() != expected * 3) return std::nullopt;
  for (std::size_t c = 0; c < 3; ++c) {
    if (!(lut.domainMax[c] > lut.domainMin[c])) return std::nullopt;
  }
  return lut;
}

std::optional<CubeLut> readCubeLut(const std::filesystem::path& file) {
  std::error_code ec;
  const std::uintmax_t bytes = std::filesystem::file_size(file, ec);
  if (ec || bytes > maxCubeLutFileBytes) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  text.resize(static_cast<std::size_t>(bytes));
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return parseCubeLut(text);
}

std::optional<std::filesystem::path> cubeLutPath(const std::filesystem::path& folder,
                                                 std::string_view id) {
  if (folder.empty() || id.empty() || id.find('/') != std::string_view::npos ||
      id.find('\0') != std::string_view::npos || id == "." || id == "..") {
    return std::nullopt;
  }
  std::filesystem::path name{std::string(id)};
  if (!name.has_extension()) name += ".cube";
  return folder / name;
}

}  // namespace tarno::library::develop
