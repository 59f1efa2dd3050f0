// One CLI run: the child, one reader thread polling both of its output pipes, and the closing
// `finished` event when the CLI did not send its own.
#include "tarno/assistant/engine/claude_process_runner.hpp"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "tarno/assistant/engine/line_accumulator.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {
namespace {

using Stream = EventStream<AssistantEvent>;
using Continuation = Stream::Continuation;

constexpr std::string_view launchFailurePrefix = "couldn't launch claude: ";
constexpr std::string_view exitStatusPrefix = "claude exited with status ";

// A pipe holds 64 KiB by default: one read can take all of it.
constexpr std::size_t readChunkBytes = 64 * 1024;

// How often a run with nothing to read looks whether its child has exited: a process the child
// left behind may hold the pipes open long after it.
constexpr int idleCheckMillis = 50;

// Stops a drain of standard error after the child's exit from going on forever when something
// else keeps writing to it.
constexpr int maxDrainReads = 64;

// read() resumed after signals: the byte count, 0 at end of file, -1 on failure.
ssize_t readSome(int fd, std::span<char> buffer) {
  ssize_t n;
  do {
    n = ::read(fd, buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  return n;
}

// One run, shared by its thread and the stream's termination hook; the hook holds it weakly.
class RunnerState {
 public:
  RunnerState(ChildProcess::Options options, ClaudeProcessRunner::LineParser parse)
      : options_(std::move(options)), parse_(std::move(parse)) {}

  // The termination hook: SIGTERM if the child runs; a child still being started gets it as
  // soon as it exists, and one not started yet is never started.
  void terminateChild() {
    std::lock_guard guard(lock_);
    cancelled_ = true;
    process_.terminate();
  }

  // The run's whole life, on its own thread; returns once the child is reaped and both pipes
  // are closed. The caller finishes the stream.
  void run(const Continuation& out) {
    if (!launch(out)) return;
    std::vector<char> buffer(readChunkBytes);
    bool stderrOpen = true;
    try {
      stderrOpen = readOutput(out, buffer);
    } catch (...) {
      // Out of memory on the way: nothing more can be read, so the child must not wait for us.
      out_.reset();
      err_.reset();
      process_.terminate();
    }
    const ExitStatus status = process_.wait();
    if (stderrOpen) drainStderr(buffer);
    out_.reset();
    err_.reset();
    finishIfSilent(out, status);
  }

 private:
  bool launch(const Continuation& out) {
    {
      std::lock_guard guard(lock_);
      if (cancelled_) return false;  // nobody listens any more
    }
    SpawnResult spawned = ChildProcess::spawn(options_);
    if (const auto* error = std::get_if<LaunchError>(&spawned)) {
      out.yield(AssistantEvent::finished(std::string(launchFailurePrefix) + error->message, true));
      return false;
    }
    auto& child = std::get<ChildProcess>(spawned);
    out_ = child.takeStdout();
    err_ = child.takeStderr();
    std::lock_guard guard(lock_);
    process_ = std::move(child);
    // A cancellation during the spawn found nothing to signal.
    if (cancelled_) process_.terminate();
    return true;
  }

  // Reads standard output to its end, collecting standard error meanwhile so that the child
  // never blocks on a full stderr pipe. Returns whether standard error is still open.
  bool readOutput(const Continuation& out, std::span<char> buffer) {
    pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
    while (fds[0].fd >= 0) {
      const int ready = ::poll(fds, 2, idleCheckMillis);
      if (ready < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "poll");
      }
      if (ready == 0) {
        // Output still open after the child has gone is only waited for while someone listens.
        if (out.isTerminated() && !process_.isRunning()) break;
        continue;
      }
      if (fds[1].revents != 0 && !readStderr(buffer)) fds[1].fd = -1;  // poll skips it now
      if (fds[0].revents != 0) {
        const ssize_t n = readSome(fds[0].fd, buffer);
        if (n <= 0) {
          fds[0].fd = -1;
        } else {
          handleOutput(std::string_view(buffer.data(), static_cast<std::size_t>(n)), out);
        }
      }
    }
    if (!out.isTerminated()) {
      if (std::optional<std::string> last = flushOut()) handleLine(*last, out);
    }

    // The child may close standard output and go on writing errors before it exits.
    while (fds[1].fd >= 0) {
      const int ready = ::poll(&fds[1], 1, idleCheckMillis);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && !readStderr(buffer)) fds[1].fd = -1;
      if (fds[1].fd >= 0 && !process_.isRunning()) break;
    }
    return fds[1].fd >= 0;
  }

  // Once nobody listens, output is still read (the child must not block) but dropped
  // undecoded: a cancelled run must not keep a process that is exiting busy.
  void handleOutput(std::string_view bytes, const Continuation& out) {
    if (out.isTerminated()) return;
    std::vector<std::string> lines;
    {
      std::lock_guard guard(lock_);
      lines = accumulator_.append(bytes);
    }
    for (const std::string& line : lines) {
      if (out.isTerminated()) return;
      handleLine(line, out);
    }
  }

  std::optional<std::string> flushOut() {
    std::lock_guard guard(lock_);
    return accumulator_.flush();
  }

  void handleLine(const std::string& line, const Continuation& out) {
    std::vector<AssistantEvent> events;
    try {
      events = parse_(line);
    } catch (...) {
      // A parser that fails on a line has understood nothing in it.
      return;
    }
    for (AssistantEvent& event : events) {
      if (event.is<AssistantEvent::Finished>()) {
        std::lock_guard guard(lock_);
        sawFinished_ = true;
      }
      out.yield(std::move(event));
    }
  }

  // One read of standard error; false at its end.
  bool readStderr(std::span<char> buffer) {
    const ssize_t n = readSome(err_.get(), buffer);
    if (n <= 0) return false;
    std::lock_guard guard(lock_);
    const std::size_t room = ClaudeProcessRunner::maxStderrBytes - stderr_.size();
    stderr_.append(buffer.data(), std::min(room, static_cast<std::size_t>(n)));
    return true;
  }

  // What the exited child left in its stderr pipe, without waiting for more.
  void drainStderr(std::span<char> buffer) {
    for (int i = 0; i < maxDrainReads; ++i) {
      pollfd fd{err_.get(), POLLIN, 0};
      if (::poll(&fd, 1, 0) <= 0 || !readStderr(buffer)) return;
    }
  }

  void finishIfSilent(const Continuation& out, ExitStatus status) {
    if (out.isTerminated()) return;
    std::string errorBytes;
    {
      std::lock_guard guard(lock_);
      if (sawFinished_) return;
      errorBytes = std::move(stderr_);
    }
    // Killed by a signal: its number. Reaped by someone else: the status is lost.
    const int code = status.kind == ExitStatus::Kind::unknown ? -1 : status.value;
    std::string text = core::trimmingWhitespaceAndNewlines(core::decodeUTF8Lossy(errorBytes));
    if (text.empty()) text = std::string(exitStatusPrefix) + std::to_string(code);
    out.yield(AssistantEvent::finished(std::move(text), code != 0));
  }

  const ChildProcess::Options options_;
  const ClaudeProcessRunner::LineParser parse_;

  std::mutex lock_;
  // Guarded by lock_. The child is only replaced at launch; waiting for it needs no lock,
  // since ChildProcess allows terminate() from another thread meanwhile.
  ChildProcess process_;
  bool cancelled_ = false;
  LineAccumulator accumulator_;
  bool sawFinished_ = false;
  std::string stderr_;  // raw bytes, decoded once at the end

  // Only the run's thread touches these.
  unique_fd out_;
  unique_fd err_;
};

}  // namespace

EventStream<AssistantEvent> ClaudeProcessRunner::stream(std::string executable,
                                                        std::vector<std::string> arguments,
                                                        Environment environment,
                                                        std::optional<std::string> currentDirectory,
                                                        LineParser parse) {
  ChildProcess::Options options(std::move(executable));
  options.withArguments(std::move(arguments))
      .withEnvironment(environmentEntries(environment))
      .withStandardOutput(ChildProcess::Stdio::piped())
      .withStandardError(ChildProcess::Stdio::piped());
  if (currentDirectory) options.withWorkingDirectory(std::move(*currentDirectory));

  auto state = std::make_shared<RunnerState>(std::move(options), std::move(parse));
  auto made = Stream::make();
  const Continuation& continuation = made.second;
  continuation.onTermination([weak = std::weak_ptr<RunnerState>(state)](Termination) {
    if (auto alive = weak.lock()) alive->terminateChild();
  });
  try {
    // Detached: the thread owns its share of the run and ends once the child is reaped (after
    // its output has ended, or after its exit when the stream was cancelled); nobody has to
    // wait for it.
    std::thread([state, continuation] {
#ifdef __linux__
      ::pthread_setname_np(::pthread_self(), "tarno-claude");
#endif
      try {
        state->run(continuation);
      } catch (...) {
        // Nothing can be reported without memory; the stream still ends below.
      }
      continuation.finish();
    }).detach();
  } catch (const std::system_error& error) {
    continuation.yield(AssistantEvent::finished(
        std::string(launchFailurePrefix) + core::decodeUTF8Lossy(error.code().message()), true));
    continuation.finish();
  }
  return std::move(made.first);
}

EventStream<AssistantEvent> ClaudeProcessRunner::stream(
    std::string executable, const ClaudeInvocation& invocation, Environment environment,
    std::optional<std::string> currentDirectory) {
  return stream(std::move(executable), invocation.arguments(), std::move(environment),
                std::move(currentDirectory),
                [](const std::string& line) { return StreamJSONParser::events(line); });
}

}  // namespace tarno::assistant
