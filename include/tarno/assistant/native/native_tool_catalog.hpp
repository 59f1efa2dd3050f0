// The eight tools offered to the local model, each carried out as one call of the app's
// JSON-RPC interface with the model's arguments as the call's parameters. Any host that offers
// these tools (the native loop, an MCP server) takes them from here.
//
// Everything is built once, on first use, and never changes: safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/core/json_value.hpp"
#include "tarno/protocol/ipc_method.hpp"

namespace tarno::assistant {

struct NativeTool {
  std::string name;         // as the model sees it: "tarno_list"
  std::string description;  // one line for the model
  // JSON schema of the arguments object: {"type":"object","properties":{…}[,"required":[…]]}.
  core::JsonValue parameters;
  protocol::IPCMethod method;  // the app method that carries the tool out
};

namespace NativeToolCatalog {

// In the order they are offered.
const std::vector<NativeTool>& tools();

// The tools in the chat-completions form, in catalog order:
// [{"type":"function","function":{"name":…,"description":…,"parameters":…}}, …].
const core::JsonValue& schema();

// The method of the tool with exactly this name (case-sensitive); nothing for any other name.
std::optional<protocol::IPCMethod> method(std::string_view name);

}  // namespace NativeToolCatalog

}  // namespace tarno::assistant
