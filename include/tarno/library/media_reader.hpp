// Reads the metadata of photos and videos (EXIF, XMP, IPTC, and an XMP sidecar beside the file)
// and writes the sidecars the library keeps beside originals. Originals are only ever read.
// Every function is stateless and may be called from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarno/library/media_file.hpp"

namespace tarno::library {

// Whether a file name has the extension of a photo or video the library takes
// (case-insensitive): JPEG, PNG, TIFF, HEIC/HEIF, WebP, DNG and the common raw formats, MP4,
// MOV, M4V.
bool isMediaFileName(std::string_view fileName);

// The file's metadata; absent when it cannot be read as a photo or video at all (a zero-byte
// or corrupt file). Never throws.
std::optional<MediaMetadata> readMetadata(const std::filesystem::path& file,
                                          const FileStamp& stamp);

// Every metadata tag of the file, as (key, text) pairs in file order ("Exif.Photo.FNumber",
// "Xmp.dc.subject", …), for a flat JSON object. Absent when the file cannot be read.
std::optional<std::vector<std::pair<std::string, std::string>>> readAllTags(
    const std::filesystem::path& file);

// The XMP sidecar of a file: "<file>.xmp" beside it.
std::filesystem::path sidecarPath(const std::filesystem::path& file);

// Sets (or, with no coordinate, removes) the GPS position in the file's XMP sidecar, creating
// the sidecar when needed and keeping whatever else it holds. The original is not touched. The
// sidecar is replaced atomically (written beside it, synced, renamed). Returns false with an
// error text on failure.
bool writeLocationSidecar(const std::filesystem::path& file,
                          std::optional<std::pair<double, double>> latitudeLongitude,
                          std::string* error);

}  // namespace tarno::library
