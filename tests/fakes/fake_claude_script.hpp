// Test-side helpers for fake-claude: write its script under a home directory and read back what
// it recorded. The script format is described at the top of fakes/fake-claude/main.cpp.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarno::fakes {

// A fresh directory (mkdtemp under $TMPDIR or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tarno-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Bytes as a script TEXT argument: printable ASCII stays, everything else becomes \xHH.
inline std::string scriptEscape(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

// A terminal hyperlink (OSC 8) around `text`, ended by BEL or, with `stringTerminator`, ESC \.
inline std::string osc8Link(std::string_view target, std::string_view text,
                            bool stringTerminator = false) {
  const std::string end = stringTerminator ? "\x1b\\" : "\a";
  return "\x1b]8;;" + std::string(target) + end + std::string(text) + "\x1b]8;;" + end;
}

// What `auth status` prints, in the CLI's shape.
inline std::string authStatusJSON(bool loggedIn) {
  return std::string("{\"loggedIn\":") + (loggedIn ? "true" : "false") +
         ",\"authMethod\":\"claude.ai\"}";
}

// The steps of one mode; every call appends one step. Texts are raw bytes (escaped for you).
class FakeClaudeSection {
 public:
  FakeClaudeSection& out(std::string_view text) { return add("out", scriptEscape(text)); }
  FakeClaudeSection& outRaw(std::string_view bytes) { return add("out-raw", scriptEscape(bytes)); }
  FakeClaudeSection& outFill(long count, std::string_view text) {
    return add("out-fill", std::to_string(count) + " " + scriptEscape(text));
  }
  FakeClaudeSection& err(std::string_view text) { return add("err", scriptEscape(text)); }
  FakeClaudeSection& errFill(long count, std::string_view text) {
    return add("err-fill", std::to_string(count) + " " + scriptEscape(text));
  }
  FakeClaudeSection& sleepMs(long ms) { return add("sleep", std::to_string(ms)); }
  FakeClaudeSection& hang() { return add("hang", ""); }
  FakeClaudeSection& code(std::string_view expected) { return add("code", scriptEscape(expected)); }
  FakeClaudeSection& exit(int status) { return add("exit", std::to_string(status)); }
  FakeClaudeSection& signal(int number) { return add("signal", std::to_string(number)); }
  FakeClaudeSection& ignoreTerm() { return add("ignore-term", ""); }
  FakeClaudeSection& grandchild() { return add("grandchild", ""); }

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  FakeClaudeSection& add(std::string_view step, const std::string& argument) {
    lines_.push_back(std::string(step) + " " + argument);
    return *this;
  }
  std::vector<std::string> lines_;
};

// A whole script. A mode's section exists once its accessor has been called (even with no
// steps: the fake then prints nothing and exits 0); a mode without one makes the fake exit 64.
class FakeClaudeScript {
 public:
  FakeClaudeSection& print() { return section(print_); }
  FakeClaudeSection& status() { return section(status_); }
  FakeClaudeSection& login() { return section(login_); }

  std::string text() const {
    std::string text;
    const auto emit = [&](const char* name, const std::optional<FakeClaudeSection>& s) {
      if (!s) return;
      text += std::string("[") + name + "]\n";
      for (const std::string& line : s->lines())
        text += line + "\n";
    };
    emit("print", print_);
    emit("status", status_);
    emit("login", login_);
    return text;
  }

  // Writes `home`/.fake-claude/script, creating the directory.
  void install(const std::string& home) const {
    std::filesystem::create_directories(home + "/.fake-claude");
    std::ofstream(home + "/.fake-claude/script", std::ios::binary | std::ios::trunc) << text();
  }

 private:
  static FakeClaudeSection& section(std::optional<FakeClaudeSection>& s) {
    if (!s) s.emplace();
    return *s;
  }
  std::optional<FakeClaudeSection> print_, status_, login_;
};

// What the last fake-claude started with `home` recorded (the log covers every start).
struct FakeClaudeRecord {
  std::vector<std::string> args;         // without the program name
  std::vector<std::string> environment;  // "NAME=value", in the child's order
  std::string cwd;
  std::string pid;
  std::string grandchildPid;       // empty unless the script started one
  std::vector<std::string> stdio;  // "0 null", "1 pipe:1234", ...
  std::string tty;                 // "<rows> <columns> controlling|not-controlling", or empty
  std::vector<std::string> log;
};

// A whole file's bytes; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline FakeClaudeRecord readFakeClaudeRecord(const std::string& home) {
  const std::string dir = home + "/.fake-claude/";
  // Parts that each end with `separator`.
  const auto split = [&](const char* name, char separator) {
    std::vector<std::string> parts;
    std::istringstream text(readFile(dir + name));
    for (std::string part; std::getline(text, part, separator);)
      parts.push_back(part);
    return parts;
  };
  return FakeClaudeRecord{.args = split("args", '\0'),
                          .environment = split("env", '\0'),
                          .cwd = readFile(dir + "cwd"),
                          .pid = readFile(dir + "pid"),
                          .grandchildPid = readFile(dir + "grandchild"),
                          .stdio = split("stdio", '\n'),
                          .tty = readFile(dir + "tty"),
                          .log = split("log", '\n')};
}

}  // namespace tarno::fakes
