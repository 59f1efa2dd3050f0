// The changes any client made to the library, numbered, for the page's event streams. Holds the
// latest `capacity` changes; a stream that falls further behind skips the oldest. Consecutive
// scan reports (thousands during a first scan) are one change with the latest number.
//
// Thread-safe: publish() from any thread (the library's listener), waitAfter() from each
// stream's thread, close() at the end to release every waiter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tarno/library/library_view.hpp"

namespace tarno::web {

struct Change {
  std::int64_t seq = 0;
  std::string method;
  std::vector<std::string> ids;
  friend bool operator==(const Change&, const Change&) = default;
};

class ChangeFeed {
 public:
  explicit ChangeFeed(std::size_t capacity = 512) : capacity_(capacity) {}

  void publish(const library::LibraryChange& change);
  // The number of the latest change (0 before any).
  std::int64_t seq() const;
  // The changes numbered above `after`, oldest first, as soon as there is one; empty after
  // `timeout` without one, or once closed.
  std::vector<Change> waitAfter(std::int64_t after, std::chrono::milliseconds timeout);
  void close();
  bool isClosed() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Change> changes_;
  std::int64_t seq_ = 0;
  bool closed_ = false;
};

// The change as an event of a text/event-stream: "event: change\ndata: {…}\n\n".
std::string serverSentEvent(const Change& change);

}  // namespace tarno::web
