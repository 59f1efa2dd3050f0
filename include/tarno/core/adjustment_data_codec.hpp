// The bytes an edit stack is stored as beside a photo: compact JSON with ISO 8601 dates, tagged
// with a format identifier and version so that a reader can tell what it can load.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tarno/core/edit_stack.hpp"

namespace tarno::core::AdjustmentDataCodec {

inline constexpr std::string_view formatIdentifier = "com.tarno.app.editstack";
inline constexpr std::string_view currentFormatVersion = "1.1";
inline constexpr std::int64_t currentMajorVersion = 1;

// True for our identifier (exact case) with a major version we can read (at most ours).
bool canHandle(std::string_view formatIdentifier, std::string_view formatVersion);

// Throws EncodingError when a number has no JSON form (NaN, infinities).
std::string encode(const EditStack& stack);
// Absent when the bytes are not a stack; the reason is not kept.
std::optional<EditStack> decode(std::string_view data);

}  // namespace tarno::core::AdjustmentDataCodec
