// Parameters and results of making and listing movies. Common record rules: library_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"

namespace tarno::protocol {

// Params of movie.make.
struct MovieMakeParams {
  std::vector<std::string> ids;  // photos and videos, in movie order
  std::optional<std::string> name;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &MovieMakeParams::ids),
                                                core::optional("name", &MovieMakeParams::name)};
  friend bool operator==(const MovieMakeParams&, const MovieMakeParams&) = default;
};

// The summary of one movie document.
struct MovieInfo {
  std::string id;
  std::string name;
  std::int64_t clipCount = 0;
  double durationSeconds = 0;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &MovieInfo::id), core::required("name", &MovieInfo::name),
                 core::required("clipCount", &MovieInfo::clipCount),
                 core::required("durationSeconds", &MovieInfo::durationSeconds)};
  friend bool operator==(const MovieInfo&, const MovieInfo&) = default;
};

// Result of movie.list.
struct MovieListResult {
  std::vector<MovieInfo> movies;
  static constexpr auto jsonFields = std::tuple{core::required("movies", &MovieListResult::movies)};
};

}  // namespace tarno::protocol
