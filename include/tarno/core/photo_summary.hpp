// The light record of one photo or video of the library, as listings, queries and selections
// carry it, with the classification of assets by playback style and source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

enum class PhotoPlaybackStyle { unsupported, image, imageAnimated, livePhoto, video, videoLooping };
constexpr IntegerRawValues jsonRawValues(PhotoPlaybackStyle) {
  return {};
}

enum class PhotoSourceType { none, userLibrary, cloudShared, iTunesSynced };
constexpr IntegerRawValues jsonRawValues(PhotoSourceType) {
  return {};
}

// A place on the globe, in degrees.
struct Coordinate {
  double latitude = 0;
  double longitude = 0;
  friend bool operator==(const Coordinate&, const Coordinate&) = default;
};

// A plain value record.
struct PhotoSummary {
  std::string id{};
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  std::optional<Date> creationDate{};
  std::optional<Date> modificationDate{};
  std::optional<std::string> formatLabel{};  // a short file-format label
  std::optional<double> latitude{};
  std::optional<double> longitude{};
  bool isFavorite = false;
  bool isHidden = false;
  double durationSeconds = 0;  // 0 for stills
  PhotoPlaybackStyle playbackStyle = PhotoPlaybackStyle::unsupported;
  PhotoSourceType sourceType = PhotoSourceType::none;
  std::optional<std::string> burstIdentifier{};
  bool representsBurst = false;
  bool canEditContent = false;
  bool canEditProperties = false;
  bool canDelete = false;
  bool hasAdjustments = false;
  std::optional<std::string> cloudIdentifier{};

  static constexpr auto jsonFields =
      std::tuple{required("id", &PhotoSummary::id),
                 required("pixelWidth", &PhotoSummary::pixelWidth),
                 required("pixelHeight", &PhotoSummary::pixelHeight),
                 optional("creationDate", &PhotoSummary::creationDate),
                 optional("modificationDate", &PhotoSummary::modificationDate),
                 optional("formatLabel", &PhotoSummary::formatLabel),
                 optional("latitude", &PhotoSummary::latitude),
                 optional("longitude", &PhotoSummary::longitude),
                 required("isFavorite", &PhotoSummary::isFavorite),
                 required("isHidden", &PhotoSummary::isHidden),
                 required("durationSeconds", &PhotoSummary::durationSeconds),
                 required("playbackStyle", &PhotoSummary::playbackStyle),
                 required("sourceType", &PhotoSummary::sourceType),
                 optional("burstIdentifier", &PhotoSummary::burstIdentifier),
                 required("representsBurst", &PhotoSummary::representsBurst),
                 required("canEditContent", &PhotoSummary::canEditContent),
                 required("canEditProperties", &PhotoSummary::canEditProperties),
                 required("canDelete", &PhotoSummary::canDelete),
                 required("hasAdjustments", &PhotoSummary::hasAdjustments),
                 optional("cloudIdentifier", &PhotoSummary::cloudIdentifier)};

  // Present when both latitude and longitude are.
  std::optional<Coordinate> coordinate() const;
  // "m:ss" of the rounded duration (75.4 s is "1:15", an hour "60:00"); absent unless the
  // duration is greater than 0, and for durations beyond the 64-bit integer range.
  std::optional<std::string> durationDisplay() const;

  // Copies with one field replaced.
  PhotoSummary withFormatLabel(std::optional<std::string> label) const {
    return replacing(&PhotoSummary::formatLabel, std::move(label));
  }
  PhotoSummary withIsFavorite(bool favorite) const {
    return replacing(&PhotoSummary::isFavorite, favorite);
  }
  PhotoSummary withIsHidden(bool hidden) const {
    return replacing(&PhotoSummary::isHidden, hidden);
  }
  PhotoSummary withCloudIdentifier(std::optional<std::string> identifier) const {
    return replacing(&PhotoSummary::cloudIdentifier, std::move(identifier));
  }

  friend bool operator==(const PhotoSummary&, const PhotoSummary&) = default;

 private:
  template <class M>
  PhotoSummary replacing(M PhotoSummary::*field, M value) const {
    PhotoSummary copy = *this;
    copy.*field = std::move(value);
    return copy;
  }
};

// The integer nearest to `value` (halves away from zero), or absent when it is not finite or
// does not fit in 64 bits.
std::optional<std::int64_t> roundedToInt64(double value);

}  // namespace tarno::core
