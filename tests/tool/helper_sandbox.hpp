// Runs the tarno-assistant executable against fake-claude in a home directory of its own.
//
// The helper takes its home from the user database, not from $HOME, so a temporary HOME alone
// would still put its socket in the real ~/.tarno. Where the system allows it, the helper
// therefore runs in private mount and pid namespaces (unshare) in which /etc/passwd names the
// temporary directory as the current user's home: its socket, its agent directory and the
// "~" candidates of the CLI locator all land there, and killing the namespace leaves no
// helper and no fake CLI behind. Tests that need this skip where namespaces are unavailable.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_locator.hpp"
#include "tarno/assistant/support/child_process.hpp"

namespace tarno::testing {

using assistant::ChildProcess;
using assistant::ExitStatus;
using assistant::unique_fd;
using namespace std::chrono_literals;

// What a finished program printed.
struct HelperResult {
  ExitStatus status;
  std::string out;
  std::string err;
};

class HelperSandbox {
 public:
  // `homeName`, when given, puts the home one level below the temporary directory (for homes
  // of a chosen length).
  explicit HelperSandbox(const std::string& homeName = "")
      : home_(homeName.empty() ? dir_.path() : dir_.path() + "/" + homeName) {
    workingDirectory = home_;
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
      return probe
          .collect(probe.options(
              true, "/bin/sh",
              {"-c",
               "read -r line < /etc/passwd; case \"$line\" in *\"$1\"*) exit 0;; esac; exit 1",
               "sh", ":" + probe.home() + ":"},
              {}))
          .status.succeeded();
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
  std::string socketPath() const { return home() + "/.tarno/assistant.sock"; }
  void makeSupportDir() const {
    std::filesystem::create_directories(home() + "/.tarno");
    std::filesystem::permissions(home() + "/.tarno", std::filesystem::perms::owner_all);
  }

  fakes::FakeClaudeScript script;
  void installScript() const { script.install(home()); }
  fakes::FakeClaudeRecord record() const { return fakes::readFakeClaudeRecord(home()); }

  // How to start `program` in the sandbox (or directly where there is none), with HOME and PATH
  // pointing into it plus `extraEnvironment`, standard input on /dev/null, its outputs piped.
  ChildProcess::Options options(const std::string& program, std::vector<std::string> arguments,
                                std::vector<std::string> extraEnvironment = {}) const {
    return options(available(), program, std::move(arguments), std::move(extraEnvironment));
  }

  // Runs `program` to its end (killing it after 30 s) and returns what it printed.
  HelperResult run(const std::string& program, std::vector<std::string> arguments,
                   std::vector<std::string> extraEnvironment = {}) const {
    return collect(options(program, std::move(arguments), std::move(extraEnvironment)));
  }

  // Where the program starts; the home directory unless a test changes it.
  std::string workingDirectory;

 private:
  ChildProcess::Options options(bool sandboxed, const std::string& program,
                                std::vector<std::string> arguments,
                                std::vector<std::string> extraEnvironment) const {
    std::vector<std::string> environment{"HOME=" + home(), "PATH=" + binDir()};
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::string launched = program;
    if (sandboxed) {
      launched = "/usr/bin/unshare";
      std::vector<std::string> wrapped;
      if (::geteuid() != 0) wrapped = {"--user", "--map-current-user"};
      wrapped.insert(wrapped.end(),
                     {"--mount", "--pid", "--fork", "--kill-child=SIGKILL", "/bin/sh", "-c",
                      "/usr/bin/mount --bind \"$0\" /etc/passwd && exec \"$@\"",
                      dir_.path() + "/passwd", program});
      arguments.insert(arguments.begin(), wrapped.begin(), wrapped.end());
    }
    ChildProcess::Options o(launched);
    o.withArguments(std::move(arguments))
        .withEnvironment(std::move(environment))
        .withWorkingDirectory(workingDirectory)
        .withStandardInput(ChildProcess::Stdio::devNull())
        .withStandardOutput(ChildProcess::Stdio::piped())
        .withStandardError(ChildProcess::Stdio::piped());
    return o;
  }

  // Files rather than pipes: a descendant that keeps them open cannot hold up the test.
  HelperResult collect(ChildProcess::Options o) const {
    const std::string outPath = dir_.path() + "/stdout", errPath = dir_.path() + "/stderr";
    const auto create = [](const std::string& path) {
      return unique_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    };
    const unique_fd out = create(outPath), err = create(errPath);
    o.withStandardOutput(ChildProcess::Stdio::descriptor(out.get()))
        .withStandardError(ChildProcess::Stdio::descriptor(err.get()));
    HelperResult result;
    auto spawned = ChildProcess::spawn(o);
    if (auto* child = std::get_if<ChildProcess>(&spawned)) {
      std::optional<ExitStatus> status = child->waitFor(30s);
      if (!status) child->sendSignal(SIGKILL);
      result.status = status ? *status : child->wait();
    }
    const auto slurp = [](const std::string& path) {
      std::ostringstream text;
      text << std::ifstream(path, std::ios::binary).rdbuf();
      return text.str();
    };
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
  }

  fakes::TempDir dir_;
  std::string home_;
};

// A program left running in a sandbox (serve mode, or a run watched while it goes on), killed
// with everything it started when destroyed.
class RunningHelper {
 public:
  RunningHelper(const HelperSandbox& sandbox, std::vector<std::string> arguments = {"serve"},
                const std::string& program = TARNO_ASSISTANT_PATH) {
    auto spawned = ChildProcess::spawn(sandbox.options(program, std::move(arguments)));
    if (auto* child = std::get_if<ChildProcess>(&spawned)) {
      child_ = std::move(*child);
      out_ = child_.takeStdout();
      err_ = child_.takeStderr();
    }
  }
  ~RunningHelper() {
    child_.sendSignal(SIGKILL);
    child_.wait();
  }
  RunningHelper(const RunningHelper&) = delete;
  RunningHelper& operator=(const RunningHelper&) = delete;

  // The next line, line feed included; what had come by then after 20 s.
  std::string outLine() { return readLine(out_.get()); }
  std::string errLine() { return readLine(err_.get()); }
  bool isRunning() { return child_.isRunning(); }

 private:
  static std::string readLine(int fd) {
    std::string line;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (c != '\n' && ::poll(&p, 1, 20000) == 1 && ::read(fd, &c, 1) == 1)
      line.push_back(c);
    return line;
  }

  ChildProcess child_;
  unique_fd out_;
  unique_fd err_;
};

}  // namespace tarno::testing
