// What the helper adds between the CLI and the app: event latency and throughput through the
// helper socket against reading the same CLI's pipe directly, in the same run; and the memory
// of an idle helper in serve mode and of each idle connection it holds.
//
// The CLI is this program itself: started under the name "claude", it prints text_delta
// stream-JSON lines whose text is the CLOCK_MONOTONIC time at which each was written, one
// write per line as the real CLI does. fake-claude only prints fixed text, so it cannot stamp
// its lines.
//
// The helper is the real tarno-assistant in serve mode. It takes its socket path from the user
// database's home, so it runs in private mount and pid namespaces where /etc/passwd names a
// temporary directory as that home; where namespaces are unavailable, latency and throughput
// are measured through an in-process socket server instead and memory is not measured.
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "bench_report.hpp"
#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/line_accumulator.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/transport/assistant_helper_client.hpp"
#include "tarno/assistant/transport/assistant_socket_server.hpp"
#include "tarno/assistant/transport/socket_io.hpp"

namespace {

using namespace tarno::assistant;
using namespace std::chrono_literals;

constexpr int latencyEvents = 5000;
constexpr int latencyGapMicros = 100;
constexpr int throughputEvents = 100'000;
constexpr int idleConnections = 200;

std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// ---- the stamping CLI -------------------------------------------------------------------

// `claude -p "<count> <gap µs>" …`: count stamped deltas, then a result line.
int emit(int argc, char** argv) {
  long count = 0, gapMicros = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) == "-p") std::sscanf(argv[i + 1], "%ld %ld", &count, &gapMicros);
  }
  char line[160];
  for (long i = 0; i < count; ++i) {
    if (gapMicros > 0) {
      // Sleeping, not spinning: on a small machine a spinning CLI would steal the helper's CPU.
      const timespec gap{0, gapMicros * 1000};
      ::clock_nanosleep(CLOCK_MONOTONIC, 0, &gap, nullptr);
    }
    const int n = std::snprintf(
        line, sizeof line,
        R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"%)" PRId64 R"("}}})"
        "\n",
        monotonicNanos());
    if (!writeAll(STDOUT_FILENO, std::string_view(line, static_cast<std::size_t>(n)))) return 1;
  }
  return writeAll(STDOUT_FILENO, "{\"type\":\"result\",\"result\":\"done\"}\n") ? 0 : 1;
}

// ---- measuring ----------------------------------------------------------------------------

// What one pass saw: per-event latency and the time from start to the last event.
struct Pass {
  std::vector<double> latencyMicros;
  double seconds = 0;
  int events = 0;
};

void record(Pass& pass, const AssistantEvent& event) {
  if (const auto* delta = event.as<AssistantEvent::TextDelta>()) {
    const std::int64_t now = monotonicNanos();
    pass.latencyMicros.push_back(double(now - std::strtoll(delta->text.c_str(), nullptr, 10)) /
                                 1000.0);
    ++pass.events;
  }
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * double(values.size() - 1) + 0.5);
  return values[index];
}

std::string prompt(int count, int gapMicros) {
  return std::to_string(count) + " " + std::to_string(gapMicros);
}

// A pipe read in this process, split into lines and parsed, as the runner does: the CLI's own
// pipe, or that of a program the CLI writes to.
Pass readPipeOf(ChildProcess::Options options) {
  Pass pass;
  const auto start = std::chrono::steady_clock::now();
  auto spawned = ChildProcess::spawn(options.withStandardOutput(ChildProcess::Stdio::piped()));
  if (!std::holds_alternative<ChildProcess>(spawned)) return pass;
  ChildProcess& child = std::get<ChildProcess>(spawned);
  unique_fd out = child.takeStdout();
  LineAccumulator lines;
  std::string buffer(65536, '\0');
  for (;;) {
    const ssize_t n = ::read(out.get(), buffer.data(), buffer.size());
    if (n <= 0) break;
    for (const std::string& line : lines.append(std::string_view(buffer.data(), std::size_t(n)))) {
      for (const AssistantEvent& event : StreamJSONParser::events(line))
        record(pass, event);
    }
  }
  pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  child.wait();
  return pass;
}

Pass directRead(const std::string& claude, int count, int gapMicros) {
  return readPipeOf(ChildProcess::Options(claude).withArguments({"-p", prompt(count, gapMicros)}));
}

// The CLI's output copied through cat: a process in between that does nothing but relay, which
// is the least any helper can add on this machine.
Pass catRelayRead(const std::string& claude, int count, int gapMicros) {
  return readPipeOf(ChildProcess::Options("/bin/sh").withArguments(
      {"-c", R"("$0" -p "$1" | exec cat)", claude, prompt(count, gapMicros)}));
}

// One run through the helper socket, read with the helper client.
Pass relayRead(const std::string& socketPath, int count, int gapMicros) {
  Pass pass;
  const auto start = std::chrono::steady_clock::now();
  auto events = AssistantHelperClient::run(AssistantRunRequest{.prompt = prompt(count, gapMicros)},
                                           socketPath);
  while (auto event = events.next()) {
    record(pass, *event);
    if (const auto* finished = event->as<AssistantEvent::Finished>();
        finished && finished->isError) {
      std::fprintf(stderr, "relay run failed: %s\n", finished->text.c_str());
    }
  }
  pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return pass;
}

// The client's share of the relay: a peer in this process that answers with `count` events
// written in 64 KiB blocks, read through the helper client.
double clientAloneEventsPerSecond(const std::string& socketPath, int count) {
  unique_fd listener = SocketIO::makeSocket();
  const std::optional<sockaddr_un> address = SocketAddr::unix(socketPath);
  if (!listener || !address ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_un)) !=
          0 ||
      ::listen(listener.get(), 1) != 0) {
    return 0;
  }
  std::string frames;
  for (int i = 0; i < count; ++i)
    frames += R"({"textDelta":{"_0":"1234567890123456789"}})"
              "\n";
  std::jthread peer([&] {
    unique_fd connection = SocketIO::acceptConnection(listener.get());
    if (!connection || !SocketIO::readOneFrame(connection.get())) return;
    for (std::size_t at = 0; at < frames.size(); at += 65536) {
      const std::string_view block = std::string_view(frames).substr(at, 65536);
      if (::send(connection.get(), block.data(), block.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(block.size())) {
        return;
      }
    }
  });
  const auto start = std::chrono::steady_clock::now();
  auto events = AssistantHelperClient::status(socketPath);
  int received = 0;
  while (auto event = events.next())
    received += event->is<AssistantEvent::TextDelta>() ? 1 : 0;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return received == count && seconds > 0 ? received / seconds : 0;
}

// ---- the helper -------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/tarno-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::optional<std::string> firstExecutable(std::initializer_list<const char*> paths) {
  for (const char* path : paths) {
    if (::access(path, X_OK) == 0) return std::string(path);
  }
  return std::nullopt;
}

// tarno-assistant serve with `home` as the user database's home, in namespaces of its own.
class SandboxedHelper {
 public:
  explicit SandboxedHelper(const std::string& home) {
    const auto unshare = firstExecutable({"/usr/bin/unshare", "/bin/unshare"});
    const auto mount = firstExecutable({"/usr/bin/mount", "/bin/mount"});
    if (!unshare || !mount) return;
    const passwd* me = ::getpwuid(::getuid());
    std::ofstream(home + "/.passwd")
        << (me != nullptr ? me->pw_name : "bench") << ":x:" << ::getuid() << ":" << ::getgid()
        << "::" << home << ":/bin/sh\n";
    std::vector<std::string> args;
    if (::geteuid() != 0) args = {"--user", "--map-current-user"};
    args.insert(args.end(), {"--mount", "--pid", "--fork", "--kill-child=SIGKILL", "/bin/sh", "-c",
                             "\"$0\" --bind \"$1\" /etc/passwd && shift && exec \"$@\"", *mount,
                             home + "/.passwd", TARNO_ASSISTANT_PATH, "serve"});
    auto spawned =
        ChildProcess::spawn(ChildProcess::Options(*unshare)
                                .withArguments(std::move(args))
                                .withEnvironment({"HOME=" + home, "PATH=" + home + "/bin"})
                                .withStandardInput(ChildProcess::Stdio::devNull())
                                .withStandardError(ChildProcess::Stdio::piped()));
    if (!std::holds_alternative<ChildProcess>(spawned)) return;
    wrapper_ = std::move(std::get<ChildProcess>(spawned));
    err_ = wrapper_.takeStderr();
    // The first line on standard error is "serving on …" or the reason it is not.
    std::string line;
    char c = 0;
    while (c != '\n') {
      pollfd p{err_.get(), POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1 || ::read(err_.get(), &c, 1) != 1) break;
      line.push_back(c);
    }
    serving_ = line.find("serving on") != std::string::npos;
    if (!serving_) std::fprintf(stderr, "helper did not start: %s\n", line.c_str());
  }
  ~SandboxedHelper() {
    wrapper_.sendSignal(SIGKILL);
    wrapper_.wait();
  }

  bool serving() const { return serving_; }

  // The helper itself: the one child of the namespace's unshare.
  std::optional<pid_t> helperPID() const {
    const pid_t pid = wrapper_.pid();
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    pid_t child = 0;
    if (children >> child) return child;
    return std::nullopt;
  }

 private:
  ChildProcess wrapper_;
  unique_fd err_;
  bool serving_ = false;
};

std::optional<long> statusKiB(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return std::nullopt;
}

std::size_t openDescriptors(pid_t pid) {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

// The part of the helper a mapping belongs to, from its path ("" or "[heap]" and the like for
// anonymous memory). Pages of a library that were copied on write count with the library.
std::string_view mappingGroup(std::string_view path) {
  if (!path.starts_with('/')) return "anonymous";
  const std::string_view file = path.substr(path.rfind('/') + 1);
  if (file == "tarno-assistant") return "program";
  for (const std::string_view c : {"libc.so", "libm.so", "ld-linux"})
    if (file.starts_with(c)) return "C runtime";
  for (const std::string_view cxx : {"libstdc++", "libgcc_s"})
    if (file.starts_with(cxx)) return "C++ runtime";
  return file.starts_with("libicu") ? "ICU" : "other libraries";
}

// Where a process's resident pages are, in KiB per group; empty when /proc/<pid>/smaps cannot be
// read.
std::vector<std::pair<std::string_view, long>> residentByMapping(pid_t pid) {
  std::vector<std::pair<std::string_view, long>> totals = {
      {"anonymous", 0},   {"program", 0}, {"C runtime", 0},
      {"C++ runtime", 0}, {"ICU", 0},     {"other libraries", 0}};
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::string_view group = "anonymous";
  bool any = false;
  for (std::string line; std::getline(smaps, line);) {
    const std::string_view first = std::string_view(line).substr(0, line.find(' '));
    if (first.find('-') != std::string_view::npos && !first.ends_with(':')) {
      // A mapping's header: "start-end perms offset dev inode [path]"; only the path has a slash.
      const std::size_t slash = line.find('/');
      group = mappingGroup(slash == std::string::npos ? std::string_view()
                                                      : std::string_view(line).substr(slash));
    } else if (line.starts_with("Rss:")) {
      any = true;
      for (auto& [name, kib] : totals)
        if (name == group) kib += std::strtol(line.c_str() + 4, nullptr, 10);
    }
  }
  if (!any) totals.clear();
  return totals;
}

void verdict(bool met) {
  std::printf("  -> %s\n", met ? "goal met" : "GOAL NOT MET");
}

void reportLatency(const Pass& direct, const Pass& relay, const Pass& catRelay) {
  const double d50 = percentile(direct.latencyMicros, 0.5),
               d99 = percentile(direct.latencyMicros, 0.99);
  const double r50 = percentile(relay.latencyMicros, 0.5),
               r99 = percentile(relay.latencyMicros, 0.99);
  const double c50 = percentile(catRelay.latencyMicros, 0.5),
               c99 = percentile(catRelay.latencyMicros, 0.99);
  std::printf("event latency, %d events %d us apart (CLI write -> event in hand):\n", latencyEvents,
              latencyGapMicros);
  std::printf("  direct pipe read : p50 %8.1f us   p99 %8.1f us   (%d events)\n", d50, d99,
              direct.events);
  std::printf("  through helper   : p50 %8.1f us   p99 %8.1f us   (%d events)\n", r50, r99,
              relay.events);
  std::printf(
      "  through cat      : p50 %8.1f us   p99 %8.1f us   (%d events; a relay that only "
      "copies, for reference)\n",
      c50, c99, catRelay.events);
  tarno::bench::reportNote(
      "event latency: the CLI's output copied through cat, a process in between that does "
      "nothing else, arrives with p50 %.1f us and p99 %.1f us (%.1f us added to the direct "
      "read's p99); through the helper p50 %.1f us and p99 %.1f us",
      c50, c99, c99 - d99, r50, r99);
  std::printf("  p99 ratio %.2fx, p99 added %.1f us (goal: ratio <= 2x or added <= 50 us)\n",
              d99 > 0 ? r99 / d99 : 0.0, r99 - d99);
  const bool met = relay.events == latencyEvents && (r99 <= 2 * d99 || r99 - d99 <= 50);
  verdict(met);
  tarno::bench::reportFigure({"event latency p99", r99, "us", d99, "direct pipe read",
                              tarno::bench::Goal::atMost, 2, "at most 50 us added"},
                             met);
}

void reportThroughput(const Pass& direct, const Pass& relay, double clientAlone) {
  const double d = direct.seconds > 0 ? direct.events / direct.seconds : 0;
  const double r = relay.seconds > 0 ? relay.events / relay.seconds : 0;
  std::printf("event throughput, %d events written as fast as the CLI can:\n", throughputEvents);
  std::printf("  direct pipe read : %10.0f events/s\n", d);
  std::printf("  through helper   : %10.0f events/s\n", r);
  std::printf("  ratio %.2fx (goal: >= 0.5x)\n", d > 0 ? r / d : 0.0);
  const bool met = relay.events == throughputEvents && r >= 0.5 * d;
  verdict(met);
  tarno::bench::reportFigure(
      {"event throughput", r, "events/s", d, "direct pipe read", tarno::bench::Goal::atLeast, 0.5},
      met);
  std::printf(
      "  for reference, the helper client alone (frames arriving in 64 KiB blocks): "
      "%.0f events/s\n",
      clientAlone);
}

void measureMemory(SandboxedHelper& helper, const std::string& socketPath) {
  const std::optional<pid_t> pid = helper.helperPID();
  if (!pid) {
    std::printf("memory: helper process not found, not measured\n");
    return;
  }
  std::this_thread::sleep_for(300ms);
  const std::optional<long> idle = statusKiB(*pid, "VmRSS");
  const std::optional<long> idleAnon = statusKiB(*pid, "RssAnon");
  const std::optional<long> idleFile = statusKiB(*pid, "RssFile");
  const std::optional<long> idleShmem = statusKiB(*pid, "RssShmem");
  const std::size_t descriptorsBefore = openDescriptors(*pid);

  std::string breakdown;
  for (const auto& [name, kib] : residentByMapping(*pid)) {
    char part[96];
    std::snprintf(part, sizeof part, "%s%.*s %.2f", breakdown.empty() ? "" : ", ", int(name.size()),
                  name.data(), kib / 1024.0);
    breakdown += part;
  }
  if (!breakdown.empty()) {
    tarno::bench::reportNote("idle helper RSS by mapping: %s MiB", breakdown.c_str());
  }

  std::vector<unique_fd> connections;
  for (int i = 0; i < idleConnections; ++i) {
    unique_fd connection = SocketIO::connect(socketPath);
    if (connection) connections.push_back(std::move(connection));
  }
  // Every connection accepted, its thread parked in its first read.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (openDescriptors(*pid) < descriptorsBefore + connections.size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(300ms);
  const std::optional<long> loaded = statusKiB(*pid, "VmRSS");
  const std::optional<long> loadedAnon = statusKiB(*pid, "RssAnon");
  const std::optional<long> threads = statusKiB(*pid, "Threads");  // a count, not KiB
  if (!idle || !loaded) {
    std::printf("memory: /proc/%d/status unreadable, not measured\n", int(*pid));
    return;
  }
  std::printf("memory of tarno-assistant serve (VmRSS):\n");
  std::printf(
      "  idle                : %6.2f MiB: %.2f MiB anonymous, %.2f MiB file-backed (library "
      "and program pages, shared with other processes), %.2f MiB shared memory (goal: < 4 MiB)\n",
      *idle / 1024.0, idleAnon.value_or(0) / 1024.0, idleFile.value_or(0) / 1024.0,
      idleShmem.value_or(0) / 1024.0);
  if (!breakdown.empty()) std::printf("  by mapping          : %s MiB\n", breakdown.c_str());
  verdict(*idle < 4 * 1024);
  tarno::bench::reportFigure({.name = "idle helper RSS",
                              .value = *idle / 1024.0,
                              .unit = "MiB",
                              .goal = tarno::bench::Goal::atMost,
                              .bound = 4},
                             *idle < 4 * 1024);
  const double perConnection = double(*loaded - *idle) / double(connections.size());
  const double perConnectionAnon =
      double(loadedAnon.value_or(0) - idleAnon.value_or(0)) / double(connections.size());
  std::printf(
      "  %zu idle connections: %6.2f MiB, %.1f KiB each (%.1f KiB anonymous), %ld threads "
      "(goal: < 64 KiB each)\n",
      connections.size(), *loaded / 1024.0, perConnection, perConnectionAnon, threads.value_or(-1));
  const bool met = connections.size() == idleConnections && perConnection < 64;
  verdict(met);
  tarno::bench::reportFigure({.name = "RSS per idle connection",
                              .value = perConnection,
                              .unit = "KiB",
                              .goal = tarno::bench::Goal::atMost,
                              .bound = 64},
                             met);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::filesystem::path(argv[0]).filename() == "claude") return emit(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  TempDir temp;
  if (temp.path().empty()) {
    std::fprintf(stderr, "mkdtemp failed\n");
    return 1;
  }
  const std::string home = temp.path();
  const std::string claude = home + "/bin/claude";
  std::filesystem::create_directories(home + "/bin");
  std::filesystem::create_directories(home + "/.tarno");
  std::filesystem::create_symlink(std::filesystem::read_symlink("/proc/self/exe"), claude);
  std::printf("helper relay (fake CLI: this program as %s; tarno-assistant: %s)\n", claude.c_str(),
              TARNO_ASSISTANT_PATH);

  SandboxedHelper sandboxed(home);
  std::string socketPath = home + "/.tarno/assistant.sock";
  std::optional<AssistantSocketServer> inProcess;
  if (!sandboxed.serving()) {
    std::printf("no namespaces for a sandboxed helper: relaying through an in-process server\n");
    socketPath = home + "/relay.sock";
    inProcess.emplace(
        socketPath,
        [claude, home](AssistantCommand command) -> EventStream<AssistantEvent> {
          const auto* run = command.as<AssistantCommand::Run>();
          if (run == nullptr) return EventStream<AssistantEvent>::of({});
          return ClaudeProcessRunner::stream(
              claude, ClaudeInvocation::forRequest(run->request, std::nullopt),
              Environment{{"HOME", home}}, home);
        },
        [](std::string) { return false; });
    inProcess->start();
  }

  // Warm up both paths (page cache, first thread stacks), then measure.
  (void)directRead(claude, 200, 0);
  (void)relayRead(socketPath, 200, 0);
  reportLatency(directRead(claude, latencyEvents, latencyGapMicros),
                relayRead(socketPath, latencyEvents, latencyGapMicros),
                catRelayRead(claude, latencyEvents, latencyGapMicros));
  reportThroughput(directRead(claude, throughputEvents, 0),
                   relayRead(socketPath, throughputEvents, 0),
                   clientAloneEventsPerSecond(home + "/client.sock", throughputEvents));

  if (sandboxed.serving()) {
    measureMemory(sandboxed, socketPath);
  } else {
    std::printf("memory: not measured (needs the sandboxed helper)\n");
  }
  return 0;
}
