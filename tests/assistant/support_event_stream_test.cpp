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

#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

template <typename T>
std::vector<T> drain(EventStream<T>& stream) {
  std::vector<T> out;
  while (auto element = stream.next())
    out.push_back(std::move(*element));
  return out;
}

TEST(SupportEventStream, DeliversInYieldOrderAcrossThreads) {
  auto [stream, continuation] = EventStream<int>::make();
  std::jthread producer([c = continuation] {
    for (int i = 0; i < 20000; ++i)
      c.yield(i);
    c.finish();
  });
  std::vector<int> got = drain(stream);
  ASSERT_EQ(got.size(), 20000u);
  for (int i = 0; i < 20000; ++i)
    ASSERT_EQ(got[i], i);
}

TEST(SupportEventStream, KeepsEachProducersOrderWithManyProducers) {
  constexpr int producers = 4;
  constexpr int perProducer = 5000;
  std::vector<std::pair<int, int>> got;
  {
    auto [stream, continuation] = EventStream<std::pair<int, int>>::make();
    {
      std::vector<std::jthread> threads;
      for (int p = 0; p < producers; ++p) {
        threads.emplace_back([c = continuation, p] {
          for (int i = 0; i < perProducer; ++i)
            c.yield({p, i});
        });
      }
      // The last copy of the continuation goes with the threads: that finishes the stream.
      continuation = {};
    }
    got = drain(stream);
  }
  ASSERT_EQ(got.size(), static_cast<size_t>(producers * perProducer));
  std::vector<int> nextOf(producers, 0);
  for (auto [p, i] : got)
    ASSERT_EQ(i, nextOf[p]++) << "producer " << p;
}

TEST(SupportEventStream, DrainsBufferedElementsAfterFinishThenStaysEnded) {
  auto [stream, continuation] = EventStream<std::string>::make();
  EXPECT_TRUE(continuation.yield("a"));
  EXPECT_TRUE(continuation.yield("b"));
  continuation.finish();
  EXPECT_FALSE(continuation.yield("late"));
  EXPECT_TRUE(continuation.isTerminated());
  EXPECT_EQ(drain(stream), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(stream.next(), std::nullopt);
}

TEST(SupportEventStream, CancelDropsBufferAndDiscardsLaterYields) {
  auto [stream, continuation] = EventStream<int>::make();
  std::vector<Termination> seen;
  continuation.onTermination([&](Termination why) { seen.push_back(why); });
  continuation.yield(1);
  stream.cancel();
  EXPECT_FALSE(continuation.yield(2));
  continuation.finish();
  EXPECT_EQ(stream.next(), std::nullopt);
  EXPECT_EQ(seen, std::vector<Termination>{Termination::cancelled});
}

TEST(SupportEventStream, OfDeliversTheGivenElementsThenEnds) {
  auto stream = EventStream<int>::of({3, 1, 2});
  EXPECT_EQ(drain(stream), (std::vector<int>{3, 1, 2}));
}

TEST(SupportEventStream, CarriesMoveOnlyElements) {
  std::vector<std::unique_ptr<int>> elements;
  elements.push_back(std::make_unique<int>(4));
  auto stream = EventStream<std::unique_ptr<int>>::of(std::move(elements));
  auto first = stream.next();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(**first, 4);
  EXPECT_EQ(stream.next(), std::nullopt);
}

TEST(SupportEventStream, DroppingTheLastProducerFinishes) {
  auto [stream, continuation] = EventStream<int>::make();
  std::vector<Termination> seen;
  continuation.onTermination([&](Termination why) { seen.push_back(why); });
  {
    auto copy = continuation;
    continuation = {};
    copy.yield(7);
    EXPECT_TRUE(seen.empty()) << "a copy is still alive";
  }
  EXPECT_EQ(seen, std::vector<Termination>{Termination::finished});
  EXPECT_EQ(drain(stream), std::vector<int>{7});
}

TEST(SupportEventStream, DroppingTheConsumerCancels) {
  auto [stream, continuation] = EventStream<int>::make();
  std::vector<Termination> seen;
  continuation.onTermination([&](Termination why) { seen.push_back(why); });
  { auto gone = std::move(stream); }
  EXPECT_EQ(seen, std::vector<Termination>{Termination::cancelled});
  EXPECT_FALSE(continuation.yield(1));
  EXPECT_TRUE(continuation.isTerminated());
}

TEST(SupportEventStream, HookSetAfterTerminationRunsAtOnceWithTheReason) {
  auto [stream, continuation] = EventStream<int>::make();
  continuation.finish();
  stream.cancel();  // too late to change the reason
  std::optional<Termination> seen;
  continuation.onTermination([&](Termination why) { seen = why; });
  EXPECT_EQ(seen, Termination::finished);
}

TEST(SupportEventStream, ReplacedHookNeverRuns) {
  auto [stream, continuation] = EventStream<int>::make();
  int first = 0;
  int second = 0;
  continuation.onTermination([&](Termination) { ++first; });
  continuation.onTermination([&](Termination) { ++second; });
  continuation.finish();
  stream.cancel();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
}

TEST(SupportEventStream, HookRunsWithoutTheLockAndMayUseTheStream) {
  auto made = EventStream<int>::make();
  auto& stream = made.first;
  auto& continuation = made.second;
  bool yieldedInHook = true;
  bool terminatedInHook = false;
  continuation.onTermination([&, c = continuation](Termination) {
    // Each of these takes the stream's lock: they would deadlock if it were held here.
    yieldedInHook = c.yield(99);
    terminatedInHook = c.isTerminated();
    c.finish();
  });
  continuation.finish();
  EXPECT_FALSE(yieldedInHook);
  EXPECT_TRUE(terminatedInHook);
  EXPECT_EQ(stream.next(), std::nullopt);
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

TEST(SupportEventStream, CancelFromAnotherThreadReleasesABlockedNext) {
  auto made = EventStream<int>::make();
  auto& stream = made.first;
  auto& continuation = made.second;
  std::jthread canceller([&] {
    std::this_thread::sleep_for(20ms);
    stream.cancel();
  });
  EXPECT_EQ(stream.next(), std::nullopt);
  EXPECT_FALSE(continuation.yield(1));
}

TEST(SupportEventStream, StopTokenReleasesNextWithoutEndingTheStream) {
  auto [stream, continuation] = EventStream<int>::make();
  std::stop_source stop;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(20ms);
    stop.request_stop();
  });
  EXPECT_EQ(stream.next(stop.get_token()), std::nullopt);
  EXPECT_TRUE(continuation.yield(5));
  EXPECT_EQ(stream.next(), 5);
}

TEST(SupportEventStream, HookCapturingTheProducerDoesNotKeepTheStreamAlive) {
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  {
    auto [stream, continuation] = EventStream<int>::make();
    continuation.onTermination([c = continuation, keep = std::move(alive)](Termination) {});
  }
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace tarno::assistant
