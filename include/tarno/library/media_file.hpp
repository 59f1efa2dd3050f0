// What the scanner learns about one file of the library: its stamp (to notice changes without
// reading it again) and its metadata, ready to become a PhotoSummary and a PhotoInfo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/photo_info.hpp"

namespace tarno::library {

// Size and modification time: a file whose stamp is unchanged is not read again.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;  // nanoseconds since the epoch
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The metadata of one photo or video. `info.pixelWidth`/`pixelHeight` are after orientation;
// `info.captureDate` falls back to the file's modification time; `info.originalFilename` is the
// file's name (invalid UTF-8 replaced by U+FFFD). A location in an XMP sidecar beside the file
// wins over the embedded one.
struct MediaMetadata {
  core::PhotoInfo info;
  std::optional<double> latitude;
  std::optional<double> longitude;
  bool isVideo = false;
  bool isRAW = false;
  double durationSeconds = 0;         // videos only
  int orientation = 1;                // EXIF orientation 1…8
  std::vector<std::string> keywords;  // embedded IPTC/XMP keywords, in file order
  friend bool operator==(const MediaMetadata&, const MediaMetadata&) = default;
};

// One file found under the library's folder. `relativePath` is relative to the folder, with '/'
// separators, as the bytes of the file system name it (it may hold invalid UTF-8: it is a key,
// not text).
struct ScannedFile {
  std::string relativePath;
  FileStamp stamp;
  MediaMetadata metadata;
};

}  // namespace tarno::library
