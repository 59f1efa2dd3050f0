#include "library/media_kind.hpp"

#include <array>
#include <cctype>
#include <utility>

namespace tarno::library {

std::string lowerExtension(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) return {};
  std::string extension(fileName.substr(dot + 1));
  for (char& c : extension)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

Kind kindOfName(std::string_view fileName) {
  static constexpr std::array<std::pair<std::string_view, Kind>, 33> kinds{{
      {"jpg", Kind::jpeg},  {"jpeg", Kind::jpeg}, {"jpe", Kind::jpeg},  {"png", Kind::png},
      {"tif", Kind::tiff},  {"tiff", Kind::tiff}, {"heic", Kind::heif}, {"heif", Kind::heif},
      {"hif", Kind::heif},  {"avif", Kind::heif}, {"webp", Kind::webp}, {"dng", Kind::raw},
      {"cr2", Kind::raw},   {"cr3", Kind::raw},   {"crw", Kind::raw},   {"nef", Kind::raw},
      {"nrw", Kind::raw},   {"arw", Kind::raw},   {"srf", Kind::raw},   {"sr2", Kind::raw},
      {"orf", Kind::raw},   {"rw2", Kind::raw},   {"raf", Kind::raw},   {"pef", Kind::raw},
      {"srw", Kind::raw},   {"x3f", Kind::raw},   {"3fr", Kind::raw},   {"erf", Kind::raw},
      {"mrw", Kind::raw},   {"rwl", Kind::raw},   {"mp4", Kind::video}, {"mov", Kind::video},
      {"m4v", Kind::video},
  }};
  const std::string extension = lowerExtension(fileName);
  for (const auto& [name, kind] : kinds)
    if (name == extension) return kind;
  return Kind::none;
}

}  // namespace tarno::library
