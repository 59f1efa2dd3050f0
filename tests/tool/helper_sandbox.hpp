// Runs the tarno-assistant executable against fake-claude in a home directory of its own.
//
// The helper takes its home from the user database, not from $HOME, so a temporary HOME alone
// would still put its socket in the real ~/.tarno. Where the system allows it, the helper
// therefore runs in private mount and pid namespaces (unshare) in which /etc/passwd names the
// temporary directory as the current user's home: its socket, its agent directory and the
// "~" candidates of the CLI locator all land there, and killing the namespace leaves no
// helper and no fake CLI behind. Tests that need this skip where it cannot be had.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

// What a finished program printed.
struct HelperResult {
  ExitStatus status;
  std::string out;
  std::string err;
};

// A program left running, killed when dropped (in the sandbox with everything it started).
struct Started {
  explicit Started(ChildProcess started) : child(std::move(started)) {}
  Started(Started&&) = default;
  ~Started() { child.sendSignal(SIGKILL); }
  ChildProcess child;
};

class HelperSandbox {
 public:
  HelperSandbox() {
    workingDirectory = home();
    std::filesystem::create_directories(binDir());
    std::filesystem::create_symlink(TARNO_FAKE_CLAUDE_PATH, binDir() + "/claude");
    const passwd* me = ::getpwuid(::getuid());
    std::ofstream(dir_.path() + "/passwd")
        << (me != nullptr ? me->pw_name : "tester") << ":x:" << ::getuid() << ":" << ::getgid()
        << "::" << home() << ":/bin/sh\n";
  }

  // Whether the helper can be given a home of its own here; probed once per test program.
  static bool sandboxable() {
    static const bool ok = [] {
      HelperSandbox probe;
      return probe.spawn(true, "/bin/true", {}, {}).waitFor(30s) == ExitStatus::exitedWith(0);
    }();
    return ok;
  }

  // Whether, besides, the CLI locator can find nothing but our fake: its candidates outside
  // the home directory are the same in the sandbox.
  static bool isolated() {
    for (std::string_view candidate : assistant::ClaudeLocator::candidatePaths) {
      if (!candidate.starts_with("~") && ::access(std::string(candidate).c_str(), F_OK) == 0) {
        return false;
      }
    }
    return sandboxable();
  }

  const std::string& home() const { return dir_.path(); }
  std::string binDir() const { return home() + "/bin"; }
  std::string socketPath() const { return home() + "/.tarno/assistant.sock"; }
  void makeSupportDir() const {
    std::filesystem::create_directories(home() + "/.tarno");
    std::filesystem::permissions(home() + "/.tarno", std::filesystem::perms::owner_all);
  }

  fakes::FakeClaudeScript script;
  void installScript() const { script.install(home()); }
  fakes::FakeClaudeRecord record() const { return fakes::readFakeClaudeRecord(home()); }

  // Where the program starts; the home directory unless a test changes it.
  std::string workingDirectory;
  // False: the program runs under a shell that stays the first process of the namespace, so
  // that the program's own death does not end everything it started.
  bool programLeadsNamespace = true;

  // Starts `program` in the sandbox (directly where there is none) with HOME and PATH pointing
  // into it plus `extraEnvironment`, standard input on /dev/null.
  Started start(const std::string& program, Strings arguments,
                Strings extraEnvironment = {}) const {
    return Started(
        spawn(sandboxable(), program, std::move(arguments), std::move(extraEnvironment)));
  }

  // Runs `program` to its end (for up to 30 s) and returns what it printed.
  HelperResult run(const std::string& program, Strings arguments,
                   Strings extraEnvironment = {}) const {
    Started started = start(program, std::move(arguments), std::move(extraEnvironment));
    const std::optional<ExitStatus> status = started.child.waitFor(30s);
    return {status.value_or(ExitStatus{}), out(), err()};
  }

  // What the program started last has printed so far.
  std::string out() const { return fakes::readFile(dir_.path() + "/stdout"); }
  std::string err() const { return fakes::readFile(dir_.path() + "/stderr"); }

 private:
  ChildProcess spawn(bool sandboxed, const std::string& program, Strings arguments,
                     Strings extraEnvironment) const {
    Strings environment{"HOME=" + home(), "PATH=" + binDir()};
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::string launched = program;
    if (sandboxed) {
      launched = "/usr/bin/unshare";
      Strings wrapped;
      if (::geteuid() != 0) wrapped = {"--user", "--map-current-user"};
      const std::string then =
          programLeadsNamespace ? "exec \"$@\"" : "{ \"$@\"; exec /bin/sleep 60; }";
      wrapped.insert(wrapped.end(),
                     {"--mount", "--pid", "--fork", "--kill-child=SIGKILL", "/bin/sh", "-c",
                      "/usr/bin/mount --bind \"$0\" /etc/passwd && " + then,
                      dir_.path() + "/passwd", program});
      arguments.insert(arguments.begin(), wrapped.begin(), wrapped.end());
    }
    // Files rather than pipes: a descendant that keeps them open cannot hold up the test.
    const auto create = [&](const char* name) {
      return assistant::unique_fd(::open((dir_.path() + "/" + name).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    };
    const assistant::unique_fd out = create("stdout"), err = create("stderr");
    ChildProcess::Options o(launched);
    o.withArguments(std::move(arguments))
        .withEnvironment(std::move(environment))
        .withWorkingDirectory(workingDirectory)
        .withStandardInput(ChildProcess::Stdio::devNull())
        .withStandardOutput(ChildProcess::Stdio::descriptor(out.get()))
        .withStandardError(ChildProcess::Stdio::descriptor(err.get()));
    auto spawned = ChildProcess::spawn(o);
    auto* child = std::get_if<ChildProcess>(&spawned);
    return child != nullptr ? std::move(*child) : ChildProcess();
  }

  fakes::TempDir dir_;
};

}  // namespace tarno::testing
