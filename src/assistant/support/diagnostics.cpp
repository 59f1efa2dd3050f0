// Diagnostic lines on standard error.
#include "tarno/assistant/support/diagnostics.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"

namespace tarno::assistant::diagnostics {

void note(std::string_view message) {
  std::string line(prefix);
  line += message;
  line += '\n';
  (void)writeAll(STDERR_FILENO, line);
}

bool debugEnabled() {
  static const bool enabled = [] {
    const char* level = std::getenv("TARNO_ASSISTANT_LOG");
    return level != nullptr && std::string_view(level) == "debug";
  }();
  return enabled;
}

void debug(std::string_view message) {
  if (debugEnabled()) note(message);
}

void childStarted(std::string_view what, pid_t pid) {
  if (!debugEnabled()) return;
  debug("started " + std::string(what) + " (pid " + std::to_string(pid) + ")");
}

void childExited(std::string_view what, pid_t pid, const ExitStatus& status) {
  if (!debugEnabled()) return;
  std::string how;
  switch (status.kind) {
    case ExitStatus::Kind::exited:
      how = "exited with status " + std::to_string(status.value);
      break;
    case ExitStatus::Kind::signaled:
      how = "killed by signal " + std::to_string(status.value);
      break;
    case ExitStatus::Kind::unknown:
      how = "ended (status lost)";
      break;
  }
  debug(std::string(what) + " (pid " + std::to_string(pid) + ") " + how);
}

}  // namespace tarno::assistant::diagnostics
