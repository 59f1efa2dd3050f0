// One CLI run: the child, one thread reading both of its output pipes, and the closing
// `finished` event when the CLI did not send its own.
#include "tarno/assistant/engine/claude_process_runner.hpp"

#include <signal.h>

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

using Clock = std::chrono::steady_clock;

// One run, shared by its thread and the stream's termination hook; the hook holds it weakly.
class RunnerState {
 public:
  RunnerState(ChildProcess::Options options, ClaudeProcessRunner::LineParser parse,
              std::chrono::milliseconds grace)
      : options_(std::move(options)), parse_(std::move(parse)), grace_(grace) {}

  // The termination hook. A child that has sent its finished event is left `grace_` to exit
  // on its own (it still writes its session file); any other gets SIGTERM at once, or as soon
  // as it exists while it is being started. One not started yet is never started.
  void consumerLeft() {
    std::lock_guard guard(lock_);
    const auto now = Clock::now();
    leftAt_ = now;
    if (!sawFinished_) terminateLocked(now);
  }

  // The run's whole life, on its own thread; returns once the child is reaped and both pipes
  // are closed. The caller finishes the stream. A stop (process exit) ends the child at once.
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
              const bool running = process_.isRunning();
              if (!running || !sources[0].open) windDown();
              escalate(stop);
              // Pipes still open after the child has gone belong to something it started: they
              // are read while someone listens, until its group has been killed.
              return running || (!out.isTerminated() && !killed());
            },
    };
    try {
      readToEnd(sources, control);
      if (!out.isTerminated()) {
        if (std::optional<std::string> last = flushOut()) yieldEventsOf({std::move(*last)}, out);
      }
    } catch (...) {
      // Out of memory on the way: nothing more can be read, so the child must not wait for us.
      out_.reset();
      err_.reset();
      std::lock_guard guard(lock_);
      terminateLocked(Clock::now());
    }
    // A child that closed its output but runs on is waited for only until it is due to end.
    windDown();
    std::optional<ExitStatus> status;
    while (!(status = process_.waitFor(idleCheck)))
      escalate(stop);
    diagnostics::childExited(childName, pid, *status);
    out_.reset();
    err_.reset();
    finishIfSilent(out, *status);
  }

 private:
  bool launch(const Continuation& out) {
    {
      std::lock_guard guard(lock_);
      if (leftAt_) return false;  // nobody listens any more
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
    if (terminatedAt_) process_.terminate();
    return true;
  }

  void terminateLocked(Clock::time_point now) {
    if (terminatedAt_) return;
    terminatedAt_ = now;
    process_.terminate();
  }

  // The child has exited or closed its output, so no event can follow: what is left of the run
  // (the child, or what it started and still holds a pipe) gets the grace, then its group is
  // ended. Otherwise a `sleep &` of the CLI would hold its turn open for as long as it sleeps.
  void windDown() {
    std::lock_guard guard(lock_);
    if (!windingDownAt_) windingDownAt_ = Clock::now();
  }

  bool killed() {
    std::lock_guard guard(lock_);
    return killed_;
  }

  // Moves a child that is due to end along: the terminate request once its consumer's grace
  // or its own is over (at once on a stop), SIGKILL once it has ignored that request for the
  // grace. The group is still reachable while the exited leader waits unreaped.
  void escalate(const std::stop_token& stop) {
    std::lock_guard guard(lock_);
    const auto now = Clock::now();
    const auto over = [&](const std::optional<Clock::time_point>& since) {
      return since && now >= *since + grace_;
    };
    if (stop.stop_requested() || over(leftAt_) || over(windingDownAt_)) terminateLocked(now);
    if (terminatedAt_ && !killed_ && now >= *terminatedAt_ + grace_) {
      killed_ = true;
      process_.sendSignal(SIGKILL);
    }
  }

  // Once nobody listens, output is still read (the child must not block) but dropped
  // undecoded: a cancelled run must not keep a process that is exiting busy. The events of one
  // read go out as one yield: one write to the client for a burst, not one per event.
  void handleOutput(std::string_view bytes, const Continuation& out) {
    if (out.isTerminated()) return;
    std::vector<std::string> lines;
    {
      std::lock_guard guard(lock_);
      lines = accumulator_.append(bytes);
    }
    yieldEventsOf(lines, out);
  }

  void yieldEventsOf(const std::vector<std::string>& lines, const Continuation& out) {
    std::vector<AssistantEvent> events;
    for (const std::string& line : lines)
      parseLine(line, events);
    if (!events.empty()) out.yieldAll(std::move(events));
  }

  std::optional<std::string> flushOut() {
    std::lock_guard guard(lock_);
    return accumulator_.flush();
  }

  // Appends the line's events to `events`.
  void parseLine(const std::string& line, std::vector<AssistantEvent>& events) {
    std::vector<AssistantEvent> parsed;
    try {
      parsed = parse_(line);
    } catch (...) {
      // A parser that fails on a line has understood nothing in it.
      return;
    }
    for (AssistantEvent& event : parsed) {
      if (event.is<AssistantEvent::Finished>()) {
        std::lock_guard guard(lock_);
        sawFinished_ = true;
      }
      events.push_back(std::move(event));
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
  const std::chrono::milliseconds grace_;

  std::mutex lock_;
  // Guarded by lock_. The child is only replaced at launch; waiting for it needs no lock,
  // since ChildProcess allows terminate() from another thread meanwhile.
  ChildProcess process_;
  std::optional<Clock::time_point> leftAt_;         // the consumer went away
  std::optional<Clock::time_point> windingDownAt_;  // the child exited or closed its output
  std::optional<Clock::time_point> terminatedAt_;   // SIGTERM was asked for
  bool killed_ = false;
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
                                                        LineParser parse,
                                                        std::chrono::milliseconds grace) {
  ChildProcess::Options options(std::move(executable));
  options.withArguments(std::move(arguments))
      .withEnvironment(environmentEntries(environment))
      .withStandardOutput(ChildProcess::Stdio::piped())
      .withStandardError(ChildProcess::Stdio::piped())
      .withNewSession();
  if (currentDirectory) options.withWorkingDirectory(std::move(*currentDirectory));

  auto state = std::make_shared<RunnerState>(std::move(options), std::move(parse), grace);
  auto made = Stream::make();
  const Continuation& continuation = made.second;
  continuation.onTermination([weak = std::weak_ptr<RunnerState>(state)](Termination) {
    if (auto alive = weak.lock()) alive->consumerLeft();
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
