// A 16-byte UUID value, written as upper-case canonical text like the app writes it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarno::core {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  static Uuid random();  // version 4
  // Canonical 8-4-4-4-12 text in either case; absent for anything else.
  static std::optional<Uuid> parse(std::string_view text);
  std::string string() const;  // upper case

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace tarno::core
