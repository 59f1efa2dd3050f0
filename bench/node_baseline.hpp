// Small helpers for benchmarks that compare against a Node.js baseline run as a child process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarno::bench {

// The fastest of `rounds` timed calls of `once`, in seconds: on a shared machine the fastest
// round is the one least disturbed by other work.
template <class Once>
double bestSeconds(int rounds, Once&& once) {
  double best = 1e300;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    once();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

inline std::string shellQuote(std::string_view s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Standard output of a shell command, or nothing when it cannot run or exits non-zero.
inline std::optional<std::string> captureOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "re");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  std::array<char, 4096> buf;
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), pipe))
    out.append(buf.data(), n);
  const int status = ::pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

inline bool haveNode() {
  return captureOutput("node --version 2>/dev/null").has_value();
}

// Where benchmarks keep generated inputs: beside the benchmark executable, in the build tree.
inline std::filesystem::path dataDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::temp_directory_path();
  return exe.parent_path();
}

inline std::string sourcePath(std::string_view relative) {
  return std::string(TARNO_SOURCE_DIR) + "/" + std::string(relative);
}

// The number after `key` in a "key value key value" line; -1 when there is none.
inline double field(const std::string& line, std::string_view key) {
  const std::size_t at = line.find(std::string(key) + " ");
  if (at == std::string::npos) return -1;
  try {
    return std::stod(line.substr(at + key.size() + 1));
  } catch (...) {
    return -1;
  }
}

}  // namespace tarno::bench
