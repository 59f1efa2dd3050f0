// Parameters and results of the methods that read the library and change per-photo properties.
//
// Common to every record of the protocol: keys are the member names; required members must be
// present, optional ones may be missing or null and are left out when absent; unknown members
// are ignored. Parameter records' optional members start out absent. Plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"
#include "tarno/core/photo_ai_annotation.hpp"
#include "tarno/core/photo_summary.hpp"

namespace tarno::protocol {

// Result of system.ping.
struct PingResult {
  std::string appVersion;
  std::string buildStamp;
  std::int64_t protocolVersion = 0;  // the app's ipcProtocolVersion
  bool libraryAuthorized = false;
  std::int64_t photoCount = 0;
  static constexpr auto jsonFields =
      std::tuple{core::required("appVersion", &PingResult::appVersion),
                 core::required("buildStamp", &PingResult::buildStamp),
                 core::required("protocolVersion", &PingResult::protocolVersion),
                 core::required("libraryAuthorized", &PingResult::libraryAuthorized),
                 core::required("photoCount", &PingResult::photoCount)};
  friend bool operator==(const PingResult&, const PingResult&) = default;
};

// Params of library.list: one page of the library, newest first.
struct ListParams {
  std::optional<std::int64_t> limit;
  std::optional<std::int64_t> cursor;  // the previous page's nextCursor; absent for the first
  static constexpr auto jsonFields = std::tuple{core::optional("limit", &ListParams::limit),
                                                core::optional("cursor", &ListParams::cursor)};
  friend bool operator==(const ListParams&, const ListParams&) = default;
};

// Result of library.list.
struct ListResult {
  std::vector<core::PhotoSummary> photos;  // newest first
  std::optional<std::int64_t> nextCursor;  // absent when this page is the last
  static constexpr auto jsonFields =
      std::tuple{core::required("photos", &ListResult::photos),
                 core::optional("nextCursor", &ListResult::nextCursor)};
};

// Params of photo.get.
struct GetParams {
  std::string id;
  static constexpr auto jsonFields = std::tuple{core::required("id", &GetParams::id)};
  friend bool operator==(const GetParams&, const GetParams&) = default;
};

// The app's own metadata of one photo; flag and colour label are the app's integer codes.
struct PhotoMetadataDTO {
  std::int64_t rating = 0;
  std::int64_t flag = 0;
  std::int64_t colorLabel = 0;
  bool hasEditStack = false;
  static constexpr auto jsonFields =
      std::tuple{core::required("rating", &PhotoMetadataDTO::rating),
                 core::required("flag", &PhotoMetadataDTO::flag),
                 core::required("colorLabel", &PhotoMetadataDTO::colorLabel),
                 core::required("hasEditStack", &PhotoMetadataDTO::hasEditStack)};
  friend bool operator==(const PhotoMetadataDTO&, const PhotoMetadataDTO&) = default;
};

// Result of photo.get: the full record of one photo.
struct GetResult {
  core::PhotoSummary photo;
  std::optional<PhotoMetadataDTO> metadata;
  std::optional<core::PhotoAIAnnotation> annotation;
  static constexpr auto jsonFields = std::tuple{
      core::required("photo", &GetResult::photo), core::optional("metadata", &GetResult::metadata),
      core::optional("annotation", &GetResult::annotation)};
};

// Params of photo.rate.
struct RateParams {
  std::vector<std::string> ids;
  std::int64_t rating = 0;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &RateParams::ids),
                                                core::required("rating", &RateParams::rating)};
  friend bool operator==(const RateParams&, const RateParams&) = default;
};

// Params of photo.flag; `flag` is "pick", "reject" or "none".
struct FlagParams {
  std::vector<std::string> ids;
  std::string flag;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &FlagParams::ids),
                                                core::required("flag", &FlagParams::flag)};
  friend bool operator==(const FlagParams&, const FlagParams&) = default;
};

// Params of photo.label; the colour label by name.
struct LabelParams {
  std::vector<std::string> ids;
  std::string color;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &LabelParams::ids),
                                                core::required("color", &LabelParams::color)};
  friend bool operator==(const LabelParams&, const LabelParams&) = default;
};

// Params of photo.favorite.
struct FavoriteParams {
  std::vector<std::string> ids;
  bool favorite = false;
  static constexpr auto jsonFields =
      std::tuple{core::required("ids", &FavoriteParams::ids),
                 core::required("favorite", &FavoriteParams::favorite)};
  friend bool operator==(const FavoriteParams&, const FavoriteParams&) = default;
};

// Params of photo.hide.
struct HideParams {
  std::vector<std::string> ids;
  bool hidden = false;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &HideParams::ids),
                                                core::required("hidden", &HideParams::hidden)};
  friend bool operator==(const HideParams&, const HideParams&) = default;
};

// Params of photo.delete.
struct DeleteParams {
  std::vector<std::string> ids;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &DeleteParams::ids)};
  friend bool operator==(const DeleteParams&, const DeleteParams&) = default;
};

// The outcome of a change applied to a list of photos.
struct UpdatedResult {
  std::int64_t updated = 0;
  std::vector<std::string> skipped;  // ids of the photos not changed
  static constexpr auto jsonFields = std::tuple{core::required("updated", &UpdatedResult::updated),
                                                core::required("skipped", &UpdatedResult::skipped)};
  friend bool operator==(const UpdatedResult&, const UpdatedResult&) = default;
};

}  // namespace tarno::protocol
