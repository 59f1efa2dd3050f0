// Parameters and results of rendering a photo to a file, importing files, committing a trimmed
// video, listing colour look-up tables and setting photo locations. Common record rules:
// library_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"

namespace tarno::protocol {

// Params of export.render; format, colour space and the quality range are the app's.
struct ExportRenderParams {
  std::string id;  // the photo, rendered with its edits
  std::optional<std::string> format;
  std::optional<std::int64_t> longEdge;  // pixels
  std::optional<double> quality;
  std::optional<std::string> colorSpace;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &ExportRenderParams::id),
                 core::optional("format", &ExportRenderParams::format),
                 core::optional("longEdge", &ExportRenderParams::longEdge),
                 core::optional("quality", &ExportRenderParams::quality),
                 core::optional("colorSpace", &ExportRenderParams::colorSpace)};
  friend bool operator==(const ExportRenderParams&, const ExportRenderParams&) = default;
};

// Result of export.render.
struct ExportRenderResult {
  std::string path;
  std::string format;  // the format actually written
  std::string suggestedFilename;
  std::int64_t bytes = 0;
  static constexpr auto jsonFields =
      std::tuple{core::required("path", &ExportRenderResult::path),
                 core::required("format", &ExportRenderResult::format),
                 core::required("suggestedFilename", &ExportRenderResult::suggestedFilename),
                 core::required("bytes", &ExportRenderResult::bytes)};
};

// Params of library.import.
struct ImportParams {
  std::vector<std::string> paths;
  static constexpr auto jsonFields = std::tuple{core::required("paths", &ImportParams::paths)};
  friend bool operator==(const ImportParams&, const ImportParams&) = default;
};

// Result of library.import.
struct ImportResult {
  std::vector<std::string> importedIDs;
  std::vector<std::string> failed;  // the inputs that could not be imported
  static constexpr auto jsonFields =
      std::tuple{core::required("importedIDs", &ImportResult::importedIDs),
                 core::required("failed", &ImportResult::failed)};
  friend bool operator==(const ImportResult&, const ImportResult&) = default;
};

// Params of video.commit: the range to keep, in seconds from the start; a missing end is the
// app's to choose.
struct VideoCommitParams {
  std::string id;
  std::optional<double> startSeconds;
  std::optional<double> endSeconds;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &VideoCommitParams::id),
                 core::optional("startSeconds", &VideoCommitParams::startSeconds),
                 core::optional("endSeconds", &VideoCommitParams::endSeconds)};
  friend bool operator==(const VideoCommitParams&, const VideoCommitParams&) = default;
};

struct LUTInfo {
  std::string id;
  std::string name;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &LUTInfo::id), core::required("name", &LUTInfo::name)};
  friend bool operator==(const LUTInfo&, const LUTInfo&) = default;
};

// Result of lut.list.
struct LUTListResult {
  std::vector<LUTInfo> luts;
  static constexpr auto jsonFields = std::tuple{core::required("luts", &LUTListResult::luts)};
};

// Params of photo.geotag: a location by coordinates (degrees) or by place name, or `clear`.
struct GeotagParams {
  std::vector<std::string> ids;
  std::optional<double> latitude;
  std::optional<double> longitude;
  std::optional<std::string> place;
  std::optional<bool> clear;
  static constexpr auto jsonFields = std::tuple{
      core::required("ids", &GeotagParams::ids),
      core::optional("latitude", &GeotagParams::latitude),
      core::optional("longitude", &GeotagParams::longitude),
      core::optional("place", &GeotagParams::place), core::optional("clear", &GeotagParams::clear)};
  friend bool operator==(const GeotagParams&, const GeotagParams&) = default;
};

// Result of photo.geotag: an UpdatedResult with the location applied; without coordinates it
// reads as an UpdatedResult too.
struct GeotagResult {
  std::int64_t updated = 0;
  std::vector<std::string> skipped;
  std::optional<double> latitude;
  std::optional<double> longitude;
  static constexpr auto jsonFields =
      std::tuple{core::required("updated", &GeotagResult::updated),
                 core::required("skipped", &GeotagResult::skipped),
                 core::optional("latitude", &GeotagResult::latitude),
                 core::optional("longitude", &GeotagResult::longitude)};
  friend bool operator==(const GeotagResult&, const GeotagResult&) = default;
};

}  // namespace tarno::protocol
