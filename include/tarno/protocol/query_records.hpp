// Parameters and results of searching the library (library.query) and of changing what the app
// displays or selects (library.show, library.select, editor.open); none of them changes a photo.
// Common record rules: library_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"
#include "tarno/core/photo_summary.hpp"

namespace tarno::protocol {

// Params of library.query: every filter is optional and the given ones combine; {} is a query
// without filters. With `show` the matches are also displayed as a view titled `title`.
struct QueryParams {
  std::optional<core::Date> dateFrom;  // capture dates
  std::optional<core::Date> dateTo;
  std::optional<double> latitude;  // centre of a place filter, degrees
  std::optional<double> longitude;
  std::optional<double> radiusMeters;
  std::optional<std::int64_t> minRating;
  std::optional<std::string> flag;  // as FlagParams::flag
  std::optional<bool> editedOnly;
  std::optional<bool> videoOnly;
  std::optional<bool> favoritesOnly;
  std::optional<std::string> text;  // words matched against photo content
  std::optional<std::int64_t> limit;
  std::optional<bool> show;
  std::optional<std::string> title;
  static constexpr auto jsonFields =
      std::tuple{core::optional("dateFrom", &QueryParams::dateFrom),
                 core::optional("dateTo", &QueryParams::dateTo),
                 core::optional("latitude", &QueryParams::latitude),
                 core::optional("longitude", &QueryParams::longitude),
                 core::optional("radiusMeters", &QueryParams::radiusMeters),
                 core::optional("minRating", &QueryParams::minRating),
                 core::optional("flag", &QueryParams::flag),
                 core::optional("editedOnly", &QueryParams::editedOnly),
                 core::optional("videoOnly", &QueryParams::videoOnly),
                 core::optional("favoritesOnly", &QueryParams::favoritesOnly),
                 core::optional("text", &QueryParams::text),
                 core::optional("limit", &QueryParams::limit),
                 core::optional("show", &QueryParams::show),
                 core::optional("title", &QueryParams::title)};
  friend bool operator==(const QueryParams&, const QueryParams&) = default;
};

// Result of library.query.
struct QueryResult {
  std::vector<std::string> ids;
  std::int64_t count = 0;
  std::vector<core::PhotoSummary> sample;  // summaries of some of the matches
  bool shown = false;                      // the matches were displayed
  static constexpr auto jsonFields = std::tuple{
      core::required("ids", &QueryResult::ids), core::required("count", &QueryResult::count),
      core::required("sample", &QueryResult::sample), core::required("shown", &QueryResult::shown)};
};

// Params of library.show: an arbitrary set of photos as a titled view.
struct ShowParams {
  std::vector<std::string> ids;
  std::optional<std::string> title;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &ShowParams::ids),
                                                core::optional("title", &ShowParams::title)};
  friend bool operator==(const ShowParams&, const ShowParams&) = default;
};

// Result of library.show.
struct ShowResult {
  std::int64_t shown = 0;
  std::string title;  // as shown
  static constexpr auto jsonFields = std::tuple{core::required("shown", &ShowResult::shown),
                                                core::required("title", &ShowResult::title)};
  friend bool operator==(const ShowResult&, const ShowResult&) = default;
};

// Params of library.select.
struct SelectParams {
  std::vector<std::string> ids;
  std::optional<std::string> primary;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &SelectParams::ids),
                                                core::optional("primary", &SelectParams::primary)};
  friend bool operator==(const SelectParams&, const SelectParams&) = default;
};

// Result of library.select.
struct SelectResult {
  std::int64_t selected = 0;
  std::optional<std::string> primary;
  static constexpr auto jsonFields = std::tuple{core::required("selected", &SelectResult::selected),
                                                core::optional("primary", &SelectResult::primary)};
  friend bool operator==(const SelectResult&, const SelectResult&) = default;
};

// Params of editor.open; `open` false closes the editor.
struct OpenEditorParams {
  std::optional<std::string> id;
  std::optional<bool> open;
  static constexpr auto jsonFields = std::tuple{core::optional("id", &OpenEditorParams::id),
                                                core::optional("open", &OpenEditorParams::open)};
  friend bool operator==(const OpenEditorParams&, const OpenEditorParams&) = default;
};

// Result of editor.open.
struct OpenEditorResult {
  bool open = false;  // afterwards
  std::optional<std::string> photoID;
  static constexpr auto jsonFields =
      std::tuple{core::required("open", &OpenEditorResult::open),
                 core::optional("photoID", &OpenEditorResult::photoID)};
  friend bool operator==(const OpenEditorResult&, const OpenEditorResult&) = default;
};

}  // namespace tarno::protocol
