// Photos made on the spot for the library's tests: libvips draws them, exiv2 tags them, all in
// a temporary folder that is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vips/vips8>

namespace tarno::library::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarno-library-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    // A test may have made a folder unreadable: give folders their permissions back first.
    restorePermissions(path_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  static void restorePermissions(const std::filesystem::path& folder) {
    ::chmod(folder.c_str(), 0755);
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
      if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
        restorePermissions(entry.path());
  }

  std::filesystem::path path_;
};

inline void initialiseVips() {
  static const bool ready = VIPS_INIT("library_tests") == 0;
  ASSERT_TRUE(ready);
}

// A width × height RGB picture: a diagonal gradient plus a pattern that `seed` varies, so that
// different seeds look different and the same seed always gives the same pixels.
inline vips::VImage drawing(int width, int height, int seed) {
  vips::VImage xy = vips::VImage::xyz(width, height);
  vips::VImage x = xy.extract_band(0) * (255.0 / width);
  vips::VImage y = xy.extract_band(1) * (255.0 / height);
  vips::VImage wave = ((xy.extract_band(0) * (0.02 * (seed % 7 + 1))).sin() *
                           (xy.extract_band(1) * (0.03 * (seed % 5 + 1))).cos() +
                       1) *
                      127.0;
  vips::VImage red = seed % 2 ? x : 255 - x;
  vips::VImage green = seed % 3 ? y : wave;
  return red.bandjoin(green)
      .bandjoin(wave)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// Writes the drawing in the format the file's extension names.
inline void writeImage(const std::filesystem::path& file, int width, int height, int seed = 1) {
  initialiseVips();
  drawing(width, height, seed).write_to_file(file.c_str());
}

// Sets EXIF tags ("Exif.Photo.FNumber" → "28/10", …) in an existing file.
inline void setTags(const std::filesystem::path& file,
                    const std::map<std::string, std::string>& tags) {
  auto image = Exiv2::ImageFactory::open(file.string());
  image->readMetadata();
  for (const auto& [key, value] : tags) {
    if (key.rfind("Exif.", 0) == 0) image->exifData()[key] = value;
    if (key.rfind("Xmp.", 0) == 0) image->xmpData()[key] = value;
    if (key.rfind("Iptc.", 0) == 0) {
      // Added rather than set: keywords repeat.
      Exiv2::Iptcdatum datum{Exiv2::IptcKey(key)};
      datum.setValue(value);
      image->iptcData().add(datum);
    }
  }
  image->writeMetadata();
}

inline std::string readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

// A PNG with only its signature, header and end chunks, declaring any size.
inline std::string pngHeaderOnly(std::uint32_t width, std::uint32_t height) {
  auto crc = [](const std::string& bytes) {
    std::uint32_t c = 0xffffffffu;
    for (unsigned char b : bytes) {
      c ^= b;
      for (int k = 0; k < 8; ++k)
        c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
  };
  auto be32 = [](std::uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc(type + data));
  };
  // 8-bit RGB, deflate, no filter choice, no interlace.
  const std::string header = be32(width) + be32(height) + std::string{8, 2, 0, 0, 0};
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IEND", "");
}

// A real JPEG whose frame header is changed to declare width × height (at most 65535 each).
inline std::string jpegClaiming(const std::filesystem::path& scratch, std::uint16_t width,
                                std::uint16_t height) {
  writeImage(scratch, 16, 16);
  std::string bytes = readBytes(scratch);
  const auto frame = bytes.find("\xff\xc0");
  if (frame == std::string::npos) return {};
  // FFC0, length (2), precision (1), height (2), width (2).
  bytes[frame + 5] = char(height >> 8);
  bytes[frame + 6] = char(height);
  bytes[frame + 7] = char(width >> 8);
  bytes[frame + 8] = char(width);
  return bytes;
}

}  // namespace tarno::library::testing
