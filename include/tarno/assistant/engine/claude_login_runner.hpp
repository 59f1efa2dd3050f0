// The claude CLI's interactive sign-in ("auth login") on a pseudo-terminal, relayed as
// assistant events, and the hand-over of an authorization code pasted in the app.
//
// Each sign-in runs on a thread of its own ("login") that reads the terminal until the CLI
// closes it. The stream has no cancellation hook: a consumer that goes away does not stop the
// CLI, which runs until it exits or the time limit ends it. The process-wide record of the
// terminal in progress is guarded by one lock, which submitCode() holds while it writes, and
// which the sign-in takes to clear the record before it closes the terminal, so a code never
// reaches a closed or reused descriptor. Sign-ins still running when the process exits are
// sent SIGTERM and waited for.
//
// Every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {

struct ClaudeLoginRunner {
  ClaudeLoginRunner() = delete;

  static constexpr unsigned short terminalRows = 200;
  static constexpr unsigned short terminalColumns = 4000;
  static constexpr std::size_t readBufferSize = 8192;
  static constexpr std::chrono::milliseconds timeLimit{std::chrono::seconds(180)};

  // How the CLI child is set up. The defaults are what the app gets; tests substitute their own.
  struct Options {
    // The child's complete environment; absent: the allowlisted part of this process's.
    std::optional<Environment> environment;
    // Absent: the agent working directory.
    std::optional<std::string> workingDirectory;
    // How long the CLI may take before it is sent SIGTERM.
    std::chrono::milliseconds timeLimit = ClaudeLoginRunner::timeLimit;
  };

  // Starts "auth login" with the CLI at `executable` and returns at once. The stream opens with
  // a note that the browser is opening, may carry the sign-in address and one
  // awaitingLoginCode, and ends with one `finished` event.
  static EventStream<AssistantEvent> stream(const std::string& executable);
  static EventStream<AssistantEvent> stream(const std::string& executable, Options options);

  // Writes the trimmed `code` and one line feed into the terminal of the sign-in in progress;
  // true when all of it was written. False, writing nothing, when the code is blank or no
  // sign-in is running.
  static bool submitCode(std::string_view code);

  // Reads `fd` in chunks of readBufferSize until end of file or a read error (a terminal
  // master reports EIO once the child side is closed). After each chunk `onChunk` gets
  // everything read so far, decoded as UTF-8 with replacement. Returns the raw bytes read.
  static std::string readToEOF(int fd, const std::function<void(const std::string&)>& onChunk);

  // The sign-in address in the CLI's output: the first https target of a terminal hyperlink,
  // else the best https address in the text with escape sequences removed (one that mentions
  // oauth, authorize or login, else the first).
  static std::optional<std::string> extractAuthURL(std::string_view text);

  // The first target of a terminal hyperlink (OSC 8, ended by BEL or ESC \) that is an https
  // address.
  static std::optional<std::string> firstOSC8Target(std::string_view text);

  // Whether the output asks for an authorization code to be pasted.
  static bool expectsCode(std::string_view text);
};

}  // namespace tarno::assistant
