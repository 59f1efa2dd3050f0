// Runs the tarno-assistant executable against fake-claude in a home directory of its own.
//
// The helper takes its home from the user database, not from $HOME, so a temporary HOME alone
// would still put its socket in the real ~/.tarno. Where the system allows it, the helper
// therefore runs in private mount and pid namespaces (unshare) in which /etc/passwd names the
// temporary directory as the current user's home: its socket, its agent directory and the
// "~" candidates of the CLI locator all land there, and killing the namespace leaves no
// helper and no fake CLI behind. Tests that need this skip where namespaces are unavailable.
#pragma once

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_locator.hpp"
#include "tarno/assistant/support/child_process.hpp"

namespace tarno::testing {

using assistant::ChildProcess;
using assistant::ExitStatus;
using namespace std::chrono_literals;

inline std::optional<std::string> findSystemProgram(std::initializer_list<const char*> paths) {
  for (const char* path : paths) {
    if (::access(path, X_OK) == 0) return std::string(path);
  }
  return std::nullopt;
}

// What a finished helper printed.
struct HelperResult {
  ExitStatus status;
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Reads both pipes until both are closed or the deadline passes.
inline void drainPipes(int outFD, int errFD, std::string& out, std::string& err,
                       std::chrono::steady_clock::time_point deadline, bool& timedOut) {
  std::array<pollfd, 2> fds{pollfd{outFD, POLLIN, 0}, pollfd{errFD, POLLIN, 0}};
  std::array<std::string*, 2> sinks{&out, &err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      return;
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
}

class HelperSandbox {
 public:
  // `homeName`, when given, puts the home one level below the temporary directory (for homes
  // of a chosen length).
  explicit HelperSandbox(const std::string& homeName = "")
      : home_(homeName.empty() ? dir_.path() : dir_.path() + "/" + homeName),
        workingDirectory(home_) {
    std::filesystem::create_directories(binDir());
    std::filesystem::create_symlink(TARNO_FAKE_CLAUDE_PATH, binDir() + "/claude");
    const passwd* me = ::getpwuid(::getuid());
    std::ofstream(dir_.path() + "/passwd")
        << (me != nullptr ? me->pw_name : "tester") << ":x:" << ::getuid() << ":" << ::getgid()
        << "::" << home_ << ":/bin/sh\n";
  }

  // Whether the helper can be given a home of its own here; probed once per test program.
  static bool available() {
    static const bool ok = [] {
      HelperSandbox probe;
      // Shell built-ins only: PATH holds nothing but the fake.
      const HelperResult result = probe.run(
          true, "/bin/sh",
          {"-c", "read -r line < /etc/passwd; case \"$line\" in *\"$1\"*) exit 0;; esac; exit 1",
           "sh", ":" + probe.home() + ":"});
      return result.status.succeeded();
    }();
    return ok;
  }

  // Whether the CLI locator could find anything but our fake: the candidates outside the home
  // directory are the same inside the sandbox.
  static bool realClaudeInstalled() {
    for (std::string_view candidate : assistant::ClaudeLocator::candidatePaths) {
      if (!candidate.starts_with("~") && ::access(std::string(candidate).c_str(), F_OK) == 0) {
        return true;
      }
    }
    return false;
  }

  const std::string& home() const { return home_; }
  std::string binDir() const { return home() + "/bin"; }
  std::string supportDir() const { return home() + "/.tarno"; }
  std::string socketPath() const { return supportDir() + "/assistant.sock"; }

  void makeSupportDir() const {
    std::filesystem::create_directories(supportDir());
    std::filesystem::permissions(supportDir(), std::filesystem::perms::owner_all);
  }
  // Removes the fake from PATH, so that no CLI is found at all.
  void removeClaude() const { std::filesystem::remove(binDir() + "/claude"); }

  void writeFile(const std::string& name, std::string_view text) const {
    std::ofstream(home() + "/" + name, std::ios::binary) << text;
  }

  fakes::FakeClaudeScript script;
  void installScript() const { script.install(home()); }
  fakes::FakeClaudeRecord record() const { return fakes::readFakeClaudeRecord(home()); }

  // How to start `program` with `arguments` inside the sandbox (or, where there is none,
  // directly), with HOME and PATH pointing into it plus `extraEnvironment`, standard output and
  // error piped, standard input on /dev/null, in `workingDirectory`. The program sees
  // `program` as its argv[0].
  ChildProcess::Options options(const std::string& program, std::vector<std::string> arguments,
                                std::vector<std::string> extraEnvironment = {}) const {
    return options(available(), program, std::move(arguments), std::move(extraEnvironment));
  }
  ChildProcess::Options options(bool sandboxed, const std::string& program,
                                std::vector<std::string> arguments,
                                std::vector<std::string> extraEnvironment) const {
    static const std::optional<std::string> unshare =
        findSystemProgram({"/usr/bin/unshare", "/bin/unshare"});
    static const std::optional<std::string> mount =
        findSystemProgram({"/usr/bin/mount", "/bin/mount"});
    std::vector<std::string> environment{"HOME=" + home(), "PATH=" + binDir()};
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());

    if (!sandboxed) {
      ChildProcess::Options direct(program);
      direct.withArguments(std::move(arguments))
          .withEnvironment(std::move(environment))
          .withWorkingDirectory(workingDirectory)
          .withStandardInput(ChildProcess::Stdio::devNull())
          .withStandardOutput(ChildProcess::Stdio::piped())
          .withStandardError(ChildProcess::Stdio::piped());
      return direct;
    }
    std::vector<std::string> wrapped;
    if (::geteuid() != 0) wrapped = {"--user", "--map-current-user"};
    wrapped.insert(wrapped.end(), {"--mount", "--pid", "--fork", "--kill-child=SIGKILL", "/bin/sh",
                                   "-c", "\"$0\" --bind \"$1\" /etc/passwd && shift && exec \"$@\"",
                                   mount.value_or("/bin/false"), dir_.path() + "/passwd", program});
    wrapped.insert(wrapped.end(), arguments.begin(), arguments.end());

    ChildProcess::Options o(unshare.value_or("/bin/false"));
    o.withArguments(std::move(wrapped))
        .withEnvironment(std::move(environment))
        .withWorkingDirectory(workingDirectory)
        .withStandardInput(ChildProcess::Stdio::devNull())
        .withStandardOutput(ChildProcess::Stdio::piped())
        .withStandardError(ChildProcess::Stdio::piped());
    return o;
  }

  // Runs `program` to its end (or kills it after `limit`) and returns what it printed.
  HelperResult run(const std::string& program, std::vector<std::string> arguments,
                   std::vector<std::string> extraEnvironment = {}) const {
    return run(available(), program, std::move(arguments), std::move(extraEnvironment));
  }
  HelperResult run(bool sandboxed, const std::string& program, std::vector<std::string> arguments,
                   std::vector<std::string> extraEnvironment = {},
                   std::chrono::milliseconds limit = 30s) const {
    HelperResult result;
    auto spawned = ChildProcess::spawn(
        options(sandboxed, program, std::move(arguments), std::move(extraEnvironment)));
    if (auto* error = std::get_if<assistant::LaunchError>(&spawned)) {
      result.err = error->message;
      return result;
    }
    ChildProcess& child = std::get<ChildProcess>(spawned);
    assistant::unique_fd out = child.takeStdout();
    assistant::unique_fd err = child.takeStderr();
    drainPipes(out.get(), err.get(), result.out, result.err,
               std::chrono::steady_clock::now() + limit, result.timedOut);
    if (result.timedOut) child.sendSignal(SIGKILL);
    result.status = child.wait();
    return result;
  }

 private:
  fakes::TempDir dir_;
  std::string home_;

 public:
  // Where the program starts; the home directory unless a test changes it.
  std::string workingDirectory;
};

// The helper in serve mode inside a sandbox, killed with everything it started when destroyed.
class ServingHelper {
 public:
  // Starts `program serve` and waits for its first line on standard error.
  ServingHelper(const HelperSandbox& sandbox, const std::string& program,
                std::vector<std::string> arguments = {"serve"}) {
    auto spawned = ChildProcess::spawn(sandbox.options(program, std::move(arguments)));
    if (auto* child = std::get_if<ChildProcess>(&spawned)) {
      child_ = std::move(*child);
      out_ = child_.takeStdout();
      err_ = child_.takeStderr();
      firstLine_ = readLine(err_.get(), std::chrono::steady_clock::now() + 30s);
    }
  }
  ~ServingHelper() {
    child_.sendSignal(SIGKILL);
    child_.wait();
  }
  ServingHelper(const ServingHelper&) = delete;
  ServingHelper& operator=(const ServingHelper&) = delete;

  // The first line on standard error, line feed included (what it had by then on a timeout).
  const std::string& firstLine() const { return firstLine_; }
  bool isRunning() { return child_.isRunning(); }

 private:
  static std::string readLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char c;
      if (::read(fd, &c, 1) != 1) break;
      line.push_back(c);
    }
    return line;
  }

  ChildProcess child_;
  assistant::unique_fd out_;
  assistant::unique_fd err_;
  std::string firstLine_;
};

}  // namespace tarno::testing
