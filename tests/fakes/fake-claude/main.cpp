// fake-claude: a stand-in for the claude CLI that tests script and inspect.
//
// Modes, chosen by the arguments:
//   -p PROMPT ...   a conversation turn    -> runs section [print]
//   auth status     the sign-in check      -> runs section [status]
//   auth login      the interactive sign-in -> runs section [login]
// Anything else complains on standard error and exits 64.
//
// The script is $HOME/.fake-claude/script: HOME is the one channel that survives the
// environment allowlist the helper applies to its children. A line "[print]", "[status]" or
// "[login]" opens a section ("[print PROMPT]" one for that prompt alone); the other lines of a
// section are steps, run in order:
//   out TEXT          TEXT and a line feed on standard output
//   out-raw TEXT      TEXT alone, no line feed (partial lines, a last line without newline)
//   out-fill N TEXT   TEXT written N times, no line feed (huge lines)
//   err, err-raw, err-fill   the same on standard error
//   sleep MS          pause for MS milliseconds
//   hang              wait for SIGTERM
//   code EXPECTED     print "Paste code here if prompted > ", read one line from standard input
//                     (the terminal in a sign-in) and log it; when it equals EXPECTED print
//                     "Login successful." and go on, otherwise print "Login failed: invalid
//                     code." and exit 1
//   exit N            exit with status N (reaching the end of the section exits 0)
//   signal N          die of signal number N
//   ignore-term       ignore SIGTERM from now on
//   grandchild        start a process that waits for a signal and records its pid in
//                     "grandchild"
// TEXT is the rest of the line after a single space, with every \xHH decoded to its byte. A mode
// without a section, or a bad step, exits 64 with a message on standard error, so a forgotten
// script never passes for output.
//
// SIGTERM is caught from the start: the fake logs "sigterm" and goes on with the steps after the
// section's first "hang", or, when there is none, dies of SIGTERM as an unprepared CLI would.
//
// Record, in $HOME/.fake-claude/ (written at start):
//   args    every argument after the program name, each followed by a NUL byte
//   env     every environment entry, each followed by a NUL byte
//   cwd     the working directory
//   pid     the process id (as the /proc we see names it: a test outside our pid namespace can
//           look it up)
//   stdio   one line per standard stream 0-2: "<fd> tty", "null", "pipe:<inode>" or "other"
//   tty     "<rows> <columns> controlling|not-controlling" when standard input is a terminal
//   log     appended lines: "start print|status|login", "sigterm", "code <line>", "exit <n>",
//           "signal <n>"
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

volatile sig_atomic_t termReceived = 0;

void onTerm(int) {
  termReceived = 1;
}

std::string recordDir;

// Full write; gives up quietly when interrupted by SIGTERM or when the reader has gone.
void emit(int fd, std::string_view bytes) {
  while (!bytes.empty() && !termReceived) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      return;
    }
  }
}

void writeFile(const std::string& name, std::string_view bytes, bool append = false) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  const int fd = ::open((recordDir + "/" + name).c_str(), flags, 0600);
  if (fd < 0) return;
  // Not emit(): the log must be written after SIGTERM too.
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0 && errno != EINTR) break;
    if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
}

void log(const std::string& line) {
  writeFile("log", line + "\n", /*append=*/true);
}

[[noreturn]] void fail(const std::string& message) {
  emit(STDERR_FILENO, "fake-claude: " + message + "\n");
  std::exit(64);
}

long number(const std::string& text, int base = 10) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, base);
  if (text.empty() || *end != '\0' || errno != 0) fail("not a number: " + text);
  return value;
}

std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) != "\\x") {
      out.push_back(text[i]);
      continue;
    }
    if (i + 4 > text.size()) fail("bad \\x escape in script");
    out.push_back(static_cast<char>(number(std::string(text.substr(i + 2, 2)), 16)));
    i += 3;
  }
  return out;
}

struct Step {
  std::string op;
  std::string arg;  // undecoded
};

// The steps of [`section`]; absent when the script has no such section.
std::optional<std::vector<Step>> loadSection(const std::string& path, std::string_view section) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("no script at " + path);
  std::vector<Step> steps;
  bool inSection = false, found = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      inSection = line.substr(1, line.size() - 2) == section;
      found = found || inSection;
    } else if (inSection) {
      const std::size_t space = line.find(' ');
      steps.push_back(
          {line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)});
    }
  }
  if (!found) return std::nullopt;
  return steps;
}

[[noreturn]] void dieOf(int signal) {
  log("signal " + std::to_string(signal));
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);  // a signal that cannot kill (SIGCHLD, …)
}

[[noreturn]] void exitWith(int status) {
  log("exit " + std::to_string(status));
  std::exit(status);
}

void pauseFor(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000};
  while (!termReceived && ::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void waitForTerm() {
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &term, &old);
  sigset_t waitMask = old;
  sigdelset(&waitMask, SIGTERM);
  while (!termReceived)
    ::sigsuspend(&waitMask);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

// One line from standard input without its line end; false on end of input before any byte.
bool readLine(std::string& line) {
  line.clear();
  char c;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR && !termReceived) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void askForCode(const std::string& expected) {
  emit(STDOUT_FILENO, "Paste code here if prompted > ");
  std::string code;
  const bool got = readLine(code);
  if (termReceived) return;
  log(got ? "code " + code : "code-eof");
  if (got && code == expected) {
    emit(STDOUT_FILENO, "\r\nLogin successful.\r\n");
    return;
  }
  emit(STDOUT_FILENO, "\r\nLogin failed: invalid code.\r\n");
  exitWith(1);
}

std::string describeStream(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return "other";
  if (S_ISFIFO(st.st_mode)) return "pipe:" + std::to_string(st.st_ino);
  if (::isatty(fd)) return "tty";
  struct stat null {};
  if (S_ISCHR(st.st_mode) && ::stat("/dev/null", &null) == 0 && null.st_rdev == st.st_rdev)
    return "null";
  return "other";
}

// The pid as a test outside our pid namespace knows it: /proc is the test's.
std::string ownPid() {
  char self[32] = {};
  return ::readlink("/proc/self", self, sizeof self - 1) > 0 ? std::string(self)
                                                             : std::to_string(::getpid());
}

void record(int argc, char** argv, const char* mode) {
  ::mkdir(recordDir.c_str(), 0700);
  std::string args, env, stdio;
  for (int i = 1; i < argc; ++i)
    args.append(argv[i]).push_back('\0');
  for (char** e = environ; *e != nullptr; ++e)
    env.append(*e).push_back('\0');
  for (int fd = 0; fd <= 2; ++fd)
    stdio += std::to_string(fd) + " " + describeStream(fd) + "\n";
  char cwd[4096];
  writeFile("args", args);
  writeFile("env", env);
  writeFile("cwd", ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "");
  writeFile("pid", ownPid());
  writeFile("stdio", stdio);
  winsize size{};
  if (::isatty(STDIN_FILENO) && ::ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0) {
    const bool controlling = ::tcgetsid(STDIN_FILENO) == ::getsid(0);
    writeFile("tty", std::to_string(size.ws_row) + " " + std::to_string(size.ws_col) + " " +
                         (controlling ? "controlling" : "not-controlling"));
  }
  log(std::string("start ") + mode);
}

// out, out-raw and out-fill, or the same on standard error.
void writeStep(const Step& step) {
  const int fd = step.op.starts_with("out") ? STDOUT_FILENO : STDERR_FILENO;
  const std::string_view kind = std::string_view(step.op).substr(3);
  if (kind.empty()) return emit(fd, unescape(step.arg) + "\n");
  if (kind == "-raw") return emit(fd, unescape(step.arg));
  const std::size_t space = step.arg.find(' ');
  const long count = number(step.arg.substr(0, space));
  const std::string text = space == std::string::npos ? "" : unescape(step.arg.substr(space + 1));
  std::string chunk;
  for (long n = 0; n < count; ++n) {
    chunk += text;
    if (chunk.size() >= 65536 || n + 1 == count) {
      emit(fd, chunk);
      chunk.clear();
    }
  }
}

// A process of ours that only a signal ends (what an MCP server the CLI started looks like).
void startGrandchild() {
  // SIGTERM stays blocked across the fork until the grandchild has the default action back: a
  // group signal that comes at once must end it, not reach the handler it inherited.
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &term, &old);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGTERM, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    for (;;)
      ::pause();
  }
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) fail("fork failed");
  writeFile("grandchild", std::to_string(pid));
}

}  // namespace

// In sanitizer builds the leak check at exit would replace the scripted exit status (and it
// cannot run at all inside the tests' pid namespaces); the fake's status must be the script's.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = onTerm;  // no SA_RESTART: blocking calls return so the script can react
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);

  const std::vector<std::string> args(argv + 1, argv + argc);
  const char* mode = nullptr;
  if (!args.empty() && args[0] == "-p") mode = "print";
  if (args.size() == 2 && args[0] == "auth" && args[1] == "status") mode = "status";
  if (args.size() == 2 && args[0] == "auth" && args[1] == "login") mode = "login";
  if (mode == nullptr) fail("unsupported arguments");

  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') fail("HOME is not set");
  recordDir = std::string(home) + "/.fake-claude";
  record(argc, argv, mode);

  // A turn whose prompt has a section of its own plays that one.
  const std::string script = recordDir + "/script";
  std::optional<std::vector<Step>> section;
  if (args.size() > 1 && args[0] == "-p") section = loadSection(script, "print " + args[1]);
  if (!section) section = loadSection(script, mode);
  if (!section) fail("the script has no [" + std::string(mode) + "] section");
  const std::vector<Step> steps = std::move(*section);
  std::size_t hangIndex = 0;
  while (hangIndex < steps.size() && steps[hangIndex].op != "hang")
    ++hangIndex;
  const bool hangs = hangIndex < steps.size();

  static const std::vector<std::string> writes = {"out", "out-raw", "out-fill",
                                                  "err", "err-raw", "err-fill"};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    if (std::find(writes.begin(), writes.end(), step.op) != writes.end()) {
      writeStep(step);
    } else if (step.op == "sleep") {
      pauseFor(number(step.arg));
    } else if (step.op == "hang") {
      waitForTerm();
    } else if (step.op == "code") {
      askForCode(unescape(step.arg));
    } else if (step.op == "exit") {
      exitWith(static_cast<int>(number(step.arg)));
    } else if (step.op == "signal") {
      dieOf(static_cast<int>(number(step.arg)));
    } else if (step.op == "ignore-term") {
      ::signal(SIGTERM, SIG_IGN);
    } else if (step.op == "grandchild") {
      startGrandchild();
    } else {
      fail("unknown step: " + step.op);
    }
    if (termReceived) {
      log("sigterm");
      if (!hangs) dieOf(SIGTERM);
      ::signal(SIGTERM, SIG_DFL);  // the steps after the hang run once; a second SIGTERM kills
      termReceived = 0;
      i = hangIndex;
    }
  }
  exitWith(0);
}
