// EventStream: ordering, draining after finish, discarding after termination, and the
// exactly-once termination hook under races.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

using test_support::drain;

TEST(SupportEventStream, DrainsAfterFinishAndDiscardsYieldsAfterTermination) {
  auto [stream, continuation] = EventStream<std::string>::make();
  EXPECT_TRUE(continuation.yield("a"));
  EXPECT_TRUE(continuation.yield("b"));
  continuation.finish();
  EXPECT_FALSE(continuation.yield("late"));
  EXPECT_TRUE(continuation.isTerminated());
  EXPECT_EQ(drain(stream), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(stream.next(), std::nullopt);

  // A hook set after termination runs at once, with the reason of the first termination.
  stream.cancel();
  std::optional<Termination> seen;
  continuation.onTermination([&](Termination why) { seen = why; });
  EXPECT_EQ(seen, Termination::finished);
}

TEST(SupportEventStream, CancelDropsTheBufferAndRunsTheHookOnceWithoutTheLock) {
  auto [stream, continuation] = EventStream<int>::make();
  std::vector<Termination> seen;
  bool yieldedInHook = true;
  continuation.onTermination([&, c = continuation](Termination why) {
    seen.push_back(why);
    // This takes the stream's lock: it would deadlock if the hook ran with it held.
    yieldedInHook = c.yield(99);
  });
  continuation.yield(1);
  stream.cancel();
  EXPECT_FALSE(continuation.yield(2));
  continuation.finish();
  EXPECT_EQ(stream.next(), std::nullopt);
  EXPECT_EQ(seen, std::vector<Termination>{Termination::cancelled});
  EXPECT_FALSE(yieldedInHook);
}

TEST(SupportEventStream, DroppingTheConsumerCancelsAndReleasesTheHook) {
  auto [stream, continuation] = EventStream<int>::make();
  std::vector<Termination> seen;
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  // A hook holding the producer must not keep the stream (or what it captured) alive.
  continuation.onTermination(
      [&, c = continuation, keep = std::move(captured)](Termination why) { seen.push_back(why); });
  { auto gone = std::move(stream); }
  EXPECT_EQ(seen, std::vector<Termination>{Termination::cancelled});
  EXPECT_FALSE(continuation.yield(1));
  EXPECT_TRUE(watch.expired());
}

TEST(SupportEventStream, HookRunsExactlyOnceWhenFinishRacesCancelOrDrop) {
  for (int round = 0; round < 400; ++round) {
    const bool drop = round % 2 == 1;
    std::atomic<int> calls{0};
    {
      auto made = EventStream<int>::make();
      auto consumer = std::make_unique<EventStream<int>>(std::move(made.first));
      made.second.onTermination([&](Termination) { calls.fetch_add(1); });
      std::latch start(2);
      std::jthread finisher([&start, c = std::move(made.second)] {
        start.arrive_and_wait();
        c.yield(1);
        c.finish();
      });
      std::jthread consumerSide([&] {
        start.arrive_and_wait();
        if (drop) {
          consumer.reset();
        } else {
          consumer->cancel();
        }
      });
    }
    ASSERT_EQ(calls.load(), 1) << "round " << round;
  }
}

TEST(SupportEventStream, LimitedStreamBlocksItsProducerUntilTheConsumerComesBackOrCancels) {
  auto [stream, continuation] = EventStream<int>::make();
  stream.limit(10, [](int) { return std::size_t{1}; });
  std::atomic<int> yielded = 0;
  std::jthread producer([&, out = continuation] {
    for (int i = 0; i < 1000 && out.yield(i); ++i)
      ++yielded;
  });
  // Taken but not come back for: still held, so the producer stops at the limit.
  std::vector<int> taken = stream.nextBatch();
  while (yielded.load() < 10)
    std::this_thread::yield();
  auto more = stream.takeWaiting();
  ASSERT_TRUE(more.has_value());
  taken.insert(taken.end(), more->begin(), more->end());
  for (int i = 0; i < static_cast<int>(taken.size()); ++i)
    ASSERT_EQ(taken[i], i);
  stream.cancel();  // unblocks the producer's yield at once
  producer.join();
  EXPECT_LT(yielded.load(), 21);
}

}  // namespace
}  // namespace tarno::assistant
