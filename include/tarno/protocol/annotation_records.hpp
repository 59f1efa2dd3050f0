// Parameters and results of annotating photos (annotate.*) and finding look-alike photos
// (similar.find). Common record rules: library_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"
#include "tarno/core/photo_ai_annotation.hpp"

namespace tarno::protocol {

// Params of annotate.pending.
struct AnnotatePendingParams {
  std::optional<std::int64_t> limit;
  static constexpr auto jsonFields =
      std::tuple{core::optional("limit", &AnnotatePendingParams::limit)};
  friend bool operator==(const AnnotatePendingParams&, const AnnotatePendingParams&) = default;
};

// Result of annotate.pending: photos that still need an AI annotation.
struct AnnotatePendingResult {
  std::vector<std::string> ids;
  std::int64_t remaining = 0;
  static constexpr auto jsonFields =
      std::tuple{core::required("ids", &AnnotatePendingResult::ids),
                 core::required("remaining", &AnnotatePendingResult::remaining)};
  friend bool operator==(const AnnotatePendingResult&, const AnnotatePendingResult&) = default;
};

// Params of annotate.set.
struct AnnotateSetParams {
  std::string id;
  core::PhotoAIAnnotation annotation;
  std::optional<std::string> model;  // the model that wrote it
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &AnnotateSetParams::id),
                 core::required("annotation", &AnnotateSetParams::annotation),
                 core::optional("model", &AnnotateSetParams::model)};
};

// Result of annotate.set: the annotation as stored.
struct AnnotateSetResult {
  core::PhotoAIAnnotation annotation;
  static constexpr auto jsonFields =
      std::tuple{core::required("annotation", &AnnotateSetResult::annotation)};
};

// Params of similar.find: the probe is an image file (standard Base64) or a photo id. Neither
// is still a valid record; rejecting it is the app's business.
struct SimilarFindParams {
  std::optional<std::string> imageBase64;
  std::optional<std::string> id;
  std::optional<std::int64_t> limit;
  static constexpr auto jsonFields =
      std::tuple{core::optional("imageBase64", &SimilarFindParams::imageBase64),
                 core::optional("id", &SimilarFindParams::id),
                 core::optional("limit", &SimilarFindParams::limit)};
  friend bool operator==(const SimilarFindParams&, const SimilarFindParams&) = default;
};

struct SimilarMatch {
  std::string id;
  double distance = 0;  // from the probe; smaller is closer
  static constexpr auto jsonFields = std::tuple{
      core::required("id", &SimilarMatch::id), core::required("distance", &SimilarMatch::distance)};
  friend bool operator==(const SimilarMatch&, const SimilarMatch&) = default;
};

// Result of similar.find.
struct SimilarFindResult {
  std::vector<SimilarMatch> matches;
  std::int64_t indexed = 0;  // photos in the similarity index
  static constexpr auto jsonFields =
      std::tuple{core::required("matches", &SimilarFindResult::matches),
                 core::required("indexed", &SimilarFindResult::indexed)};
};

}  // namespace tarno::protocol
