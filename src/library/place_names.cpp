// Zone cities and their coordinates, from the time-zone database's tables.
#include "library/place_names.hpp"

#include <charconv>
#include <fstream>
#include <string>
#include <vector>

#include "tarno/core/text.hpp"

namespace tarno::library {

namespace {

struct Place {
  std::string zone;  // lower case, "europe/paris"
  std::string city;  // lower case, "paris"
  core::Coordinate coordinate;
};

// Degrees from "±DDMM" or "±DDMMSS" with `degreeDigits` digits of degrees.
std::optional<double> angle(std::string_view text, std::size_t degreeDigits) {
  if (text.size() < 1 + degreeDigits + 2 || (text[0] != '+' && text[0] != '-')) return std::nullopt;
  const std::string_view digits = text.substr(1);
  if (digits.size() != degreeDigits + 2 && digits.size() != degreeDigits + 4) return std::nullopt;
  int parts[3] = {0, 0, 0};
  const std::size_t widths[3] = {degreeDigits, 2, digits.size() == degreeDigits + 4 ? 2u : 0u};
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    if (widths[i] == 0) continue;
    const char* begin = digits.data() + at;
    const auto [end, ec] = std::from_chars(begin, begin + widths[i], parts[i]);
    if (ec != std::errc() || end != begin + widths[i]) return std::nullopt;
    at += widths[i];
  }
  const double value = parts[0] + parts[1] / 60.0 + parts[2] / 3600.0;
  return text[0] == '-' ? -value : value;
}

std::vector<Place> readTables() {
  std::vector<Place> places;
  for (const char* file : {"/usr/share/zoneinfo/zone1970.tab", "/usr/share/zoneinfo/zone.tab"}) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      const std::size_t tab1 = line.find('\t');
      const std::size_t tab2 = line.find('\t', tab1 + 1);
      if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
      const std::size_t tab3 = line.find('\t', tab2 + 1);
      const auto coordinate =
          parseISO6709(std::string_view(line).substr(tab1 + 1, tab2 - tab1 - 1));
      if (!coordinate) continue;
      std::string zone = core::lowercased(line.substr(tab2 + 1, tab3 - tab2 - 1));
      std::string city = zone.substr(zone.rfind('/') + 1);
      for (char& c : city) {
        if (c == '_') c = ' ';
      }
      places.push_back(Place{std::move(zone), std::move(city), *coordinate});
    }
  }
  return places;
}

}  // namespace

std::optional<core::Coordinate> parseISO6709(std::string_view text) {
  std::size_t split = std::string_view::npos;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '+' || text[i] == '-') {
      split = i;
      break;
    }
  }
  if (split == std::string_view::npos) return std::nullopt;
  const auto latitude = angle(text.substr(0, split), 2);
  const auto longitude = angle(text.substr(split), 3);
  if (!latitude || !longitude || *latitude > 90 || *latitude < -90 || *longitude > 180 ||
      *longitude < -180) {
    return std::nullopt;
  }
  return core::Coordinate{*latitude, *longitude};
}

std::optional<core::Coordinate> placeCoordinate(std::string_view name) {
  static const std::vector<Place> places = readTables();
  const std::string wanted =
      core::lowercased(core::trimmingWhitespaceAndNewlines(name.substr(0, name.find(','))));
  if (wanted.empty()) return std::nullopt;
  for (const Place& p : places) {
    if (p.city == wanted || p.zone == wanted) return p.coordinate;
  }
  return std::nullopt;
}

}  // namespace tarno::library
