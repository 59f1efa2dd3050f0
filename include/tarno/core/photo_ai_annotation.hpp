// The descriptive record that image analysis or a language model attaches to a photo: how it
// merges with a newer one, and the lower-case text that content search matches against.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

enum class PhotoSetting { indoor, outdoor, unknown };

// Where an annotation came from: on-device analysis or a language model.
enum class AnnotationSource { vision, model };

// A plain value record.
struct PhotoAIAnnotation {
  static constexpr int currentSchemaVersion = 1;

  std::string caption{};
  std::string longDescription{};
  std::vector<std::string> keywords{};
  std::vector<std::string> subjects{};
  std::optional<std::string> scene{};
  std::optional<PhotoSetting> setting{};
  std::optional<std::int64_t> peopleCount{};
  std::vector<std::string> palette{};  // dominant colours
  std::optional<double> keeperScore{};
  std::optional<std::string> ocrText{};  // text recognised in the image

  static constexpr auto jsonFields =
      std::tuple{required("caption", &PhotoAIAnnotation::caption),
                 required("longDescription", &PhotoAIAnnotation::longDescription),
                 required("keywords", &PhotoAIAnnotation::keywords),
                 required("subjects", &PhotoAIAnnotation::subjects),
                 optional("scene", &PhotoAIAnnotation::scene),
                 optional("setting", &PhotoAIAnnotation::setting),
                 optional("peopleCount", &PhotoAIAnnotation::peopleCount),
                 required("palette", &PhotoAIAnnotation::palette),
                 optional("keeperScore", &PhotoAIAnnotation::keeperScore),
                 optional("ocrText", &PhotoAIAnnotation::ocrText)};

  // Nothing to say: empty texts and lists, no scene, setting, people count or score, and no
  // recognised text (an empty one counts as none).
  bool isEmpty() const;

  // Caption, description, keywords, subjects, scene and recognised text, the empty ones left
  // out, joined by single spaces and lower-cased.
  std::string searchText() const;

  // This annotation with `other` laid over it: other's texts where not empty, the union of the
  // lists, other's scene, setting, people count and score where present (an empty scene too).
  PhotoAIAnnotation overlaid(const PhotoAIAnnotation& other) const;

  // `a` unchanged, then each string of `b` whose lower-cased form is neither empty nor seen
  // before (in `a` or earlier in `b`), in its own letter case.
  static std::vector<std::string> unionOf(const std::vector<std::string>& a,
                                          const std::vector<std::string>& b);

  friend bool operator==(const PhotoAIAnnotation&, const PhotoAIAnnotation&) = default;
};

}  // namespace tarno::core
