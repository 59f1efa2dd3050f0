// Stored queries over a photo's attributes (rating, flag, label, keywords, file name, capture
// date) combined with and, or and not; their JSON form and their evaluation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tarno/core/indirect.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"

namespace tarno::core {

// What a query is evaluated against; the caller fills it from the photo's library record. The
// flag and colour-label codes are the app's own and are only compared for equality.
struct PhotoAttributes {
  std::int64_t rating = 0;
  std::int64_t flagRaw = 0;
  std::int64_t colorLabelRaw = 0;
  bool isEdited = false;
  bool isRAW = false;
  std::vector<std::string> keywords{};
  std::string filename{};
  std::optional<Date> captureDate{};
  friend bool operator==(const PhotoAttributes&, const PhotoAttributes&) = default;
};

class SmartQuery;

// The cases of a query; use them as SmartQuery::RatingAtLeast etc. Unlabelled payloads are
// written as "_0" (and "_1").
namespace smart_query {

struct All {
  friend bool operator==(const All&, const All&) = default;
};
struct RatingAtLeast {
  std::int64_t rating = 0;
  static constexpr auto jsonFields = std::tuple{required("_0", &RatingAtLeast::rating)};
  friend bool operator==(const RatingAtLeast&, const RatingAtLeast&) = default;
};
struct RatingAtMost {
  std::int64_t rating = 0;
  static constexpr auto jsonFields = std::tuple{required("_0", &RatingAtMost::rating)};
  friend bool operator==(const RatingAtMost&, const RatingAtMost&) = default;
};
struct Flag {
  std::int64_t flagRaw = 0;
  static constexpr auto jsonFields = std::tuple{required("_0", &Flag::flagRaw)};
  friend bool operator==(const Flag&, const Flag&) = default;
};
struct ColorLabel {
  std::int64_t colorLabelRaw = 0;
  static constexpr auto jsonFields = std::tuple{required("_0", &ColorLabel::colorLabelRaw)};
  friend bool operator==(const ColorLabel&, const ColorLabel&) = default;
};
struct IsEdited {
  bool isEdited = false;
  static constexpr auto jsonFields = std::tuple{required("_0", &IsEdited::isEdited)};
  friend bool operator==(const IsEdited&, const IsEdited&) = default;
};
struct IsRAW {
  bool isRAW = false;
  static constexpr auto jsonFields = std::tuple{required("_0", &IsRAW::isRAW)};
  friend bool operator==(const IsRAW&, const IsRAW&) = default;
};
// Some keyword equals the text, ignoring case (whole keywords only).
struct Keyword {
  std::string text{};
  static constexpr auto jsonFields = std::tuple{required("_0", &Keyword::text)};
  friend bool operator==(const Keyword&, const Keyword&) = default;
};
// The file name contains the text, ignoring case under the current locale; "" never matches.
struct FilenameContains {
  std::string text{};
  static constexpr auto jsonFields = std::tuple{required("_0", &FilenameContains::text)};
  friend bool operator==(const FilenameContains&, const FilenameContains&) = default;
};
// Captured within [start, end]; a photo without a capture date never matches.
struct CapturedBetween {
  Date start{};
  Date end{};
  static constexpr auto jsonFields =
      std::tuple{required("_0", &CapturedBetween::start), required("_1", &CapturedBetween::end)};
  friend bool operator==(const CapturedBetween&, const CapturedBetween&) = default;
};
// The recursive cases hold SmartQuery before it is complete: their members have no initialisers
// (those would need it complete), and they compare out of line (a comparison defaulted here
// would ask whether SmartQuery is comparable while SmartQuery's own comparison asks the same).

// Every member matches; an empty list matches every photo.
struct And {
  std::vector<SmartQuery> members;
  static constexpr auto jsonFields = std::tuple{required("_0", &And::members)};
  friend bool operator==(const And&, const And&);
};
// Some member matches; an empty list matches no photo.
struct Or {
  std::vector<SmartQuery> members;
  static constexpr auto jsonFields = std::tuple{required("_0", &Or::members)};
  friend bool operator==(const Or&, const Or&);
};
struct Not {
  Indirect<SmartQuery> member;
  static constexpr auto jsonFields = std::tuple{required("_0", &Not::member)};
  friend bool operator==(const Not&, const Not&);
};

}  // namespace smart_query

// A plain value: copy, move, compare structurally with ==; evaluation is pure and may run on
// any number of threads at once. Its JSON form is {"case":{"_0":…}}. Decoding stops with an
// error once it is more than maxDecodingDepth keys and indices deep in its document (a query
// of 256 nested `not`, or 170 nested `and`), so neither decoding nor evaluating a decoded query
// recurses deeper than that.
class SmartQuery
    : public OneOf<smart_query::All, smart_query::RatingAtLeast, smart_query::RatingAtMost,
                   smart_query::Flag, smart_query::ColorLabel, smart_query::IsEdited,
                   smart_query::IsRAW, smart_query::Keyword, smart_query::FilenameContains,
                   smart_query::CapturedBetween, smart_query::And, smart_query::Or,
                   smart_query::Not> {
 public:
  using All = smart_query::All;
  using RatingAtLeast = smart_query::RatingAtLeast;
  using RatingAtMost = smart_query::RatingAtMost;
  using Flag = smart_query::Flag;
  using ColorLabel = smart_query::ColorLabel;
  using IsEdited = smart_query::IsEdited;
  using IsRAW = smart_query::IsRAW;
  using Keyword = smart_query::Keyword;
  using FilenameContains = smart_query::FilenameContains;
  using CapturedBetween = smart_query::CapturedBetween;
  using And = smart_query::And;
  using Or = smart_query::Or;
  using Not = smart_query::Not;
  using OneOf::OneOf;

  static constexpr auto jsonCases = std::tuple{jsonCase<All>("all"),
                                               jsonCase<RatingAtLeast>("ratingAtLeast"),
                                               jsonCase<RatingAtMost>("ratingAtMost"),
                                               jsonCase<Flag>("flag"),
                                               jsonCase<ColorLabel>("colorLabel"),
                                               jsonCase<IsEdited>("isEdited"),
                                               jsonCase<IsRAW>("isRAW"),
                                               jsonCase<Keyword>("keyword"),
                                               jsonCase<FilenameContains>("filenameContains"),
                                               jsonCase<CapturedBetween>("capturedBetween"),
                                               jsonCase<And>("and"),
                                               jsonCase<Or>("or"),
                                               jsonCase<Not>("not")};

  static constexpr std::size_t maxDecodingDepth = 512;

  // And and or evaluate their members in order and stop as soon as the answer is known.
  bool matches(const PhotoAttributes& photo) const;
};

// The declared decoding, refused beyond maxDecodingDepth.
void fromJSON(const JsonValue& j, SmartQuery& out, const CodingPath& path);

}  // namespace tarno::core
