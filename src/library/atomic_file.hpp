// Files the library writes (sidecars, exports) appear whole or not at all: written under a
// hidden temporary name beside the target, synced, renamed over it, and the folder synced.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarno::library {

// Returns false with an error text on failure, leaving the target as it was.
bool replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           std::string* error);

}  // namespace tarno::library
