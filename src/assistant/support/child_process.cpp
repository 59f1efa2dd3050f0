// posix_spawn-based child processes, reaped exactly once.
#include "tarno/assistant/support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace tarno::assistant {

namespace {

ExitStatus decodeWaitStatus(int status) {
  if (WIFEXITED(status)) return ExitStatus::exitedWith(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return ExitStatus::killedBy(WTERMSIG(status));
  return {};
}

// A posix_spawn object (file actions, attributes), destroyed with its owner once initialised.
template <class Object, int (*initialise)(Object*), int (*destroy)(Object*)>
class SpawnObject {
 public:
  SpawnObject() { ok_ = initialise(&object_) == 0; }
  ~SpawnObject() {
    if (ok_) destroy(&object_);
  }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  bool ok() const { return ok_; }
  Object* get() { return &object_; }

 private:
  Object object_;
  bool ok_ = false;
};

using FileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

LaunchError LaunchError::fromErrno(int code) {
  // The C library's strerror text, e.g. "No such file or directory".
  return {code, std::generic_category().message(code)};
}

struct ChildProcess::State {
  State(pid_t p, bool leadsGroup) : pid(p), group(leadsGroup) {}

  const pid_t pid;
  const bool group;  // the child leads its own process group
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
  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return LaunchError::fromErrno(ENOMEM);

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
    int rc = 0;
    switch (stdio.mode) {
      case Stdio::Mode::inherit:
        break;
      case Stdio::Mode::devNull:
        rc = ::posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null",
                                                target == 0 ? O_RDONLY : O_WRONLY, 0);
        break;
      case Stdio::Mode::pipe: {
        auto ends = makePipe();
        if (!ends) return LaunchError::fromErrno(errno);
        unique_fd childEnd = target == 0 ? std::move(ends->readEnd) : std::move(ends->writeEnd);
        parentSide[target] = target == 0 ? std::move(ends->writeEnd) : std::move(ends->readEnd);
        auto source = aboveStandard(std::move(childEnd));
        if (!source) return LaunchError::fromErrno(errno);
        rc = ::posix_spawn_file_actions_adddup2(actions.get(), *source, target);
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
        rc = ::posix_spawn_file_actions_adddup2(actions.get(), source, target);
        break;
      }
      case Stdio::Mode::terminal: {
        if (stdio.path.empty()) return LaunchError::fromErrno(ENOENT);
        terminalOf[target] = stdio.path;
        auto earlier = std::find(terminalOf.begin(), terminalOf.begin() + target, stdio.path);
        if (earlier != terminalOf.begin() + target) {
          rc = ::posix_spawn_file_actions_adddup2(
              actions.get(), static_cast<int>(earlier - terminalOf.begin()), target);
        } else {
          // Without O_NOCTTY: a session leader opening a terminal acquires it.
          rc = ::posix_spawn_file_actions_addopen(actions.get(), target, stdio.path.c_str(), O_RDWR,
                                                  0);
        }
        break;
      }
    }
    if (rc != 0) return LaunchError::fromErrno(rc);
  }

  int rc = 0;
  if (options.workingDirectory) {
    rc = ::posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory->c_str());
    if (rc != 0) return LaunchError::fromErrno(rc);
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Everything we open is close-on-exec already; this also covers descriptors that a library
  // might have opened without the flag.
  rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (rc != 0) return LaunchError::fromErrno(rc);
#endif

  sigset_t defaults;
  sigset_t mask;
  sigfillset(&defaults);
  sigemptyset(&mask);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (options.newSession) flags |= POSIX_SPAWN_SETSID;
  if ((rc = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults)) != 0 ||
      (rc = ::posix_spawnattr_setsigmask(attributes.get(), &mask)) != 0 ||
      (rc = ::posix_spawnattr_setflags(attributes.get(), flags)) != 0) {
    return LaunchError::fromErrno(rc);
  }

  std::vector<std::string> argv;
  argv.reserve(options.arguments.size() + 1);
  argv.push_back(options.argv0.value_or(options.executable));
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> envp = options.environment;
  auto argvPointers = cStrings(argv);
  auto envpPointers = cStrings(envp);

  pid_t pid = -1;
  rc = ::posix_spawn(&pid, options.executable.c_str(), actions.get(), attributes.get(),
                     argvPointers.data(), envpPointers.data());
  if (rc != 0) return LaunchError::fromErrno(rc);

  ChildProcess child(std::make_unique<State>(pid, options.newSession));
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
