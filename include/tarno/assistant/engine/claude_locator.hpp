// Finds the claude CLI: a fixed list of install locations first, then the PATH entries.
//
// Stateless; every function may be called from any thread (the executable test passed in must
// allow that too).
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarno::assistant {

struct ClaudeLocator {
  ClaudeLocator() = delete;

  using ExecutableTest = std::function<bool(const std::string& path)>;

  // Tried in this order, before anything on PATH.
  static constexpr std::array<std::string_view, 7> candidatePaths = {
      "/opt/homebrew/bin/claude",
      "/usr/local/bin/claude",
      "~/.claude/local/claude",
      "~/.local/bin/claude",
      "~/.npm-global/bin/claude",
      "~/.bun/bin/claude",
      "/opt/homebrew/opt/node/bin/claude",
  };

  // The path of the first executable found, exactly as it was tested (no normalisation), or
  // absent. `pathEnv` is the PATH value (absent counts as empty); empty pieces are skipped.
  static std::optional<std::string> locate(std::string_view home,
                                           std::optional<std::string_view> pathEnv,
                                           const ExecutableTest& isExecutable = isExecutableFile);

  // locate() with the current user's home directory, this process's PATH and the default test.
  static std::optional<std::string> locate();

  // "~" at the start is replaced by `home` by plain concatenation ("~x" gives home + "x");
  // anything else is returned unchanged.
  static std::string expandTilde(std::string_view path, std::string_view home);

  // The default executable test: a regular file (after following links) that this process
  // may execute.
  static bool isExecutableFile(const std::string& path);
};

}  // namespace tarno::assistant
