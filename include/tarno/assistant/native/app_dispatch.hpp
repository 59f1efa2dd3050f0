// Carries one JSON-RPC request to the app over its IPC socket and brings back the answer, for
// hosts that link the native tools (tarno-native, an MCP server).
//
// Each call uses a connection of its own and may be made from any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tarno::assistant::AppDispatch {

inline constexpr std::chrono::milliseconds callTimeout{30'000};

// Sends `request` (one compact JSON-RPC request, no line feed) as one frame to the socket at
// `socketPath` and returns the first frame of the answer. Never fails: when the app cannot be
// reached, closes without answering, answers with more than a frame can hold or takes longer
// than `timeout` in all, the result is a JSON-RPC error response (internal error, no id) that
// says so.
std::string call(const std::string& socketPath, std::string_view request,
                 std::chrono::milliseconds timeout = callTimeout);

}  // namespace tarno::assistant::AppDispatch
