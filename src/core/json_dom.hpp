// simdjson's DOM as the value tree, for hot paths that read simdjson first and build values only
// for what they keep. Internal to the libraries: it brings in <simdjson.h>.
#pragma once

#include <simdjson.h>

#include "tarno/core/json_value.hpp"

namespace tarno::core {

// The value tree of one simdjson element (the one conversion from simdjson's tree).
JsonValue toJsonValue(simdjson::dom::element e);

}  // namespace tarno::core
