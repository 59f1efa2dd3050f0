// Emptiness, search text and merging of AI annotations.
#include "tarno/core/photo_ai_annotation.hpp"

#include <unordered_set>

#include "tarno/core/text.hpp"

namespace tarno::core {

bool PhotoAIAnnotation::isEmpty() const {
  return caption.empty() && longDescription.empty() && keywords.empty() && subjects.empty() &&
         palette.empty() && !scene && !setting && !peopleCount && !keeperScore &&
         (!ocrText || ocrText->empty());
}

std::string PhotoAIAnnotation::searchText() const {
  std::string joined;
  auto add = [&](const std::string& part) {
    if (part.empty()) return;
    if (!joined.empty()) joined += ' ';
    joined += part;
  };
  add(caption);
  add(longDescription);
  for (const std::string& k : keywords)
    add(k);
  for (const std::string& s : subjects)
    add(s);
  if (scene) add(*scene);
  if (ocrText) add(*ocrText);
  return lowercased(joined);
}

std::vector<std::string> PhotoAIAnnotation::unionOf(const std::vector<std::string>& a,
                                                    const std::vector<std::string>& b) {
  std::vector<std::string> out = a;
  std::unordered_set<std::string> seen;
  for (const std::string& s : a)
    seen.insert(lowercased(s));
  for (const std::string& s : b) {
    std::string lower = lowercased(s);
    if (lower.empty() || !seen.insert(std::move(lower)).second) continue;
    out.push_back(s);
  }
  return out;
}

PhotoAIAnnotation PhotoAIAnnotation::overlaid(const PhotoAIAnnotation& other) const {
  return PhotoAIAnnotation{
      .caption = other.caption.empty() ? caption : other.caption,
      .longDescription = other.longDescription.empty() ? longDescription : other.longDescription,
      .keywords = unionOf(keywords, other.keywords),
      .subjects = unionOf(subjects, other.subjects),
      .scene = other.scene ? other.scene : scene,
      .setting = other.setting ? other.setting : setting,
      .peopleCount = other.peopleCount ? other.peopleCount : peopleCount,
      .palette = unionOf(palette, other.palette),
      .keeperScore = other.keeperScore ? other.keeperScore : keeperScore,
      .ocrText = other.ocrText && !other.ocrText->empty() ? other.ocrText : ocrText,
  };
}

}  // namespace tarno::core
