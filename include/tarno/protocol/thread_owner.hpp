// The one owner of every thread that a server or an engine starts: named after its role, tracked
// while it runs, joined as soon as it has finished, and asked to stop and joined when the owner
// goes.
//
//   ThreadOwner threads;                                  // a member, declared last
//   auto handle = threads.start("conn", [fd](std::stop_token stop) {
//     std::stop_callback wake(stop, [fd] { ::shutdown(fd, SHUT_RDWR); });
//     serve(fd);
//   });
//
// A body ends on its own or when its stop token is requested; one that blocks must register a
// stop callback that releases it (a shutdown, a terminate). No thread is ever detached.
//
// Every member may be called from any thread, except that stopAll() and the destructor must
// not run on a thread of this owner (they wait for all of them). A finished thread is joined by
// the next thread of the same owner to finish, or by stopAll(): at most one ended thread waits
// to be joined at any time, however long the owner lives.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

namespace tarno::protocol {

class ThreadOwner {
 public:
  // One started thread: its stop source, and what waitUntilEnded() needs to find it.
  struct Handle {
    std::uint64_t id = 0;
    std::stop_source stop{std::nostopstate};
  };

  ThreadOwner() = default;
  ThreadOwner(const ThreadOwner&) = delete;
  ThreadOwner& operator=(const ThreadOwner&) = delete;
  // stopAll().
  ~ThreadOwner();

  // Runs `body(std::stop_token)` on a new thread named `role` (at most 15 bytes are kept).
  // An exception that leaves `body` ends the thread quietly; `body` and what it holds are
  // destroyed on that thread before it counts as ended. While stopAll() runs, the new thread is
  // asked to stop at once. Throws std::system_error when no thread can be made (`body` is then
  // destroyed).
  template <typename Body>
  Handle start(std::string role, Body body) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextID_++;
    std::jthread& slot = live_[id];
    try {
      // The thread cannot end before its slot holds it: ended() takes mutex_.
      slot = std::jthread(
          [this, id, role = std::move(role), body = std::move(body)](std::stop_token stop) mutable {
            began(role);
            try {
              body(std::move(stop));
            } catch (...) {
              // Whatever failed is the body's to report; the thread just ends.
            }
            { [[maybe_unused]] Body done(std::move(body)); }
            ended(id);
          });
    } catch (...) {
      live_.erase(id);
      throw;
    }
    if (stopping_ > 0) slot.request_stop();
    return Handle{id, slot.get_stop_source()};
  }

  // Blocks until the body of `handle`'s thread has returned, and joins the thread unless
  // another has already; returns at once when called on that very thread.
  void waitUntilEnded(const Handle& handle);

  // Asks every running thread to stop and waits until all have ended and been joined. The
  // owner can start threads again afterwards.
  void stopAll();

  // Threads whose body has not returned yet.
  std::size_t running() const;

 private:
  static void began(const std::string& role);
  void ended(std::uint64_t id);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<std::uint64_t, std::jthread> live_;
  std::jthread lastEnded_;  // finished, not joined yet
  std::uint64_t lastEndedID_ = 0;
  std::uint64_t nextID_ = 1;
  int stopping_ = 0;  // stopAll() calls under way
};

}  // namespace tarno::protocol
