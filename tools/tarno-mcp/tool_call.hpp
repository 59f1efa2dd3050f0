// One tools/call: the arguments checked against the method's parameters record, carried to the
// app unchanged, and the app's answer turned into MCP content for the model.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "tarno/core/json_value.hpp"
#include "tool_table.hpp"

namespace tarno::mcp {

// Given the bytes of one JSON-RPC request, the bytes of the app's response; never fails (a
// failure is an error response or bytes that are not a JSON object).
using Dispatch = std::function<std::string(const std::string& request)>;

// Previews whose Base64 text is longer than this are refused: the answer carrying them has to
// fit a frame with room to spare.
inline constexpr std::size_t maxImageBase64Bytes = 8 * 1024 * 1024 - 64 * 1024;

// The tools/call result: {"content":[…],"isError":…}. Arguments that do not fit the method's
// record are answered as an error result with the decoder's message and never reach the app.
// Results are one text item of compact JSON, except previews: an image item (PNG) and a short
// text item.
core::JsonValue callTool(const Tool& tool, std::string_view argumentsJSON,
                         const Dispatch& dispatch);

}  // namespace tarno::mcp
