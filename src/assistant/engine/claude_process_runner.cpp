// One CLI run: the child, one thread reading both of its output pipes, and the closing
// `finished` event when the CLI did not send its own.
#include "tarno/assistant/engine/claude_process_runner.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "tarno/assistant/engine/line_accumulator.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/assistant/support/thread_owner.hpp"
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

// How often a run looks whether its child has exited: a process the child left behind may
// hold the pipes open long after it.
constexpr std::chrono::milliseconds idleCheck{50};

constexpr std::string_view childName = "claude";

// The runs' threads, joined at process exit after their children were stopped.
ThreadOwner& runThreads() {
  static ThreadOwner owner;
  return owner;
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
  // are closed. The caller finishes the stream. A stop (process exit) ends the child.
  void run(const Continuation& out, std::stop_token stop) {
    if (!launch(out)) return;
    const pid_t pid = process_.pid();
    diagnostics::childStarted(childName, pid);
    OutputSource sources[] = {
        {out_.get(), [&](std::string_view bytes) { handleOutput(bytes, out); }},
        {err_.get(), [&](std::string_view bytes) { appendStderr(bytes); }},
    };
    ReadToEndControl control{
        .chunkBytes = readChunkBytes,
        .tick = idleCheck,
        .keepReading =
            [&] {
              // Output still open after the child has gone is only waited for while someone
              // listens; standard error alone (the child may close standard output and go on
              // writing errors) only while the child runs.
              if (sources[0].open) return !out.isTerminated() || process_.isRunning();
              return process_.isRunning();
            },
        .child = &process_,
        .stop = stop,
    };
    try {
      readToEnd(sources, control);
      if (!out.isTerminated()) {
        if (std::optional<std::string> last = flushOut()) handleLine(*last, out);
      }
    } catch (...) {
      // Out of memory on the way: nothing more can be read, so the child must not wait for us.
      out_.reset();
      err_.reset();
      process_.terminate();
    }
    // A child that closed its output but runs on is not waited for at exit.
    const ExitStatus status = stop.stop_requested() ? process_.terminateAndWait() : process_.wait();
    diagnostics::childExited(childName, pid, status);
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

  void appendStderr(std::string_view bytes) {
    std::lock_guard guard(lock_);
    const std::size_t room = ClaudeProcessRunner::maxStderrBytes - stderr_.size();
    stderr_.append(bytes.substr(0, room));
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
    // The thread holds its share of the run and ends once the child is reaped (after its
    // output has ended, or after its exit when the stream was cancelled).
    runThreads().start(std::string(childName), [state, continuation](std::stop_token stop) {
      try {
        state->run(continuation, std::move(stop));
      } catch (...) {
        // Nothing can be reported without memory; the stream still ends below.
      }
      continuation.finish();
    });
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
