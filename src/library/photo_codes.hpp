// The store's integer codes of flags and colour labels, and the names requests give them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarno::library {

// "none" 0, "pick" 1, "reject" -1 (exact, lower case).
std::optional<std::int64_t> flagCode(std::string_view name);
// "none" 0, "red" 1, "orange" 2, "yellow" 3, "green" 4, "blue" 5, "purple" 6, "gray" (or
// "grey") 7, in any letter case.
std::optional<std::int64_t> colorLabelCode(std::string_view name);
// The accepted names, for error messages.
std::string colorLabelNames();

}  // namespace tarno::library
