// Named, tracked threads that are always joined.
#include "tarno/protocol/thread_owner.hpp"

#include <pthread.h>

#include <utility>

namespace tarno::protocol {

// Names show in debuggers, ps and /proc; Linux keeps 15 bytes of them.
void ThreadOwner::began(const std::string& role) {
#if defined(__APPLE__)
  ::pthread_setname_np(role.c_str());
#elif defined(__linux__)
  ::pthread_setname_np(::pthread_self(), role.substr(0, 15).c_str());
#else
  (void)role;
#endif
}

ThreadOwner::~ThreadOwner() {
  stopAll();
}

void ThreadOwner::ended(std::uint64_t id) {
  std::jthread previous;
  {
    std::lock_guard lock(mutex_);
    auto node = live_.extract(id);
    previous = std::move(lastEnded_);
    if (node) {
      lastEnded_ = std::move(node.mapped());
      lastEndedID_ = id;
    }
    // Under the lock: once it is released, stopAll() may finish and the owner go.
    changed_.notify_all();
  }
  // That thread has done all it had to do but return; joining it here keeps the ended threads
  // from piling up without anyone having to look.
  if (previous.joinable()) previous.join();
}

void ThreadOwner::waitUntilEnded(const Handle& handle) {
  std::jthread joining;
  {
    std::unique_lock lock(mutex_);
    const auto found = live_.find(handle.id);
    if (found != live_.end()) {
      if (found->second.get_id() == std::this_thread::get_id()) return;
      changed_.wait(lock, [&] { return !live_.contains(handle.id); });
    }
    // Not left for the next thread to join: the caller wants it gone.
    if (lastEndedID_ == handle.id && lastEnded_.joinable() &&
        lastEnded_.get_id() != std::this_thread::get_id())
      joining = std::move(lastEnded_);
  }
  if (joining.joinable()) joining.join();
}

void ThreadOwner::stopAll() {
  std::jthread last;
  {
    std::unique_lock lock(mutex_);
    ++stopping_;
    for (auto& [id, thread] : live_)
      thread.request_stop();
    changed_.wait(lock, [&] { return live_.empty(); });
    --stopping_;
    last = std::move(lastEnded_);
  }
  // The last thread to end joined every one before it.
  if (last.joinable()) last.join();
}

std::size_t ThreadOwner::running() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

}  // namespace tarno::protocol
