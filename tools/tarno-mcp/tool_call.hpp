// One tools/call: the arguments checked against the method's parameters record, carried to the
// app as they were written, and the app's answer turned into MCP content for the model.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tarno/assistant/native/native_agent_runner.hpp"
#include "tool_table.hpp"

namespace tarno::mcp {

// Previews whose Base64 text is longer than this are refused: the answer carrying them has to
// fit a frame with room to spare.
inline constexpr std::size_t maxImageBase64Bytes = 8 * 1024 * 1024 - 64 * 1024;

// The tools/call result as JSON text: {"content":[…],"isError":…}. Arguments (a JSON object's
// text) that do not fit the method's record are answered as an error result with the decoder's
// message and never reach the app. Results are one text item of compact JSON, except previews:
// an image item (PNG) and a short text item.
std::string callTool(const Tool& tool, std::string_view argumentsJSON,
                     const assistant::NativeAgentRunner::Dispatch& dispatch);

}  // namespace tarno::mcp
