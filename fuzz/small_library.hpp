// A small library for the fuzz targets that act on one: two images in a temporary folder,
// scanned once, not watched, removed at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "tarno/library/library.hpp"

namespace tarno::fuzzing {

namespace fs = std::filesystem;

// Two 8 × 6 PNG files of different colours.
inline constexpr std::string_view bluish(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x08\x00\x00"
    "\x00\x06\x08\x02\x00\x00\x00\x71\x67\x48\xac\x00\x00\x00\x09\x70\x48\x59\x73\x00\x00\x03"
    "\xe8\x00\x00\x03\xe8\x01\xb5\x7b\x52\x6b\x00\x00\x00\x11\x49\x44\x41\x54\x08\x99\x63\xd0"
    "\xa8\x38\x81\x15\x31\x0c\xa4\x04\x00\xaa\x33\x43\x81\x28\x64\x63\xf7\x00\x00\x00\x00\x49"
    "\x45\x4e\x44\xae\x42\x60\x82",
    95);
inline constexpr std::string_view reddish(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x08\x00\x00"
    "\x00\x06\x08\x02\x00\x00\x00\x71\x67\x48\xac\x00\x00\x00\x09\x70\x48\x59\x73\x00\x00\x03"
    "\xe8\x00\x00\x03\xe8\x01\xb5\x7b\x52\x6b\x00\x00\x00\x11\x49\x44\x41\x54\x08\x99\x63\xb8"
    "\x23\x17\x85\x15\x31\x0c\xa4\x04\x00\xc7\x44\x3f\xc1\x67\x9b\x79\x36\x00\x00\x00\x00\x49"
    "\x45\x4e\x44\xae\x42\x60\x82",
    95);

struct SmallLibrary {
  SmallLibrary() {
    std::string pattern = (fs::temp_directory_path() / "tarno-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    fs::create_directories(root / "photos" / "trip");
    fs::create_directories(root / "support");
    std::ofstream(root / "photos" / "blue.png", std::ios::binary) << bluish;
    std::ofstream(root / "photos" / "trip" / "red.png", std::ios::binary) << reddish;
    library = std::make_unique<tarno::library::Library>(
        tarno::library::LibraryOptions{.folder = root / "photos",
                                       .storeDir = root / "store",
                                       .supportDir = root / "support",
                                       .watch = false});
    library->start();
    library->waitUntilScanned();
  }
  ~SmallLibrary() {
    library.reset();
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  fs::path root;
  std::unique_ptr<tarno::library::Library> library;
};

}  // namespace tarno::fuzzing
