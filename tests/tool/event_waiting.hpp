// Reading event streams in tests without ever blocking for good: every wait has a time limit,
// after which the stream counts as ended and the test fails on what it got.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::testing {

using namespace std::chrono_literals;
using Events = std::vector<assistant::AssistantEvent>;
using assistant::AssistantEvent;
using assistant::EventStream;

// The next event, or nothing once the stream has ended or `limit` has passed.
inline std::optional<AssistantEvent> nextWithin(EventStream<AssistantEvent>& stream,
                                                std::chrono::milliseconds limit = 20s) {
  std::stop_source timeout;
  std::mutex mutex;
  std::condition_variable_any never;
  std::jthread watchdog([&](std::stop_token stop) {
    std::unique_lock lock(mutex);
    never.wait_for(lock, stop, limit, [] { return false; });
    if (!stop.stop_requested()) timeout.request_stop();
  });
  return stream.next(timeout.get_token());
}

// Every event up to the end of the stream.
inline Events drain(EventStream<AssistantEvent>& stream) {
  Events events;
  while (auto event = nextWithin(stream))
    events.push_back(std::move(*event));
  return events;
}

// The events up to and including the first one of case `Case`.
template <class Case>
Events readThrough(EventStream<AssistantEvent>& stream) {
  Events events;
  while (auto event = nextWithin(stream)) {
    events.push_back(*event);
    if (event->is<Case>()) break;
  }
  return events;
}

// Polls `condition` for up to `limit`.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace tarno::testing
