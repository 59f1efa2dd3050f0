// Soak: tarno-assistant serve under a long mixed load from concurrent clients, with fake-claude
// as its CLI in a home of its own (the test sandbox: private mount and pid namespaces).
//
// Clients run turns with thousands of events, status checks, sign-ins whose code comes over the
// same or a second connection, turns they leave mid-way, turns they stop reading (and then read
// to the end, or leave), garbage frames and frames over the size limit, while other clients
// connect and never send. Then one client reads nothing of a huge turn, and a burst of
// unterminated 7 MiB frames comes from clients that leave. Checked: every well-formed command is
// answered with exactly one `finished`, last; idle clients are closed after the first-frame
// limit; a client that does not read costs a bounded amount of memory; RSS after the load is
// within 10% of RSS after warm-up, and within 2 MiB of idle a second after the burst;
// descriptors, threads and children are back to idle. Prints its figures; exits 1 when a check
// fails, 2 when it cannot run here.
//
// Usage: soak [--commands N] [--clients N] [--idle-clients N]   (10000, 20, 200)
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"
#include "tool/helper_sandbox.hpp"

namespace {

using namespace std::chrono_literals;
using tarno::assistant::AssistantCommand;
using tarno::assistant::AssistantEvent;
using tarno::assistant::AssistantRunRequest;
namespace SocketIO = tarno::assistant::SocketIO;
using tarno::assistant::unique_fd;
using Clock = std::chrono::steady_clock;

constexpr int largeRunDeltas = 2000;
constexpr int floodDeltas = 100000;  // about 8 MiB of events: well over what a connection holds
constexpr int hugeDeltas = 1000000;  // about 80 MiB, for a client that reads none of it
constexpr long burstClients = 16;
constexpr std::size_t burstBytes = 7 << 20;
const std::string signInCode = "soak-c0de";

std::string fakeScript() {
  const std::string init = R"({"type":"system","subtype":"init","session_id":"soak"})";
  const std::string delta =
      R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"word "}}})";
  const std::string result = R"({"type":"result","result":"done","session_id":"soak"})";
  const std::string deltas = tarno::fakes::scriptEscape(delta + "\n");
  return "[print small]\nout " + init + "\nout " + delta + "\nout " + result +
         "\n[print large]\nout " + init + "\nout-fill " + std::to_string(largeRunDeltas) + " " +
         deltas + "\nout " + result + "\n[print flood]\nout " + init + "\nout-fill " +
         std::to_string(floodDeltas) + " " + deltas + "\nout " + result + "\n[print huge]\nout " +
         init + "\nout-fill " + std::to_string(hugeDeltas) + " " + deltas + "\n[print hang]\nout " +
         init + "\nhang\n[print]\nexit 3\n[status]\nout " + tarno::fakes::authStatusJSON(true) +
         "\n[login]\nout Visit https://claude.ai/oauth/authorize?code=true&state=soak\ncode " +
         signInCode + "\nexit 0\n";
}

// --- the helper, seen from /proc ------------------------------------------------------------

long statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":"))
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

long entries(const std::string& directory) {
  std::error_code error;
  long count = 0;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error))
    ++count;
  return count;
}

// Children of any of the process's threads (each thread lists the ones it forked).
long children(pid_t pid) {
  long count = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream list(it->path() / "children");
    for (pid_t child; list >> child;)
      ++count;
  }
  return count;
}

struct Resources {
  long rssKiB, threads, descriptors, children;
};

Resources measure(pid_t pid) {
  return {statusField(pid, "VmRSS"), statusField(pid, "Threads"),
          entries("/proc/" + std::to_string(pid) + "/fd"), children(pid)};
}

bool within(Clock::duration limit, const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// --- clients ---------------------------------------------------------------------------------

unique_fd connectTo(const std::string& path) {
  unique_fd fd = SocketIO::connect(path);
  if (fd) {
    timeval limit{60, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string frame(const AssistantCommand& command) {
  return tarno::core::encodeToString(command) + "\n";
}

// Reads events until the server closes (or `stopAfter` have come); a frame that is no event
// counts as a failure.
struct Answer {
  std::vector<AssistantEvent> events;
  bool undecodable = false;
};

Answer readAnswer(SocketIO::FrameReader& reader, std::size_t stopAfter = SIZE_MAX,
                  Answer answer = {}) {
  while (answer.events.size() < stopAfter) {
    auto frames = reader.nextFrames();
    if (!frames) break;
    for (const auto& text : *frames) {
      try {
        answer.events.push_back(tarno::core::decodeFromString<AssistantEvent>(text));
      } catch (...) {
        answer.undecodable = true;
      }
    }
  }
  return answer;
}

// Exactly one `finished`, last, not an error; and `expected` events in all when given.
bool answeredOnce(const Answer& answer, std::optional<std::size_t> expected = std::nullopt) {
  const auto finished = std::count_if(answer.events.begin(), answer.events.end(), [](auto& e) {
    return e.template is<AssistantEvent::Finished>();
  });
  return !answer.undecodable && finished == 1 &&
         answer.events.back().is<AssistantEvent::Finished>() &&
         !answer.events.back().as<AssistantEvent::Finished>()->isError &&
         (!expected || answer.events.size() == *expected);
}

enum Kind { small, large, status, signIn, vanish, slowReader, leaveUnread, garbage, oversized };
constexpr const char* kindNames[] = {"small run",   "large run",  "status",  "sign-in",  "vanish",
                                     "slow reader", "stop+leave", "garbage", "oversized"};
constexpr int kinds = 9;
// One cycle of the mix: mostly well-formed commands, every hostile kind in it.
constexpr Kind mix[] = {small,  small,      large,       status,  small,  status, signIn,
                        vanish, slowReader, leaveUnread, garbage, small,  large,  status,
                        small,  oversized,  status,      small,   signIn, large};

struct Tally {
  std::atomic<long> done[kinds] = {};
  std::atomic<long> failed[kinds] = {};
};

class Driver {
 public:
  Driver(std::string socketPath, Tally& tally) : path_(std::move(socketPath)), tally_(tally) {}

  void command(Kind kind, std::mt19937& random) {
    const bool ok = [&] {
      switch (kind) {
        case small:
          return runTurn("small", 3);
        case large:
          return runTurn("large", largeRunDeltas + 2);
        case status:
          return simple(AssistantCommand::status(), 1);
        case signIn:
          return signInOnce();
        case vanish:
          return leaveAfterFirst("hang", 0ms);
        case slowReader:
          return slowRead();
        case leaveUnread:
          return leaveAfterFirst("flood", 200ms);
        case garbage:
          return closedUnanswered(randomBytes(random) + "\n");
        case oversized:
          return closedUnanswered(std::string(
              static_cast<std::size_t>(tarno::protocol::FrameCodec::maxFrameBytes) + 4096, 'x'));
      }
      return false;
    }();
    ++tally_.done[kind];
    if (!ok) ++tally_.failed[kind];
  }

 private:
  bool runTurn(const std::string& prompt, std::size_t events) {
    return simple(AssistantCommand::run(AssistantRunRequest{.prompt = prompt}), events);
  }

  bool simple(const AssistantCommand& command, std::size_t events) {
    unique_fd fd = connectTo(path_);
    if (!fd || !sendAll(fd.get(), frame(command))) return false;
    SocketIO::FrameReader reader(fd.get());
    return answeredOnce(readAnswer(reader), events);
  }

  // A client that reads the first event, then nothing for a while, then everything.
  bool slowRead() {
    unique_fd fd = connectTo(path_);
    if (!fd || !sendAll(fd.get(), frame(AssistantCommand::run({.prompt = "flood"})))) return false;
    SocketIO::FrameReader reader(fd.get());
    Answer answer = readAnswer(reader, 1);
    std::this_thread::sleep_for(300ms);
    return answeredOnce(readAnswer(reader, SIZE_MAX, std::move(answer)), floodDeltas + 2);
  }

  bool leaveAfterFirst(const std::string& prompt, std::chrono::milliseconds unread) {
    unique_fd fd = connectTo(path_);
    if (!fd || !sendAll(fd.get(), frame(AssistantCommand::run({.prompt = prompt})))) return false;
    SocketIO::FrameReader reader(fd.get());
    const bool started = !readAnswer(reader, 1).events.empty();
    std::this_thread::sleep_for(unread);
    return started;
  }

  bool closedUnanswered(const std::string& bytes) {
    unique_fd fd = connectTo(path_);
    if (!fd) return false;
    sendAll(fd.get(), bytes);  // the server may close before it has read everything
    SocketIO::FrameReader reader(fd.get());
    return readAnswer(reader).events.empty();
  }

  // One sign-in at a time; the code goes over the sign-in's own connection or a second one.
  bool signInOnce() {
    std::lock_guard one(signInMutex_);
    const bool secondConnection = signIns_++ % 2 == 1;
    unique_fd fd = connectTo(path_);
    if (!fd || !sendAll(fd.get(), frame(AssistantCommand::login()))) return false;
    SocketIO::FrameReader reader(fd.get());
    Answer answer;
    while (answer.events.empty() || !answer.events.back().is<AssistantEvent::AwaitingLoginCode>()) {
      const std::size_t before = answer.events.size();
      answer = readAnswer(reader, before + 1, std::move(answer));
      if (answer.events.size() == before) return false;
    }
    const std::string code = frame(AssistantCommand::loginCode(signInCode));
    if (secondConnection) {
      unique_fd other = connectTo(path_);
      if (!other || !sendAll(other.get(), code)) return false;
      SocketIO::FrameReader otherReader(other.get());
      if (!answeredOnce(readAnswer(otherReader), 1)) return false;
    } else if (!sendAll(fd.get(), code)) {
      return false;
    }
    return answeredOnce(readAnswer(reader, SIZE_MAX, std::move(answer)));
  }

  static std::string randomBytes(std::mt19937& random) {
    std::string bytes(1 + random() % 2048, '\0');
    for (char& c : bytes)
      c = static_cast<char>(random() % 255 + 1);
    std::replace(bytes.begin(), bytes.end(), '\n', ' ');
    return bytes;
  }

  std::string path_;
  Tally& tally_;
  std::mutex signInMutex_;
  long signIns_ = 0;
};

// Connections that never send, and when the helper closes them.
class IdleClients {
 public:
  IdleClients(const std::string& path, long count) {
    for (long i = 0; i < count; ++i) {
      unique_fd fd = SocketIO::connect(path);
      if (fd) fds_.push_back({fd.release(), POLLIN | POLLRDHUP, 0});
    }
    since_ = Clock::now();
    watcher_ = std::jthread([this](std::stop_token stop) { watch(stop); });
  }
  ~IdleClients() {
    watcher_ = {};
    for (const pollfd& p : fds_)
      unique_fd closing(p.fd);
  }

  struct Closed {
    long count;
    double first, last;  // seconds after connecting
  };
  Closed waitUntilClosed(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return closed_ == static_cast<long>(fds_.size()); });
    return {closed_, first_, last_};
  }

 private:
  void watch(std::stop_token stop) {
    std::vector<pollfd> open = fds_;
    while (!open.empty() && !stop.stop_requested() && ::poll(open.data(), open.size(), 100) >= 0) {
      const double now = std::chrono::duration<double>(Clock::now() - since_).count();
      std::lock_guard lock(mutex_);
      for (pollfd& p : open) {
        if (p.revents == 0) continue;
        if (closed_++ == 0) first_ = now;
        last_ = now;
        p.fd = -1;
      }
      std::erase_if(open, [](const pollfd& p) { return p.fd < 0; });
      changed_.notify_all();
    }
  }

  std::vector<pollfd> fds_;
  Clock::time_point since_;
  std::mutex mutex_;
  std::condition_variable changed_;
  long closed_ = 0;
  double first_ = 0, last_ = 0;
  std::jthread watcher_;  // last: stopped before the rest goes
};

long option(int argc, char** argv, const std::string& name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("  %-64s %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
  const long commands = option(argc, argv, "--commands", 10000);
  const long clients = option(argc, argv, "--clients", 20);
  const long idleClients = option(argc, argv, "--idle-clients", 200);
  if (!tarno::testing::HelperSandbox::sandboxable()) {
    std::fprintf(stderr, "soak: needs user, mount and pid namespaces (unshare)\n");
    return 2;
  }
  tarno::testing::HelperSandbox sandbox;
  sandbox.makeSupportDir();
  std::filesystem::create_directories(sandbox.home() + "/.fake-claude");
  std::ofstream(sandbox.home() + "/.fake-claude/script") << fakeScript();
  tarno::testing::Started serving = sandbox.start(TARNO_ASSISTANT_PATH, {"serve"});
  const std::string path = sandbox.socketPath();
  pid_t helper = -1;
  if (!within(10s, [&] {
        const std::string wrapper = std::to_string(serving.child.pid());
        std::ifstream list("/proc/" + wrapper + "/task/" + wrapper + "/children");
        return (list >> helper) && sandbox.err().find("serving on") != std::string::npos;
      })) {
    std::fprintf(stderr, "soak: the helper did not start: %s\n", sandbox.err().c_str());
    return 2;
  }

  Tally tally;
  Driver driver(path, tally);
  // The whole mix from every client at once, `count` commands in all.
  const auto drive = [&](long count, unsigned seed) {
    std::atomic<long> next{0};
    std::vector<std::jthread> workers;
    for (long c = 0; c < clients; ++c) {
      workers.emplace_back([&, c] {
        std::mt19937 random(seed + static_cast<unsigned>(c));
        for (long i; (i = next++) < count;)
          driver.command(mix[i % std::size(mix)], random);
      });
    }
  };
  // Warm-up: every kind of command from every client, so that what the helper keeps for
  // concurrent connections (allocator arenas, the engine's state) exists before the baseline.
  drive(clients * static_cast<long>(std::size(mix)), 7);
  within(10s, [&] { return measure(helper).children == 0; });
  const Resources warm = measure(helper);
  Tally warmTally;
  for (int k = 0; k < kinds; ++k) {
    warmTally.failed[k] = tally.failed[k].load();
    tally.done[k] = 0;
    tally.failed[k] = 0;
  }
  std::printf("soak: %ld commands from %ld clients, %ld idle clients, helper pid %d\n", commands,
              clients, idleClients, helper);
  std::printf("after warm-up: RSS %ld KiB, %ld threads, %ld descriptors, %ld children\n",
              warm.rssKiB, warm.threads, warm.descriptors, warm.children);

  // Clients that connect and never send, for the whole load; a thread notes when the helper
  // closes each.
  IdleClients idle(path, idleClients);
  const auto started = Clock::now();
  drive(commands, 1000);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("load: %.1f s, %.0f commands/s\n", seconds, commands / seconds);
  long failedCommands = 0;
  for (int k = 0; k < kinds; ++k) {
    failedCommands += warmTally.failed[k];
    std::printf("  %-12s %6ld done, %ld failed\n", kindNames[k], tally.done[k].load(),
                tally.failed[k].load());
    failedCommands += tally.failed[k];
  }

  const auto [idleClosed, firstClose, lastClose] = idle.waitUntilClosed(60s);
  if (idleClients > 0) {
    std::printf("idle clients: %ld of %ld closed by the helper, %.1f to %.1f s after connecting\n",
                idleClosed, idleClients, firstClose, lastClose);
  }

  // A client that sends a turn whose CLI writes 80 MiB and reads nothing of it: the helper holds
  // a bounded amount for it, not everything.
  long unreadPeak = 0;
  const long unreadBase = measure(helper).rssKiB;
  {
    unique_fd fd = connectTo(path);
    sendAll(fd.get(), frame(AssistantCommand::run({.prompt = "huge"})));
    for (const auto until = Clock::now() + 2s; Clock::now() < until;) {
      unreadPeak = std::max(unreadPeak, measure(helper).rssKiB);
      std::this_thread::sleep_for(20ms);
    }
  }
  std::printf("a client reading none of an 80 MiB turn for 2 s: RSS %ld KiB before, peak %ld KiB\n",
              unreadBase, unreadPeak);

  const bool settled = within(15s, [&] {
    const Resources now = measure(helper);
    return now.children == 0 && now.threads <= warm.threads && now.descriptors <= warm.descriptors;
  });
  const Resources after = measure(helper);
  std::printf("after the load: RSS %ld KiB (%+.1f%%), %ld threads, %ld descriptors, %ld children\n",
              after.rssKiB, 100.0 * (after.rssKiB - warm.rssKiB) / warm.rssKiB, after.threads,
              after.descriptors, after.children);

  // A burst of unterminated 7 MiB frames from clients that then leave.
  const long idleRss = measure(helper).rssKiB;
  long peakRss = idleRss;
  {
    std::vector<std::jthread> burst;
    std::atomic<long> peak{idleRss};
    for (long c = 0; c < burstClients; ++c) {
      burst.emplace_back([&] {
        unique_fd fd = SocketIO::connect(path);
        if (fd) sendAll(fd.get(), std::string(burstBytes, 'x'));
        long rss = measure(helper).rssKiB;
        for (long seen = peak.load(); rss > seen && !peak.compare_exchange_weak(seen, rss);) {
        }
      });
    }
    burst.clear();
    peakRss = peak;
  }
  const auto burstLeft = Clock::now();
  const bool memoryBack = within(1s, [&] { return measure(helper).rssKiB <= idleRss + 2048; });
  std::printf(
      "burst of %ld x 7 MiB unterminated: RSS idle %ld KiB, peak seen %ld KiB, %ld KiB "
      "after %.0f ms\n",
      burstClients, idleRss, peakRss, measure(helper).rssKiB,
      std::chrono::duration<double, std::milli>(Clock::now() - burstLeft).count());

  std::printf("checks:\n");
  check(failedCommands == 0, "every command answered once, `finished` last, or closed unanswered");
  check(idleClosed == idleClients && (idleClients == 0 || firstClose >= 29.0),
        "idle clients closed once the 30 s first-frame limit has passed");
  check(unreadPeak <= unreadBase + 16 * 1024,
        "at most 16 MiB held for a client that does not read");
  check(settled, "children, threads and descriptors back to idle");
  check(after.rssKiB <= warm.rssKiB * 11 / 10, "RSS after the load within 10% of warm-up");
  check(memoryBack, "RSS within 2 MiB of idle a second after the burst");
  check(::kill(helper, 0) == 0, "the helper still runs");
  std::printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
