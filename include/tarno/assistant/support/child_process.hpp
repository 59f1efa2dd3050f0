// A child process: explicit environment, chosen standard streams, default signal dispositions,
// death with this process, and a reap that happens exactly once.
//
// The child gets exactly the given environment (nothing of ours is added), every signal at its
// default disposition with an empty mask, and no descriptor beyond its three standard ones.
// On Linux it is killed (SIGKILL) when this process ends, however it ends, SIGKILL included:
// children are forked by one shared thread that lives while any ChildProcess holds a child, since
// the parent-death signal follows the thread that forked, not the process.
//
// Threading: wait(), waitFor(), isRunning(), terminate(), sendSignal() and terminateAndWait()
// may be called from different threads at the same time (for example a reader thread waiting
// while a cancellation hook terminates). A signal is only ever sent while the child is not yet
// reaped, so a recycled pid is never hit. Moving or destroying the object must not race with those
// calls.
//
// A child started in a new session leads its own process group, and every signal goes to that
// group: what the child started itself (servers, tools) ends with it.
//
// Destroying a ChildProcess whose child has not been reaped sends SIGTERM, waits up to
// `terminationGrace` for it to exit, then sends SIGKILL and reaps it: no zombie is left behind,
// but the destructor can block for that long.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tarno/assistant/support/unique_fd.hpp"

namespace tarno::assistant {

// Why a child could not be started: the system error number and its description (strerror),
// e.g. {ENOENT, "No such file or directory"}.
struct LaunchError {
  int code = 0;
  std::string message;

  static LaunchError fromErrno(int code);
  bool operator==(const LaunchError&) const = default;
};

// How a reaped child ended.
struct ExitStatus {
  // `unknown`: the status was lost because someone else reaped the child (for example with
  // SIGCHLD ignored).
  enum class Kind { exited, signaled, unknown };
  Kind kind = Kind::unknown;
  int value = 0;  // the exit code, or the signal number for `signaled`

  static ExitStatus exitedWith(int code) { return {Kind::exited, code}; }
  static ExitStatus killedBy(int signal) { return {Kind::signaled, signal}; }
  bool succeeded() const { return kind == Kind::exited && value == 0; }
  bool operator==(const ExitStatus&) const = default;
};

class ChildProcess {
 public:
  // How long a child is given to end on its own (after its work, or after SIGTERM) before it is
  // pushed further. The CLI writes its session file after its last output.
  static constexpr std::chrono::milliseconds terminationGrace{5000};

  // Where one standard stream of the child goes.
  struct Stdio {
    enum class Mode { inherit, devNull, pipe, descriptor, terminal };
    Mode mode = Mode::inherit;
    int fd = -1;       // for `descriptor`
    std::string path;  // for `terminal`

    // The same descriptor as in this process.
    static Stdio inherit() { return {}; }
    // /dev/null, read-only for standard input and write-only for the others.
    static Stdio devNull() { return {Mode::devNull, -1, {}}; }
    // A new pipe; this process's end is close-on-exec and taken with takeStdin() & co.
    static Stdio piped() { return {Mode::pipe, -1, {}}; }
    // A copy of `fd`, which stays owned by the caller (e.g. a terminal slave; no controlling
    // terminal is acquired through it).
    static Stdio descriptor(int fd) { return {Mode::descriptor, fd, {}}; }
    // The terminal device at `path`, opened read-write in the child. With `newSession`, the
    // first stream opened this way becomes the child's controlling terminal; streams naming
    // the same path share one open file.
    static Stdio terminal(std::string path) { return {Mode::terminal, -1, std::move(path)}; }
  };

  // What to start, built like Options("/bin/sh").withArguments({"-c", "exit 3"}).
  struct Options {
    explicit Options(std::string executablePath) : executable(std::move(executablePath)) {}

    std::string executable;                       // path of the program; PATH is not searched
    std::vector<std::string> arguments;           // argv[1...]
    std::optional<std::string> argv0;             // argv[0]; `executable` when absent
    std::vector<std::string> environment;         // the complete environment, "KEY=value" each
    std::optional<std::string> workingDirectory;  // ours when absent
    Stdio standardInput;
    Stdio standardOutput;
    Stdio standardError;
    // setsid() in the child, before its streams are set up; signals then go to its group.
    bool newSession = false;

    Options& withArguments(std::vector<std::string> value) {
      arguments = std::move(value);
      return *this;
    }
    Options& withArgv0(std::string value) {
      argv0 = std::move(value);
      return *this;
    }
    Options& withEnvironment(std::vector<std::string> value) {
      environment = std::move(value);
      return *this;
    }
    Options& withWorkingDirectory(std::string value) {
      workingDirectory = std::move(value);
      return *this;
    }
    Options& withStandardInput(Stdio value) {
      standardInput = std::move(value);
      return *this;
    }
    Options& withStandardOutput(Stdio value) {
      standardOutput = std::move(value);
      return *this;
    }
    Options& withStandardError(Stdio value) {
      standardError = std::move(value);
      return *this;
    }
    Options& withNewSession(bool value = true) {
      newSession = value;
      return *this;
    }
    // All three standard streams on the terminal at `path`, which becomes the child's
    // controlling terminal in a new session.
    Options& onTerminal(const std::string& path) {
      standardInput = standardOutput = standardError = Stdio::terminal(path);
      newSession = true;
      return *this;
    }
  };

  // No child; every operation is a no-op.
  ChildProcess() noexcept;

  // Starts a child. Failures, including the exec itself failing (missing file, missing #!
  // interpreter, no permission, bad working directory), come back as a LaunchError.
  static std::variant<ChildProcess, LaunchError> spawn(const Options& options);

  ChildProcess(ChildProcess&&) noexcept;
  ChildProcess& operator=(ChildProcess&&) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // -1 without a child.
  pid_t pid() const noexcept;

  // This process's ends of the `piped()` streams (invalid for other modes or once taken).
  [[nodiscard]] unique_fd takeStdin() noexcept { return std::move(stdin_); }
  [[nodiscard]] unique_fd takeStdout() noexcept { return std::move(stdout_); }
  [[nodiscard]] unique_fd takeStderr() noexcept { return std::move(stderr_); }

  // Blocks until the child has exited and returns how; every later call returns the same.
  ExitStatus wait();

  // As wait(), giving up after `timeout` (absent then).
  std::optional<ExitStatus> waitFor(std::chrono::milliseconds timeout);

  // True while the child has not exited. It may exit right after this returns true.
  bool isRunning();

  // Sends SIGTERM if the child has not been reaped; true if the signal was sent.
  bool terminate();

  // Sends `signal` (to the child's group when it leads one) if the child has not been reaped;
  // true if it was sent.
  bool sendSignal(int signal);

  // Ends the child the way the destructor does (SIGTERM, then SIGKILL once `grace` has passed)
  // and returns how it ended.
  ExitStatus terminateAndWait(std::chrono::milliseconds grace = terminationGrace);

 private:
  struct State;

  explicit ChildProcess(std::unique_ptr<State> state) noexcept;
  void finishChild() noexcept;

  std::unique_ptr<State> state_;
  unique_fd stdin_;
  unique_fd stdout_;
  unique_fd stderr_;
};

using SpawnResult = std::variant<ChildProcess, LaunchError>;

}  // namespace tarno::assistant
