// What a CLI run through ClaudeProcessRunner costs beyond starting and reaping the same program
// by hand: fake-claude prints one result line; the runner's side ends when `finished` arrives,
// the bare side is posix_spawn + waitpid with the output on /dev/null. Runs alternate so that
// both sides see the same machine load.
//
//   process_runner_bench [runs]     (200 by default)
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_report.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace {

using tarno::assistant::AssistantEvent;
using tarno::assistant::ClaudeProcessRunner;
using tarno::assistant::Environment;
using Clock = std::chrono::steady_clock;

constexpr const char* fakeClaude = TARNO_FAKE_CLAUDE_PATH;
constexpr const char* resultLine =
    R"({"type":"result","subtype":"success","is_error":false,"result":"Done.","session_id":"s"})";

bool bareRun(const std::vector<std::string>& environment) {
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char arg0[] = "fake-claude", arg1[] = "-p", arg2[] = "x";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  std::vector<char*> envp;
  for (const std::string& entry : environment)
    envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, fakeClaude, &actions, nullptr, argv, envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runnerRun(const Environment& environment) {
  auto stream = ClaudeProcessRunner::stream(fakeClaude, {"-p", "x"}, environment, std::nullopt,
                                            tarno::assistant::StreamJSONParser::events);
  bool finished = false;
  while (auto event = stream.next()) {
    const auto* f = event->as<AssistantEvent::Finished>();
    finished = f != nullptr && !f->isError && f->text == "Done.";
  }
  return finished;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values)
    sum += v;
  return sum / static_cast<double>(values.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

  char pattern[] = "/tmp/tarno-runner-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string home = pattern;
  std::filesystem::create_directories(home + "/.fake-claude");
  std::ofstream(home + "/.fake-claude/script") << "[print]\nout " << resultLine << "\n";

  const Environment environment = {{"HOME", home}, {"PATH", "/usr/bin:/bin"}};
  const std::vector<std::string> entries = tarno::assistant::environmentEntries(environment);

  bool ok = true;
  for (int i = 0; i < 10; ++i)
    ok = bareRun(entries) && runnerRun(environment) && ok;

  std::vector<double> bare, runner;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    ok = bareRun(entries) && ok;
    bare.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    start = Clock::now();
    ok = runnerRun(environment) && ok;
    runner.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::filesystem::remove_all(home);
  if (!ok) {
    std::fprintf(stderr, "process_runner_bench: a run did not end as scripted\n");
    return 1;
  }

  std::printf("one CLI run, %d runs each (fake-claude printing one result line)\n", runs);
  std::printf("  bare posix_spawn + waitpid : mean %8.1f us, median %8.1f us\n", mean(bare),
              median(bare));
  std::printf("  ClaudeProcessRunner        : mean %8.1f us, median %8.1f us\n", mean(runner),
              median(runner));
  std::printf("  ratio runner / bare        : mean %.3fx, median %.3fx (goal <= 1.3x)\n",
              mean(runner) / mean(bare), median(runner) / median(bare));
  tarno::bench::reportFigure({"CLI run, median", median(runner), "us", median(bare),
                              "posix_spawn + waitpid", tarno::bench::Goal::atMost, 1.3});
  return 0;
}
