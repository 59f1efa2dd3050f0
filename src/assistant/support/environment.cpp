// Reading this process's environment and writing one for a child.
#include "tarno/assistant/support/environment.hpp"

#include <string_view>

extern char** environ;

namespace tarno::assistant {

Environment processEnvironment() {
  Environment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

std::vector<std::string> environmentEntries(const Environment& environment) {
  std::vector<std::string> entries;
  entries.reserve(environment.size());
  for (const auto& [name, value] : environment)
    entries.push_back(name + "=" + value);
  return entries;
}

}  // namespace tarno::assistant
