// Place names resolved offline: the cities that name the time-zone database's zones
// (/usr/share/zoneinfo/zone1970.tab and zone.tab: "Europe/Paris" is Paris at +4852+00220).
#pragma once

#include <optional>
#include <string_view>

#include "tarno/core/photo_summary.hpp"

namespace tarno::library {

// The coordinate of a zone city named `name` ("Paris", "new york", "Europe/Paris"; text after a
// comma, as in "Paris, France", is ignored), compared without regard to letter case. Absent
// when no zone city has that name. Thread-safe; the tables are read once.
std::optional<core::Coordinate> placeCoordinate(std::string_view name);

// An ISO 6709 position as the tables write it: ±DDMM±DDDMM or ±DDMMSS±DDDMMSS.
std::optional<core::Coordinate> parseISO6709(std::string_view text);

}  // namespace tarno::library
