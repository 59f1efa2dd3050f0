// Child processes started by one long-lived thread, dying with this process, reaped exactly once.
#include "tarno/assistant/support/child_process.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "tarno/assistant/support/thread_owner.hpp"

namespace tarno::assistant {

namespace {

ExitStatus decodeWaitStatus(int status) {
  if (WIFEXITED(status)) return ExitStatus::exitedWith(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return ExitStatus::killedBy(WTERMSIG(status));
  return {};
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Everything the child does between vfork and exec, prepared beforehand: the child borrows the
// spawner thread's memory and stack until it execs, so it makes system calls only, writes
// nothing but its own locals, and never returns.
struct ChildPlan {
  struct Stream {
    enum Kind { keep, open, copy };
    Kind kind = keep;
    int source = -1;             // for `copy`: a descriptor of 3 or above, or a lower stream
    const char* path = nullptr;  // for `open`
    int flags = 0;
  };
  std::array<Stream, 3> streams;
  const char* executable = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* workingDirectory = nullptr;
  bool newSession = false;
  pid_t parent = -1;
  int report = -1;  // the write end of the pipe that carries a failure's errno
};

// The standard streams are the one thing the program inherits: placed close-on-exec like every
// descriptor of ours, then let through.
bool placeStream(int source, int target) {
  if (source != target && ::dup3(source, target, O_CLOEXEC) < 0) return false;
  return ::fcntl(target, F_SETFD, 0) == 0;
}

[[noreturn]] void failChild(int report, int error) {
  ssize_t ignored = ::write(report, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

[[noreturn]] void runChild(const ChildPlan& plan) {
  // SIGKILL when we die, even by SIGKILL ourselves: nobody would be left to escalate after a
  // gentler signal, and a CLI that ignores SIGTERM would run on. If we died before this line,
  // the child has already been handed to another parent.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) failChild(plan.report, errno);
  if (::getppid() != plan.parent) ::_exit(127);
  if (plan.newSession && ::setsid() < 0) failChild(plan.report, errno);

  for (int target = 0; target < 3; ++target) {
    const ChildPlan::Stream& stream = plan.streams[target];
    if (stream.kind == ChildPlan::Stream::copy) {
      if (!placeStream(stream.source, target)) failChild(plan.report, errno);
    } else if (stream.kind == ChildPlan::Stream::open) {
      const int fd = ::open(stream.path, stream.flags | O_CLOEXEC);
      if (fd < 0 || !placeStream(fd, target)) failChild(plan.report, errno);
      if (fd != target) ::close(fd);
    }
  }
  if (plan.workingDirectory != nullptr && ::chdir(plan.workingDirectory) != 0) {
    failChild(plan.report, errno);
  }

  // Every signal at its default action (SIGKILL, SIGSTOP and the C library's own refuse, which
  // is fine); nothing of ours beyond the standard streams, even what a library opened without
  // close-on-exec; then an empty mask.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal)
    ::sigaction(signal, &defaultAction, nullptr);
  if (plan.report > 3) ::close_range(3, static_cast<unsigned>(plan.report) - 1, 0);
  ::close_range(static_cast<unsigned>(plan.report) + 1, UINT_MAX, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  ::execve(plan.executable, plan.argv, plan.envp);
  failChild(plan.report, errno);
}

// Forks for every thread. A child's parent-death signal comes when the thread that forked it
// ends, not only when the process does, so children are forked here, on a thread that lives
// as long as any ChildProcess holds it, and never from a run's own thread.
class Spawner {
 public:
  // The running spawner, or a new one when none is held.
  static std::shared_ptr<Spawner> shared() {
    static std::mutex mutex;
    static std::weak_ptr<Spawner> current;
    std::lock_guard lock(mutex);
    std::shared_ptr<Spawner> spawner = current.lock();
    if (!spawner) {
      spawner = std::make_shared<Spawner>();
      current = spawner;
    }
    return spawner;
  }

  Spawner() {
    thread_.start("spawner", [this](std::stop_token stop) {
      // No signal is ever handled here, so none can reach a handler in a child before its
      // dispositions are reset.
      sigset_t all;
      sigfillset(&all);
      ::pthread_sigmask(SIG_SETMASK, &all, nullptr);
      std::unique_lock lock(mutex_);
      while (changed_.wait(lock, stop, [&] { return plan_ != nullptr; })) {
        // vfork, as posix_spawn does: no page tables copied, the parent thread waits for exec.
        const pid_t pid = ::vfork();
        if (pid == 0) runChild(*plan_);
        result_ = pid;
        error_ = errno;
        plan_ = nullptr;
        changed_.notify_all();
      }
    });
  }

  // The child's pid, or -1 with errno set.
  pid_t fork(const ChildPlan& plan) {
    std::lock_guard serial(callers_);
    std::unique_lock lock(mutex_);
    plan_ = &plan;
    changed_.notify_all();
    changed_.wait(lock, [&] { return plan_ == nullptr; });
    errno = error_;
    return result_;
  }

 private:
  std::mutex callers_;  // one fork at a time
  std::mutex mutex_;
  std::condition_variable_any changed_;
  const ChildPlan* plan_ = nullptr;  // waiting to be forked
  pid_t result_ = -1;
  int error_ = 0;
  ThreadOwner thread_;  // last: ended before the rest goes
};

}  // namespace

LaunchError LaunchError::fromErrno(int code) {
  // The C library's strerror text, e.g. "No such file or directory".
  return {code, std::generic_category().message(code)};
}

struct ChildProcess::State {
  State(pid_t p, bool leadsGroup, std::shared_ptr<Spawner> forker)
      : pid(p), group(leadsGroup), spawner(std::move(forker)) {}

  const pid_t pid;
  const bool group;  // the child leads its own process group
  // Kept until the child is reaped: the thread that forked it must outlive it.
  const std::shared_ptr<Spawner> spawner;
  std::mutex mutex;
  std::condition_variable changed;
  bool reaped = false;
  // A thread is blocked in waitid() on the pid; nobody else reaps meanwhile, so that its
  // waitid() can never look at a recycled pid.
  bool waiterActive = false;
  ExitStatus status;

  // With the lock held. `block` only after waitid() saw the child exit, so it never blocks
  // for long.
  bool reapLocked(bool block) {
    int raw = 0;
    pid_t got;
    do {
      got = ::waitpid(pid, &raw, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return false;
    reaped = true;
    status = got == pid ? decodeWaitStatus(raw) : ExitStatus{};
    changed.notify_all();
    return true;
  }
};

ChildProcess::ChildProcess() noexcept = default;
ChildProcess::ChildProcess(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    finishChild();
    state_ = std::move(other.state_);
    stdin_ = std::move(other.stdin_);
    stdout_ = std::move(other.stdout_);
    stderr_ = std::move(other.stderr_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  finishChild();
}

void ChildProcess::finishChild() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->reaped) return;
  }
  // Our pipe ends go first: a child blocked writing to us would otherwise ignore the grace
  // period only to be killed.
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
  terminateAndWait();
}

ExitStatus ChildProcess::terminateAndWait(std::chrono::milliseconds grace) {
  terminate();
  if (std::optional<ExitStatus> status = waitFor(grace)) return *status;
  sendSignal(SIGKILL);
  return wait();
}

pid_t ChildProcess::pid() const noexcept {
  return state_ ? state_->pid : -1;
}

SpawnResult ChildProcess::spawn(const Options& options) {
  // The child sees C strings, which end at their first NUL: it would get a cut-short argument
  // (a prompt, say) without a word.
  const auto holdsNul = [](const std::string& text) { return text.find('\0') != text.npos; };
  const auto anyHoldsNul = [&](const std::vector<std::string>& texts) {
    return std::any_of(texts.begin(), texts.end(), holdsNul);
  };
  if (holdsNul(options.executable) || holdsNul(options.argv0.value_or("")) ||
      holdsNul(options.workingDirectory.value_or("")) || anyHoldsNul(options.arguments) ||
      anyHoldsNul(options.environment))
    return LaunchError::fromErrno(EINVAL);

  ChildPlan plan;
  // Descriptors the child copies from; they close here once the child has them.
  std::vector<unique_fd> childSide;
  std::array<unique_fd, 3> parentSide;
  const std::array<const Stdio*, 3> streams = {&options.standardInput, &options.standardOutput,
                                               &options.standardError};
  std::array<std::string, 3> terminalOf;

  // Sources are kept at 3 or above so that setting up one standard stream never overwrites
  // the source of a later one.
  auto aboveStandard = [&](unique_fd fd) -> std::optional<int> {
    if (fd.get() < 3) {
      fd = duplicateCloexec(fd.get(), 3);
      if (!fd) return std::nullopt;
    }
    childSide.push_back(std::move(fd));
    return childSide.back().get();
  };

  for (int target = 0; target < 3; ++target) {
    const Stdio& stdio = *streams[target];
    ChildPlan::Stream& stream = plan.streams[target];
    switch (stdio.mode) {
      case Stdio::Mode::inherit:
        break;
      case Stdio::Mode::devNull:
        stream = {ChildPlan::Stream::open, -1, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY};
        break;
      case Stdio::Mode::pipe: {
        auto ends = makePipe();
        if (!ends) return LaunchError::fromErrno(errno);
        unique_fd childEnd = target == 0 ? std::move(ends->readEnd) : std::move(ends->writeEnd);
        parentSide[target] = target == 0 ? std::move(ends->writeEnd) : std::move(ends->readEnd);
        auto source = aboveStandard(std::move(childEnd));
        if (!source) return LaunchError::fromErrno(errno);
        stream = {ChildPlan::Stream::copy, *source, nullptr, 0};
        break;
      }
      case Stdio::Mode::descriptor: {
        if (stdio.fd < 0) return LaunchError::fromErrno(EBADF);
        int source = stdio.fd;
        if (source < 3) {
          // A copy: the caller keeps its own descriptor.
          unique_fd copy = duplicateCloexec(source, 3);
          if (!copy) return LaunchError::fromErrno(errno);
          source = copy.get();
          childSide.push_back(std::move(copy));
        }
        stream = {ChildPlan::Stream::copy, source, nullptr, 0};
        break;
      }
      case Stdio::Mode::terminal: {
        if (stdio.path.empty()) return LaunchError::fromErrno(ENOENT);
        terminalOf[target] = stdio.path;
        auto earlier = std::find(terminalOf.begin(), terminalOf.begin() + target, stdio.path);
        if (earlier != terminalOf.begin() + target) {
          // Set up already, as a lower standard stream.
          stream = {ChildPlan::Stream::copy, static_cast<int>(earlier - terminalOf.begin()),
                    nullptr, 0};
        } else {
          // Without O_NOCTTY: a session leader opening a terminal acquires it.
          stream = {ChildPlan::Stream::open, -1, terminalOf[target].c_str(), O_RDWR};
        }
        break;
      }
    }
  }

  std::vector<std::string> argv;
  argv.reserve(options.arguments.size() + 1);
  argv.push_back(options.argv0.value_or(options.executable));
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> envp = options.environment;
  auto argvPointers = cStrings(argv);
  auto envpPointers = cStrings(envp);

  auto report = makePipe();
  if (!report) return LaunchError::fromErrno(errno);
  plan.executable = options.executable.c_str();
  plan.argv = argvPointers.data();
  plan.envp = envpPointers.data();
  plan.workingDirectory = options.workingDirectory ? options.workingDirectory->c_str() : nullptr;
  plan.newSession = options.newSession;
  plan.parent = ::getpid();
  plan.report = report->writeEnd.get();

  std::shared_ptr<Spawner> spawner;
  try {
    spawner = Spawner::shared();
  } catch (const std::system_error& error) {  // no thread to fork from
    return LaunchError::fromErrno(error.code().value());
  }
  const pid_t pid = spawner->fork(plan);
  if (pid < 0) return LaunchError::fromErrno(errno);
  childSide.clear();
  report->writeEnd.reset();

  // Nothing arrives when the exec succeeded: the pipe closes with it.
  int error = 0;
  std::size_t got = 0;
  while (got < sizeof error) {
    const ssize_t n =
        ::read(report->readEnd.get(), reinterpret_cast<char*>(&error) + got, sizeof error - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > 0) {
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    return LaunchError::fromErrno(got == sizeof error ? error : EIO);
  }

  ChildProcess child(std::make_unique<State>(pid, options.newSession, std::move(spawner)));
  child.stdin_ = std::move(parentSide[0]);
  child.stdout_ = std::move(parentSide[1]);
  child.stderr_ = std::move(parentSide[2]);
  return child;
}

ExitStatus ChildProcess::wait() {
  if (!state_) return {};
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.changed.wait(lock, [&] { return s.reaped || !s.waiterActive; });
    if (s.reaped) return s.status;

    s.waiterActive = true;
    lock.unlock();
    // WNOWAIT leaves the zombie in place, so the pid stays ours until it is reaped under the
    // lock, where terminate() checks it.
    siginfo_t info{};
    int rc;
    do {
      rc = ::waitid(P_PID, static_cast<id_t>(s.pid), &info, WEXITED | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    lock.lock();
    s.waiterActive = false;
    // After a failed waitid (ECHILD: reaped behind our back) waitpid fails too and the status
    // is recorded as unknown.
    if (!s.reaped) s.reapLocked(rc == 0);
    s.changed.notify_all();
  }
}

std::optional<ExitStatus> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  if (!state_) return ExitStatus{};
  State& s = *state_;
  // Clamped so that a huge time-out means "a very long time", not an overflowed deadline.
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::time_point::max() - start)
                            ? std::chrono::steady_clock::time_point::max()
                            : start + timeout;
  auto pause = std::chrono::milliseconds(1);
  std::unique_lock lock(s.mutex);
  for (;;) {
    if (s.reaped) return s.status;
    if (!s.waiterActive && s.reapLocked(false)) return s.status;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    // Polling, since no portable wait takes a time-out; a reap by another thread wakes us.
    s.changed.wait_until(lock, std::min(deadline, now + pause));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool ChildProcess::isRunning() {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  if (state_->reaped) return false;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(state_->pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return false;
  }
  return info.si_pid != state_->pid;
}

bool ChildProcess::terminate() {
  return sendSignal(SIGTERM);
}

bool ChildProcess::sendSignal(int signal) {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  if (state_->reaped) return false;
  // The group is addressed only while its leader is unreaped: its id cannot be reused then.
  return ::kill(state_->group ? -state_->pid : state_->pid, signal) == 0;
}

}  // namespace tarno::assistant
