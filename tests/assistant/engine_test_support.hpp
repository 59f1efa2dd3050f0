// Helpers shared by the sign-in and engine host tests: reading event streams with a time
// limit, a fake-claude home, and counting this process's descriptors and threads.
#pragma once

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant::test_support {

using namespace std::chrono_literals;

// The next event, or nothing when the stream ends or `limit` passes first.
inline std::optional<AssistantEvent> nextWithin(EventStream<AssistantEvent>& stream,
                                                std::chrono::milliseconds limit = 10s) {
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

// Every event up to the end of the stream; stops early (the test then fails on the content)
// when the stream stalls for `limit`.
inline std::vector<AssistantEvent> drain(EventStream<AssistantEvent>& stream,
                                         std::chrono::milliseconds limit = 10s) {
  std::vector<AssistantEvent> events;
  while (auto event = nextWithin(stream, limit))
    events.push_back(std::move(*event));
  return events;
}

inline std::vector<AssistantEvent> drain(EventStream<AssistantEvent>&& stream,
                                         std::chrono::milliseconds limit = 10s) {
  return drain(stream, limit);
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

inline int countEntries(const char* directory) {
  int count = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

// Open descriptors of this process (the directory's own descriptor included, as at every call).
inline int openDescriptorCount() {
  return countEntries("/proc/self/fd");
}
inline int threadCount() {
  return countEntries("/proc/self/task");
}

// Polls `condition` until it holds or `limit` passes; the last result.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace tarno::assistant::test_support
