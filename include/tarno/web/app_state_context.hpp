// The text an assistant run from the page gets as its context: what the person looks at now.
#pragma once

#include <optional>
#include <string>

#include "tarno/library/library_view.hpp"

namespace tarno::web {

// "CURRENT APP STATE", then the displayed view (title, count), the selection (count, primary)
// and the focused photo (id, file name), one line each.
std::string appStateContext(const library::ViewState& state,
                            const std::optional<std::string>& focusFileName);

}  // namespace tarno::web
