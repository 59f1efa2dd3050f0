#include "tarno/library/media_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <string_view>
#include <unordered_set>

#include "library/atomic_file.hpp"
#include "library/exiv2_runtime.hpp"
#include "library/media_kind.hpp"
#include "library/video_header.hpp"
#include "library/vips_runtime.hpp"
#include "tarno/core/text.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::library {
namespace {

// Tags longer than this (maker notes, embedded thumbnails) are listed by size only.
constexpr long kMaxTagTextBytes = 4096;
constexpr std::size_t kMaxTags = 10'000;
constexpr std::size_t kMaxKeywords = 1'000;

// The label of a file whose content exiv2 or libvips recognised, else the one its name gives.
std::string formatLabel(Kind byName, std::string_view contentType) {
  if (byName == Kind::raw) return "RAW";
  if (byName == Kind::video) return "VIDEO";
  auto contains = [&](std::string_view part) {
    return contentType.find(part) != std::string_view::npos;
  };
  if (contains("jpeg")) return "JPEG";
  if (contains("png")) return "PNG";
  if (contains("tiff")) return "TIFF";
  if (contains("webp")) return "WebP";
  if (contains("avif")) return "AVIF";
  if (contains("heif") || contains("heic")) return "HEIF";
  switch (byName) {
    case Kind::jpeg:
      return "JPEG";
    case Kind::png:
      return "PNG";
    case Kind::tiff:
      return "TIFF";
    case Kind::heif:
      return "HEIF";
    case Kind::webp:
      return "WebP";
    default:
      return "IMAGE";
  }
}

std::string videoLabel(std::string_view fileName) {
  return lowerExtension(fileName) == "mov" ? "MOV" : "MP4";
}

// ---- dates ----------------------------------------------------------------------------------

struct ParsedDate {
  std::int64_t localSeconds = 0;              // the wall-clock time read as if it were UTC
  std::optional<std::int64_t> offsetSeconds;  // east of UTC, when the text carries one
};

bool digits(std::string_view text, std::size_t at, std::size_t count, int* value) {
  if (at + count > text.size()) return false;
  int v = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

std::optional<std::int64_t> parseOffset(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text[0] == 'Z') return 0;
  if (text[0] != '+' && text[0] != '-') return std::nullopt;
  int hours = 0;
  int minutes = 0;
  if (!digits(text, 1, 2, &hours)) return std::nullopt;
  const std::size_t minuteAt = text.size() > 3 && text[3] == ':' ? 4 : 3;
  if (text.size() > minuteAt && !digits(text, minuteAt, 2, &minutes)) return std::nullopt;
  if (hours > 18 || minutes > 59) return std::nullopt;
  const std::int64_t seconds = hours * 3600 + minutes * 60;
  return text[0] == '-' ? -seconds : seconds;
}

// "YYYY:MM:DD HH:MM:SS" as EXIF writes it, or ISO 8601 as XMP does ("YYYY-MM-DDThh:mm:ss.sss
// +hh:mm", possibly cut after the year, month, day or minutes).
std::optional<ParsedDate> parseDateTime(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
    text.remove_suffix(1);
  int year = 0;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (!digits(text, 0, 4, &year)) return std::nullopt;
  std::size_t at = 4;
  auto separated = [&](std::size_t pos, std::string_view seps) {
    return pos < text.size() && seps.find(text[pos]) != std::string_view::npos;
  };
  if (separated(at, ":-")) {
    if (!digits(text, at + 1, 2, &month)) return std::nullopt;
    at += 3;
    if (separated(at, ":-")) {
      if (!digits(text, at + 1, 2, &day)) return std::nullopt;
      at += 3;
      if (separated(at, "T ")) {
        if (!digits(text, at + 1, 2, &hour) || !separated(at + 3, ":") ||
            !digits(text, at + 4, 2, &minute))
          return std::nullopt;
        at += 6;
        if (separated(at, ":")) {
          if (!digits(text, at + 1, 2, &second)) return std::nullopt;
          at += 3;
          if (separated(at, ".,"))
            for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));)
              ++at;
        }
      }
    }
  }
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year},
                            std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  // "0000:00:00 00:00:00" is what cameras write when their clock was never set.
  if (year == 0 || !date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  ParsedDate parsed;
  parsed.localSeconds =
      sys_days{date}.time_since_epoch().count() * 86400LL + hour * 3600LL + minute * 60LL + second;
  if (at < text.size()) parsed.offsetSeconds = parseOffset(text.substr(at));
  return parsed;
}

std::optional<core::Date> dateFromUnixSeconds(std::int64_t seconds) {
  using namespace std::chrono;
  const auto lowest =
      duration_cast<std::chrono::seconds>(core::Date::min().time_since_epoch()).count();
  const auto highest =
      duration_cast<std::chrono::seconds>(core::Date::max().time_since_epoch()).count();
  if (seconds <= lowest || seconds >= highest) return std::nullopt;
  return core::Date{std::chrono::seconds{seconds}};
}

// ---- exiv2 lookups --------------------------------------------------------------------------

std::string cleanText(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
    text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && text[start] == ' ')
    ++start;
  text.erase(0, start);
  return core::decodeUTF8Lossy(std::move(text));
}

template <class Data, class Key>
const Exiv2::Metadatum* find(const Data& data, const char* key) {
  auto it = data.findKey(Key(key));
  if (it == data.end() || it->count() == 0) return nullptr;
  return &*it;
}

const Exiv2::Metadatum* exif(const Exiv2::ExifData& data, const char* key) {
  return find<Exiv2::ExifData, Exiv2::ExifKey>(data, key);
}
const Exiv2::Metadatum* xmp(const Exiv2::XmpData& data, const char* key) {
  return find<Exiv2::XmpData, Exiv2::XmpKey>(data, key);
}

std::optional<std::string> textOf(const Exiv2::Metadatum* datum) {
  if (!datum) return std::nullopt;
  std::string text = cleanText(datum->toString());
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<double> positiveNumber(const Exiv2::Metadatum* datum) {
  if (!datum) return std::nullopt;
  // Rationals in double precision: toFloat would round 28/10 to 2.79999995.
  double value = 0;
  const Exiv2::TypeId type = datum->typeId();
  if (type == Exiv2::unsignedRational || type == Exiv2::signedRational) {
    const Exiv2::Rational r = datum->toRational(0);
    if (r.second == 0) return std::nullopt;
    value = static_cast<double>(r.first) / r.second;
  } else {
    value = datum->toFloat(0);
  }
  if (!std::isfinite(value) || value <= 0) return std::nullopt;
  return value;
}

// A degrees, minutes, seconds triple of rationals and its N/S or E/W reference.
std::optional<double> exifCoordinate(const Exiv2::ExifData& data, const char* key,
                                     const char* refKey, char negative) {
  const Exiv2::Metadatum* value = exif(data, key);
  if (!value || value->count() < 3) return std::nullopt;
  double parts[3];
  for (long i = 0; i < 3; ++i) {
    const Exiv2::Rational r = value->toRational(i);
    if (r.second == 0) return std::nullopt;
    parts[i] = static_cast<double>(r.first) / r.second;
  }
  double degrees = parts[0] + parts[1] / 60 + parts[2] / 3600;
  const std::optional<std::string> ref = textOf(exif(data, refKey));
  if (ref && !ref->empty() && std::toupper(static_cast<unsigned char>((*ref)[0])) == negative)
    degrees = -degrees;
  return degrees;
}

// XMP's GPSCoordinate: "DDD,MM.mmmmR" or "DDD,MM,SSR", R one of N S E W.
std::optional<double> parseXmpCoordinate(std::string_view text) {
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  if (text.size() < 3) return std::nullopt;
  const char ref = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
  if (ref != 'N' && ref != 'S' && ref != 'E' && ref != 'W') return std::nullopt;
  const std::string body(text.substr(0, text.size() - 1));
  double degrees = 0;
  double minutes = 0;
  double seconds = 0;
  int consumed = 0;
  if (std::sscanf(body.c_str(), "%lf,%lf,%lf%n", &degrees, &minutes, &seconds, &consumed) == 3 &&
      consumed == static_cast<int>(body.size())) {
  } else if (std::sscanf(body.c_str(), "%lf,%lf%n", &degrees, &minutes, &consumed) == 2 &&
             consumed == static_cast<int>(body.size())) {
    seconds = 0;
  } else {
    return std::nullopt;
  }
  if (degrees < 0 || minutes < 0 || minutes >= 60 || seconds < 0 || seconds >= 60)
    return std::nullopt;
  double value = degrees + minutes / 60 + seconds / 3600;
  const double limit = (ref == 'N' || ref == 'S') ? 90 : 180;
  if (!std::isfinite(value) || value > limit) return std::nullopt;
  return (ref == 'S' || ref == 'W') ? -value : value;
}

std::optional<std::pair<double, double>> xmpLocation(const Exiv2::XmpData& data) {
  const std::optional<std::string> lat = textOf(xmp(data, "Xmp.exif.GPSLatitude"));
  const std::optional<std::string> lon = textOf(xmp(data, "Xmp.exif.GPSLongitude"));
  if (!lat || !lon) return std::nullopt;
  const auto latitude = parseXmpCoordinate(*lat);
  const auto longitude = parseXmpCoordinate(*lon);
  if (!latitude || !longitude) return std::nullopt;
  return std::pair{*latitude, *longitude};
}

std::optional<std::pair<double, double>> embeddedLocation(const Exiv2::ExifData& exifData,
                                                          const Exiv2::XmpData& xmpData) {
  const auto latitude =
      exifCoordinate(exifData, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef", 'S');
  const auto longitude =
      exifCoordinate(exifData, "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSLongitudeRef", 'W');
  if (latitude && longitude && std::abs(*latitude) <= 90 && std::abs(*longitude) <= 180)
    return std::pair{*latitude, *longitude};
  return xmpLocation(xmpData);
}

std::optional<std::pair<double, double>> sidecarLocation(const std::filesystem::path& file) {
  const std::filesystem::path sidecar = sidecarPath(file);
  struct stat st {};
  if (::stat(sidecar.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
    return std::nullopt;
  try {
    auto image = Exiv2::ImageFactory::open(sidecar.string());
    image->readMetadata();
    return xmpLocation(image->xmpData());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<core::Date> captureDate(const Exiv2::ExifData& exifData,
                                      const Exiv2::XmpData& xmpData) {
  // EXIF keeps the local wall-clock time; without an offset tag we cannot know the zone and
  // take it as UTC, so the time reads back as the camera showed it.
  static constexpr std::array<std::pair<const char*, const char*>, 2> exifDates{{
      {"Exif.Photo.DateTimeOriginal", "Exif.Photo.OffsetTimeOriginal"},
      {"Exif.Photo.DateTimeDigitized", "Exif.Photo.OffsetTimeDigitized"},
  }};
  for (const auto& [dateKey, offsetKey] : exifDates) {
    const auto text = textOf(exif(exifData, dateKey));
    if (!text) continue;
    auto parsed = parseDateTime(*text);
    if (!parsed) continue;
    if (const auto offset = textOf(exif(exifData, offsetKey)))
      parsed->offsetSeconds = parseOffset(*offset);
    if (auto date = dateFromUnixSeconds(parsed->localSeconds - parsed->offsetSeconds.value_or(0)))
      return date;
  }
  for (const char* key :
       {"Xmp.exif.DateTimeOriginal", "Xmp.photoshop.DateCreated", "Xmp.xmp.CreateDate"}) {
    const auto text = textOf(xmp(xmpData, key));
    if (!text) continue;
    const auto parsed = parseDateTime(*text);
    if (!parsed) continue;
    if (auto date = dateFromUnixSeconds(parsed->localSeconds - parsed->offsetSeconds.value_or(0)))
      return date;
  }
  return std::nullopt;
}

std::vector<std::string> keywordsOf(const Exiv2::IptcData& iptcData,
                                    const Exiv2::XmpData& xmpData) {
  std::vector<std::string> keywords;
  std::unordered_set<std::string> seen;
  auto add = [&](std::string keyword) {
    keyword = cleanText(std::move(keyword));
    if (keyword.empty() || keywords.size() >= kMaxKeywords) return;
    if (seen.insert(keyword).second) keywords.push_back(std::move(keyword));
  };
  for (const Exiv2::Iptcdatum& datum : iptcData)
    if (datum.key() == "Iptc.Application2.Keywords") add(datum.toString());
  if (const Exiv2::Metadatum* subject = xmp(xmpData, "Xmp.dc.subject"))
    for (long i = 0; i < subject->count(); ++i)
      add(subject->toString(i));
  return keywords;
}

std::int64_t exifInteger(const Exiv2::Metadatum* datum) {
  if (!datum) return 0;
  const long value = datum->toLong(0);
  return value > 0 ? value : 0;
}

void fillFromExiv2(const Exiv2::Image& image, MediaMetadata* out) {
  const Exiv2::ExifData& exifData = image.exifData();
  const Exiv2::XmpData& xmpData = image.xmpData();
  core::PhotoInfo& info = out->info;
  info.cameraMake = textOf(exif(exifData, "Exif.Image.Make"));
  info.cameraModel = textOf(exif(exifData, "Exif.Image.Model"));
  info.lens = textOf(exif(exifData, "Exif.Photo.LensModel"));
  if (!info.lens) info.lens = textOf(xmp(xmpData, "Xmp.aux.Lens"));
  if (!info.lens) info.lens = textOf(xmp(xmpData, "Xmp.exifEX.LensModel"));
  if (const auto iso = exifInteger(exif(exifData, "Exif.Photo.ISOSpeedRatings")); iso > 0)
    info.iso = iso;
  info.shutterSeconds = positiveNumber(exif(exifData, "Exif.Photo.ExposureTime"));
  info.aperture = positiveNumber(exif(exifData, "Exif.Photo.FNumber"));
  info.focalLengthMM = positiveNumber(exif(exifData, "Exif.Photo.FocalLength"));
  info.captureDate = captureDate(exifData, xmpData);

  std::int64_t orientation = exifInteger(exif(exifData, "Exif.Image.Orientation"));
  if (orientation == 0) orientation = exifInteger(xmp(xmpData, "Xmp.tiff.Orientation"));
  out->orientation = orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 1;

  info.pixelWidth = image.pixelWidth() > 0 ? image.pixelWidth() : 0;
  info.pixelHeight = image.pixelHeight() > 0 ? image.pixelHeight() : 0;
  if (info.pixelWidth == 0 || info.pixelHeight == 0) {
    info.pixelWidth = exifInteger(exif(exifData, "Exif.Photo.PixelXDimension"));
    info.pixelHeight = exifInteger(exif(exifData, "Exif.Photo.PixelYDimension"));
  }
  if (const auto location = embeddedLocation(exifData, xmpData)) {
    out->latitude = location->first;
    out->longitude = location->second;
  }
  out->keywords = keywordsOf(image.iptcData(), xmpData);
}

protocol::unique_fd openForReading(const std::filesystem::path& file) {
  int fd;
  do {
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return protocol::unique_fd(fd);
}

std::optional<MediaMetadata> readVideo(int fd, const std::filesystem::path& file) {
  const std::optional<VideoHeader> header = readVideoHeader(fd);
  if (!header) return std::nullopt;
  MediaMetadata metadata;
  metadata.isVideo = true;
  metadata.durationSeconds = header->durationSeconds;
  metadata.info.pixelWidth = header->width;
  metadata.info.pixelHeight = header->height;
  metadata.info.formatLabel = videoLabel(file.filename().native());
  if (header->creationUnixSeconds)
    metadata.info.captureDate = dateFromUnixSeconds(*header->creationUnixSeconds);
  return metadata;
}

std::optional<MediaMetadata> readImage(int fd, const std::filesystem::path& file, Kind byName) {
  MediaMetadata metadata;
  bool known = false;
  std::string contentType;
  try {
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    contentType = image->mimeType();
    fillFromExiv2(*image, &metadata);
    known = true;
  } catch (const std::exception&) {
    // Metadata is optional; the pixels decide whether this is a photo at all.
    metadata = MediaMetadata{};
  }
  // exiv2 reads a HEIF's size from the first 'ispe' box it meets, which may be a tile's or the
  // coded size before cropping; libheif gives the displayed one.
  if (metadata.info.pixelWidth == 0 || metadata.info.pixelHeight == 0 || !known ||
      byName == Kind::heif) {
    if (const auto header = readImageHeader(fd)) {
      metadata.info.pixelWidth = header->width;
      metadata.info.pixelHeight = header->height;
      if (contentType.empty()) contentType = header->loader;
      known = true;
    }
  }
  if (!known) return std::nullopt;
  // libheif applies a HEIF's own rotation boxes, so the size read above is upright already
  // (cameras also copy the turn into the EXIF they embed).
  if (metadata.orientation >= 5 && byName != Kind::heif)
    std::swap(metadata.info.pixelWidth, metadata.info.pixelHeight);
  metadata.isRAW = byName == Kind::raw;
  metadata.info.formatLabel = formatLabel(byName, contentType);
  return metadata;
}

}  // namespace

bool isMediaFileName(std::string_view fileName) {
  return kindOfName(fileName) != Kind::none;
}

std::filesystem::path sidecarPath(const std::filesystem::path& file) {
  std::filesystem::path sidecar = file;
  sidecar += ".xmp";
  return sidecar;
}

std::optional<MediaMetadata> readMetadata(const std::filesystem::path& file,
                                          const FileStamp& stamp) {
  ensureExiv2();
  try {
    const protocol::unique_fd fd = openForReading(file);
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
      return std::nullopt;
    const Kind byName = kindOfName(file.filename().native());
    std::optional<MediaMetadata> metadata =
        byName == Kind::video ? readVideo(fd.get(), file) : readImage(fd.get(), file, byName);
    if (!metadata) return std::nullopt;
    if (!metadata->info.captureDate)
      metadata->info.captureDate =
          dateFromUnixSeconds(stamp.mtimeNs / 1'000'000'000 - (stamp.mtimeNs % 1'000'000'000 < 0));
    metadata->info.originalFilename = core::decodeUTF8Lossy(file.filename().native());
    if (const auto location = sidecarLocation(file)) {
      metadata->latitude = location->first;
      metadata->longitude = location->second;
    }
    return metadata;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::vector<std::pair<std::string, std::string>>> readAllTags(
    const std::filesystem::path& file) {
  ensureExiv2();
  std::vector<std::pair<std::string, std::string>> tags;
  try {
    if (kindOfName(file.filename().native()) == Kind::video) {
      const protocol::unique_fd fd = openForReading(file);
      if (!fd.valid()) return std::nullopt;
      const auto header = readVideoHeader(fd.get());
      if (!header) return std::nullopt;
      char duration[32];
      std::snprintf(duration, sizeof duration, "%.3f", header->durationSeconds);
      tags.emplace_back("Video.Duration", duration);
      tags.emplace_back("Video.Width", std::to_string(header->width));
      tags.emplace_back("Video.Height", std::to_string(header->height));
      return tags;
    }
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    auto add = [&](const Exiv2::Metadatum& datum) {
      if (tags.size() >= kMaxTags) return;
      std::string text = datum.size() > kMaxTagTextBytes
                             ? "(" + std::to_string(datum.size()) + " bytes)"
                             : cleanText(datum.toString());
      tags.emplace_back(core::decodeUTF8Lossy(datum.key()), std::move(text));
    };
    for (const auto& datum : image->exifData())
      add(datum);
    for (const auto& datum : image->iptcData())
      add(datum);
    for (const auto& datum : image->xmpData())
      add(datum);
    return tags;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

namespace {

// "DD,MM.mmmmmmR", minutes to six decimals (a few millimetres).
std::string xmpCoordinate(double value, char positive, char negative) {
  const long long microMinutes = std::llround(std::abs(value) * 60e6);
  const long long degrees = microMinutes / 60'000'000;
  const long long rest = microMinutes % 60'000'000;
  char text[48];
  std::snprintf(text, sizeof text, "%lld,%lld.%06lld%c", degrees, rest / 1'000'000,
                rest % 1'000'000, value < 0 ? negative : positive);
  return text;
}

bool fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

}  // namespace

bool writeLocationSidecar(const std::filesystem::path& file,
                          std::optional<std::pair<double, double>> latitudeLongitude,
                          std::string* error) {
  ensureExiv2();
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return fail(error, "no such file: " + core::decodeUTF8Lossy(file.native()));
  if (latitudeLongitude) {
    const auto [latitude, longitude] = *latitudeLongitude;
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::abs(latitude) > 90 ||
        std::abs(longitude) > 180)
      return fail(error, "latitude must lie within ±90 and longitude within ±180");
  }
  const std::filesystem::path sidecar = sidecarPath(file);
  try {
    Exiv2::XmpData data;
    if (::stat(sidecar.c_str(), &st) == 0 && st.st_size > 0) {
      // Whatever else the sidecar holds is kept; one we cannot read is left alone rather than
      // replaced by a file that would lose it.
      auto image = Exiv2::ImageFactory::open(sidecar.string());
      image->readMetadata();
      data = image->xmpData();
    }
    for (const char* key : {"Xmp.exif.GPSLatitude", "Xmp.exif.GPSLongitude"}) {
      auto it = data.findKey(Exiv2::XmpKey(key));
      if (it != data.end()) data.erase(it);
    }
    if (latitudeLongitude) {
      data["Xmp.exif.GPSLatitude"] = xmpCoordinate(latitudeLongitude->first, 'N', 'S');
      data["Xmp.exif.GPSLongitude"] = xmpCoordinate(latitudeLongitude->second, 'E', 'W');
    }
    std::string packet;
    if (Exiv2::XmpParser::encode(
            packet, data,
            Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) != 0)
      return fail(error, "could not encode the sidecar's XMP");
    return replaceFileAtomically(sidecar, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + packet,
                                 error);
  } catch (const std::exception& e) {
    return fail(error, "could not read the sidecar " + core::decodeUTF8Lossy(sidecar.native()) +
                           ": " + core::decodeUTF8Lossy(e.what()));
  }
}

}  // namespace tarno::library
