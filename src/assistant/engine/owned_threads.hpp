// Threads that belong to the process rather than to whoever started them: work that must go on
// after its consumer has gone (a sign-in, a status check), yet is never left running unowned.
#pragma once

#include <atomic>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

namespace tarno::assistant::detail {

// start() may be called from any thread. Threads that have finished are joined by the next
// start(); the destructor asks the rest to stop (their stop token) and joins them.
class OwnedThreads {
 public:
  OwnedThreads() = default;
  OwnedThreads(const OwnedThreads&) = delete;
  OwnedThreads& operator=(const OwnedThreads&) = delete;

  ~OwnedThreads() {
    std::list<Entry> running;
    {
      std::lock_guard guard(mutex_);
      running.swap(entries_);
    }
    for (Entry& entry : running)
      entry.thread.request_stop();
    // Destroying the list joins every thread.
  }

  // Runs `body` on a new thread. Throws std::system_error when no thread can be made.
  void start(std::function<void(std::stop_token)> body) {
    std::list<Entry> finished;  // joined once the lock is released
    std::lock_guard guard(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      const auto next = std::next(it);
      if (it->done->load()) finished.splice(finished.end(), entries_, it);
      it = next;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::jthread thread([body = std::move(body), done](std::stop_token stop) {
      body(std::move(stop));
      done->store(true);
    });
    entries_.push_back(Entry{std::move(thread), std::move(done)});
  }

 private:
  struct Entry {
    std::jthread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;
};

}  // namespace tarno::assistant::detail
