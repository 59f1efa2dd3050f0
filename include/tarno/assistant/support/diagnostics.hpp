// Lines on standard error, "tarno-assistant: " + message: the executable's own notes, and the
// opt-in debugging notes that TARNO_ASSISTANT_LOG=debug turns on.
//
// The variable is read once, on first use. Every function may be called from any thread; each
// line is written with one write, so lines of concurrent writers do not mix.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace tarno::assistant {
struct ExitStatus;
}

namespace tarno::assistant::diagnostics {

inline constexpr std::string_view prefix = "tarno-assistant: ";

// Writes one line, always.
void note(std::string_view message);

// Whether debugging notes are on.
bool debugEnabled();

// Writes one line when debugging notes are on. Callers that build the message at some cost
// test debugEnabled() first.
void debug(std::string_view message);

// Debugging notes about a child: "started claude auth status (pid 42)", then
// "claude auth status (pid 42) exited with status 0" or "… killed by signal 15".
void childStarted(std::string_view what, pid_t pid);
void childExited(std::string_view what, pid_t pid, const ExitStatus& status);

}  // namespace tarno::assistant::diagnostics
