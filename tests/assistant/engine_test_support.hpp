// Helpers shared by the engine, transport and executable tests: reading event streams and
// socket connections with a time limit, a fake-claude home, waiting for a condition, and
// counting this process's descriptors and threads.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "gtest/gtest.h"
#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/event_stream.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant::test_support {

using namespace std::chrono_literals;

// The next element, or nothing when the stream ends or `limit` passes first.
template <class T>
std::optional<T> nextWithin(EventStream<T>& stream, std::chrono::milliseconds limit = 10s) {
  std::stop_source expired;
  std::jthread timer([&expired, limit](std::stop_token done) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    if (!wake.wait_for(lock, done, limit, [] { return false; }) && !done.stop_requested()) {
      expired.request_stop();
    }
  });
  return stream.next(expired.get_token());
}

// Every element up to the end of the stream; stops early (the test then fails on the content)
// when the stream stalls for ten seconds.
template <class T>
std::vector<T> drain(EventStream<T>& stream) {
  std::vector<T> elements;
  while (auto element = nextWithin(stream))
    elements.push_back(std::move(*element));
  return elements;
}

template <class T>
std::vector<T> drain(EventStream<T>&& stream) {
  return drain(stream);
}

// The error that decoding `json` as a T throws; a test failure when it decodes.
template <class T>
core::DecodingError decodeFailure(const std::string& json) {
  try {
    core::decodeFromString<T>(json);
  } catch (const core::DecodingError& e) {
    return e;
  }
  ADD_FAILURE() << "decoded: " << json;
  return core::DecodingError(core::DecodingError::Kind::dataCorrupted, "", "");
}

// A temporary home directory for fake-claude, with the environment that points it there.
struct FakeHome {
  fakes::TempDir dir;

  const std::string& path() const { return dir.path(); }
  Environment environment() const {
    return Environment{{"HOME", dir.path()}, {"PATH", "/usr/bin:/bin"}};
  }
  void install(const fakes::FakeClaudeScript& script) const { script.install(dir.path()); }
  fakes::FakeClaudeRecord record() const { return fakes::readFakeClaudeRecord(dir.path()); }
};

// Polls `condition` until it holds or `limit` passes; the last result.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Whether the process `pid` (as this process's /proc names it) is gone, or a zombie nobody
// reaps (what an orphan may be left as in a container).
inline bool ended(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && line.substr(close + 2, 1) == "Z";
}

// ThreadSanitizer starts a background thread of its own when the process creates its first
// thread; creating one here, before any test takes a baseline, keeps that thread out of the
// counts below.
inline const bool runtimeThreadsStarted = [] {
  std::thread([] {}).join();
  return true;
}();

// This process's open descriptors and threads when made; settled() tells whether the counts
// come back down to them, since children are reaped and threads joined a little later.
struct ResourceCount {
  static int count(const char* directory) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(directory), {}));
  }
  static int descriptors() { return count("/proc/self/fd"); }
  static int threads() { return count("/proc/self/task"); }

  int descriptorsBefore = descriptors();
  int threadsBefore = threads();

  ::testing::AssertionResult settled() const {
    if (eventually(
            [&] { return descriptors() <= descriptorsBefore && threads() <= threadsBefore; }))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << descriptors() << " descriptors (" << descriptorsBefore << " before), " << threads()
           << " threads (" << threadsBefore << " before)";
  }
};

// --- helper socket clients ---------------------------------------------------------------

inline std::string frame(const AssistantCommand& command) {
  return core::encodeToString(command) + "\n";
}

// A client connection with a receive time limit, so that a server that never answers fails
// the test instead of hanging it.
inline unique_fd connectTo(const std::string& path) {
  unique_fd fd = SocketIO::connect(path);
  if (fd) {
    timeval limit{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  return fd;
}

inline bool sendAll(int fd, std::string_view bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// The events the server sends, until it closes the connection or `atMost` have come.
inline std::vector<AssistantEvent> readEvents(int fd, std::size_t atMost = SIZE_MAX) {
  std::vector<AssistantEvent> events;
  SocketIO::FrameReader reader(fd);
  while (events.size() < atMost) {
    auto frames = reader.nextFrames();
    if (!frames) break;
    for (auto& text : *frames)
      events.push_back(core::decodeFromString<AssistantEvent>(text));
  }
  return events;
}

}  // namespace tarno::assistant::test_support
