// The thread owner: threads named after their role, joined once they end however many come and
// go, and stopped and joined with their owner.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "engine_test_support.hpp"
#include "tarno/assistant/support/thread_owner.hpp"

namespace tarno::assistant {
namespace {

TEST(SupportThreadOwner, NamesReapsStopsAndJoinsItsThreads) {
  const test_support::ResourceCount resources;
  std::atomic<int> stopped{0};
  {
    ThreadOwner owner;
    std::string name;
    owner.waitUntilEnded(owner.start("a-role-longer-than-fifteen", [&](std::stop_token) {
      char buffer[32] = {};
      ::pthread_getname_np(::pthread_self(), buffer, sizeof buffer);
      name = buffer;
    }));
    EXPECT_EQ(name, "a-role-longer-t");

    // Finished threads do not pile up: each one ending joins the one before.
    for (int i = 0; i < 200; ++i)
      owner.waitUntilEnded(owner.start("short", [](std::stop_token) {}));
    EXPECT_EQ(owner.running(), 0u);
    EXPECT_LE(test_support::ResourceCount::threads(), resources.threadsBefore + 1);

    // Threads still blocked when the owner goes are asked to stop, then joined.
    for (int i = 0; i < 3; ++i) {
      owner.start("blocked", [&](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        wake.wait(lock, stop, [] { return false; });
        stopped.fetch_add(1);
      });
    }
    EXPECT_EQ(owner.running(), 3u);
  }
  EXPECT_EQ(stopped.load(), 3);
  EXPECT_EQ(test_support::ResourceCount::threads(), resources.threadsBefore);
}

}  // namespace
}  // namespace tarno::assistant
