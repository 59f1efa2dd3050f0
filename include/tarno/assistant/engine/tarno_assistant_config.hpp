// The fixed configuration every claude run shares: appended system prompt, tool naming, the
// Photos-library write tools, the inline MCP configuration and the agent working directory.
//
// Everything here is a constant or a pure function and may be used from any thread, except
// agentWorkingDirectory(), which touches the file system (also safe from any thread).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarno::assistant {

struct TarnoAssistantConfig {
  TarnoAssistantConfig() = delete;

  // The MCP server's name in the configuration JSON.
  static constexpr std::string_view serverName = "tarno";

  // Bare names of the tools that write to the user's Apple Photos library, in the order they
  // are passed to the CLI.
  static constexpr std::array<std::string_view, 10> photosLibraryWriteToolBareNames = {
      "tarno_edit_commit", "tarno_video_commit", "tarno_delete", "tarno_geotag",
      "tarno_favorite",    "tarno_hide",         "tarno_import", "tarno_album_create",
      "tarno_album_add",   "tarno_album_remove",
  };

  // The CLI's fully qualified name of a tool of our MCP server: "mcp__tarno__" + bare name.
  static std::string toolName(std::string_view bareName);

  // The ten write tools, each through toolName().
  static const std::vector<std::string>& photosLibraryWriteTools();
  static const std::vector<std::string>& defaultDisallowedTools() {
    return photosLibraryWriteTools();
  }
  static std::string commitToolName() { return toolName("tarno_edit_commit"); }
  static std::string videoCommitToolName() { return toolName("tarno_video_commit"); }
  static std::string deleteToolName() { return toolName("tarno_delete"); }
  static std::string geotagToolName() { return toolName("tarno_geotag"); }

  // No tools when the user allowed changes to the Photos library, else the write tools.
  static std::vector<std::string> disallowedTools(bool allowCommit);

  // Appended to the CLI's own system prompt on every run (UTF-8, 2,091 bytes).
  static const std::string_view systemPromptAddendum;

  // The inline MCP configuration for a tarno-mcp at `mcpPath`: compact, keys sorted, "/" written
  // as "\/". Falls back to mcpConfigFallbackJSON when the text cannot be produced as valid UTF-8
  // (for instance a path holding bytes that are not UTF-8).
  static std::string mcpConfigJSON(std::string_view mcpPath);
  static constexpr std::string_view mcpConfigFallbackJSON = "{\"mcpServers\":{}}";

  // The working directory of every claude child: ".tarno/agent" inside the user's home
  // directory. Created (with missing parents, new directories 0700) on every call; failures
  // are ignored and the same path is returned whatever happened.
  static std::string agentWorkingDirectory();
  // The same below a given home directory.
  static std::string agentWorkingDirectory(std::string_view home);
};

}  // namespace tarno::assistant
