// What a file is by its name: the library takes photos and videos by extension, and reads raw
// files and videos by other means than the rest.
#pragma once

#include <string>
#include <string_view>

namespace tarno::library {

enum class Kind { none, jpeg, png, tiff, heif, webp, raw, video };

// The extension, lower-cased ASCII; empty when the name has none.
std::string lowerExtension(std::string_view fileName);

Kind kindOfName(std::string_view fileName);

}  // namespace tarno::library
