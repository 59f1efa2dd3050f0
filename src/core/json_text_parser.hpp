// The strict JSON text parser that takes over when simdjson refuses a number it cannot hold.
#pragma once

#include <string_view>

#include "tarno/core/json_value.hpp"

namespace tarno::core::detail {

// Parses one complete JSON text (RFC 8259, valid UTF-8, nesting at most 1024 deep, surrounding
// whitespace allowed) into `out`. Numbers read as simdjson reads them; one beyond int64, uint64
// and double range becomes a big number. On failure returns false and sets `reason` to the
// message simdjson gives for that kind of fault. Iterative: no input can exhaust the stack.
bool parseJsonText(std::string_view text, JsonValue& out, std::string_view& reason);

}  // namespace tarno::core::detail
