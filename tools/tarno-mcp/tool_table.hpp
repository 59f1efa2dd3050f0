// The tools tarno-mcp offers: one per app method, each carried out as one call of that method
// with the tool's arguments as its parameters. The native catalog's eight come first, as that
// catalog describes them; the others follow in method order, their input schemas derived from
// the methods' parameter records.
//
// Everything is built once, on first use, and never changes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/core/json_value.hpp"
#include "tarno/protocol/ipc_method.hpp"

namespace tarno::mcp {

struct Tool {
  std::string name;
  std::string description;
  core::JsonValue inputSchema;
  protocol::IPCMethod method;
  // The decoder's message when the arguments (the text of a JSON object) do not fit the
  // method's parameters record; nothing when they do. The app would answer the same text.
  std::optional<std::string> (*check)(std::string_view arguments);
};

// In the order tools/list offers them.
const std::vector<Tool>& tools();

// The tool with exactly this name; nothing for any other.
const Tool* findTool(std::string_view name);

// The result of tools/list, {"tools":[{"name":…,"description":…,"inputSchema":…},…]}, as
// compact JSON text.
const std::string& toolListJSON();

}  // namespace tarno::mcp
