// Locating the claude executable on disk.
#include "tarno/assistant/engine/claude_locator.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "tarno/core/user_home.hpp"

namespace tarno::assistant {

std::string ClaudeLocator::expandTilde(std::string_view path, std::string_view home) {
  if (path.empty() || path.front() != '~') return std::string(path);
  std::string expanded(home);
  expanded.append(path.substr(1));
  return expanded;
}

bool ClaudeLocator::isExecutableFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> ClaudeLocator::locate(std::string_view home,
                                                 std::optional<std::string_view> pathEnv,
                                                 const ExecutableTest& isExecutable) {
  for (std::string_view candidate : candidatePaths) {
    std::string path = expandTilde(candidate, home);
    if (isExecutable(path)) return path;
  }
  const std::string_view entries = pathEnv.value_or(std::string_view{});
  std::size_t start = 0;
  while (start <= entries.size()) {
    std::size_t end = entries.find(':', start);
    if (end == std::string_view::npos) end = entries.size();
    const std::string_view piece = entries.substr(start, end - start);
    if (!piece.empty()) {
      std::string path = expandTilde(std::string(piece) + "/claude", home);
      if (isExecutable(path)) return path;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> ClaudeLocator::locate() {
  const char* path = std::getenv("PATH");
  return locate(core::userHomeDirectory(),
                path != nullptr ? std::optional<std::string_view>(path) : std::nullopt);
}

}  // namespace tarno::assistant
