// Taking an event stream's waiting elements in bulk, the wake-ups of a consumer that sleeps,
// and the helper socket server that writes the events of one batch as one block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/support/event_stream.hpp"
#include "tarno/assistant/transport/assistant_socket_server.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

TEST(EventStreamBatch, TakesEverythingWaitingInOrderAndEndsEmpty) {
  auto [stream, continuation] = EventStream<int>::make();
  std::vector<Termination> seen;
  continuation.onTermination([&](Termination why) { seen.push_back(why); });
  for (int i = 1; i <= 5; ++i)
    continuation.yield(i);
  EXPECT_EQ(stream.nextBatch(), (std::vector<int>{1, 2, 3, 4, 5}));
  continuation.yield(6);
  EXPECT_EQ(stream.next(), 6);
  continuation.yield(7);
  continuation.yield(8);
  continuation.finish();
  EXPECT_EQ(stream.nextBatch(), (std::vector<int>{7, 8}));
  EXPECT_TRUE(stream.nextBatch().empty());
  EXPECT_EQ(seen, std::vector<Termination>{Termination::finished});

  auto [cancelled, producer] = EventStream<int>::make();
  producer.yield(1);
  cancelled.cancel();
  EXPECT_TRUE(cancelled.nextBatch().empty());
  EXPECT_TRUE(EventStream<int>().nextBatch().empty());
}

// Four producers that pause now and then, so that the consumer often goes to sleep: every
// element arrives once, each producer's in its order, and the last element is not stranded.
TEST(EventStreamBatch, SleepingConsumerGetsEveryElementOfConcurrentProducers) {
  constexpr int producers = 4;
  constexpr int perProducer = 20'000;
  auto [stream, continuation] = EventStream<std::pair<int, int>>::make();
  {
    std::vector<std::jthread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([c = continuation, p] {
        for (int i = 0; i < perProducer; ++i) {
          c.yield({p, i});
          if (i % 997 == 0) std::this_thread::sleep_for(100us);
        }
      });
    }
    continuation = {};
  }
  std::vector<int> nextOf(producers, 0);
  std::size_t total = 0;
  for (auto batch = stream.nextBatch(); !batch.empty(); batch = stream.nextBatch()) {
    for (auto [p, i] : batch)
      ASSERT_EQ(i, nextOf[p]++) << "producer " << p;
    total += batch.size();
  }
  EXPECT_EQ(total, static_cast<std::size_t>(producers * perProducer));
}

// A request and a reply stream passed back and forth: each side sleeps before every element
// it gets, so a lost wake-up stalls the exchange. Stalls fail the test instead of hanging it.
TEST(EventStreamBatch, WakesAConsumerForEachElementWhateverWayItWaits) {
  constexpr int rounds = 5000;
  auto [requests, asker] = EventStream<int>::make();
  auto [replies, answerer] = EventStream<int>::make();
  // Named references: lambdas here capture these, not the structured bindings.
  EventStream<int>& requestsIn = requests;
  EventStream<int>& repliesIn = replies;
  std::jthread echo([&requestsIn, answerer = answerer] {
    while (auto request = requestsIn.next())
      answerer.yield(*request);
    answerer.finish();
  });
  auto exchange = std::async(std::launch::async, [&repliesIn, asker = asker] {
    std::stop_source neverStopped;
    for (int i = 0; i < rounds; ++i) {
      asker.yield(i);
      std::vector<int> got;
      switch (i % 3) {
        case 0:
          got = repliesIn.nextBatch();
          break;
        case 1:
          got = repliesIn.nextBatch(neverStopped.get_token());
          break;
        default:
          if (auto one = repliesIn.next(neverStopped.get_token())) got.push_back(*one);
      }
      if (got != std::vector<int>{i}) return i;
    }
    return rounds;
  });
  const bool done = exchange.wait_for(60s) == std::future_status::ready;
  // Releases both sides if the exchange stalled; ends the echo thread either way.
  requests.cancel();
  replies.cancel();
  ASSERT_TRUE(done) << "a wake-up was lost";
  EXPECT_EQ(exchange.get(), rounds);
}

TEST(EventStreamBatch, StopEndsTheWaitButNotTheStream) {
  bool terminated = false;  // outlives the stream, whose drop at the end runs the hook
  auto [stream, continuation] = EventStream<int>::make();
  continuation.onTermination([&](Termination) { terminated = true; });

  std::stop_source early;
  early.request_stop();
  EXPECT_TRUE(stream.nextBatch(early.get_token()).empty());
  EXPECT_EQ(stream.next(early.get_token()), std::nullopt);
  continuation.yield(1);
  EXPECT_EQ(stream.nextBatch(early.get_token()), std::vector<int>{1}) << "waiting elements first";

  std::stop_source later;
  auto waiting = std::async(std::launch::async, [&consumer = stream, token = later.get_token()] {
    return consumer.nextBatch(token);
  });
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
  later.request_stop();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(waiting.get().empty());

  EXPECT_FALSE(terminated);
  EXPECT_TRUE(continuation.yield(2));
  EXPECT_EQ(stream.nextBatch(), std::vector<int>{2});
}

// Producers that write themselves: what waited is written by the installer, later yields by
// the producers, never two writes at once, each producer's elements in order; a failed write
// discards later yields and wakes the consumer.
TEST(EventStreamBatch, WriteThroughHandsElementsToTheWriterInOrderOneWriteAtATime) {
  // Declared before the stream: its end wakes the consumer once more.
  std::vector<std::vector<std::pair<int, int>>> writes;
  std::atomic<bool> writing = false, failNext = false, overlapped = false;
  std::atomic<int> wakes = 0;
  auto [stream, continuation] = EventStream<std::pair<int, int>>::make();
  continuation.yieldAll({{9, 0}, {9, 1}});
  stream.onReady([&] { ++wakes; });
  stream.writeThrough([&](std::vector<std::pair<int, int>>& batch) {
    overlapped = overlapped || writing.exchange(true);
    writes.push_back(batch);
    if (batch.size() == 1) std::this_thread::sleep_for(10us);
    writing = false;
    return !failNext.load();
  });
  ASSERT_EQ(writes.size(), 1u) << "what waited is written at once";
  EXPECT_EQ(writes[0].size(), 2u);
  {
    std::vector<std::jthread> producers;
    for (int p = 0; p < 3; ++p)
      producers.emplace_back([c = continuation, p] {
        for (int i = 0; i < 2000; ++i)
          c.yield({p, i});
      });
  }
  EXPECT_FALSE(overlapped.load());
  std::vector<int> nextOf(3, 0);
  for (std::size_t w = 1; w < writes.size(); ++w)
    for (auto [p, i] : writes[w])
      ASSERT_EQ(i, nextOf[p]++) << "producer " << p;
  EXPECT_EQ(nextOf, (std::vector<int>{2000, 2000, 2000}));
  EXPECT_TRUE(stream.takeWaiting().value().empty()) << "nothing queued";
  EXPECT_EQ(wakes.load(), 0);

  failNext = true;
  EXPECT_FALSE(continuation.yieldAll({{0, 1}, {0, 2}}));
  EXPECT_TRUE(stream.writeFailed());
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_FALSE(continuation.yield({0, 3}));
  EXPECT_EQ(writes.back().size(), 2u) << "the failed batch was one write";
  stream.writeThrough({});
  EXPECT_FALSE(stream.isTerminated());
}

// A server whose runs are answered by a stream with every event already waiting.
class SocketServerBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<AssistantSocketServer>(
        path, [this](AssistantCommand) { return EventStream<AssistantEvent>::of(waiting); },
        [](std::string) { return false; });
    server->start();
  }

  unique_fd runOnNewConnection() {
    unique_fd client = test_support::connectTo(path);
    if (client) {
      test_support::sendAll(client.get(),
                            test_support::frame(AssistantCommand::run(AssistantRunRequest{})));
    }
    return client;
  }

  fakes::TempDir dir;
  std::string path = dir.path() + "/assistant.sock";
  std::vector<AssistantEvent> waiting;
  std::unique_ptr<AssistantSocketServer> server;
};

TEST_F(SocketServerBatchTest, EventsWaitingTogetherGoOutAsTheSameFramesInOrder) {
  // Some hundred KiB of frames: more than one block of writes.
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    waiting.push_back(AssistantEvent::textDelta(std::to_string(i) + std::string(100, 'x')));
    expected += core::encodeToString(waiting.back()) + "\n";
  }
  waiting.push_back(AssistantEvent::finished("done", false));
  expected += core::encodeToString(waiting.back()) + "\n";

  unique_fd client = runOnNewConnection();
  ASSERT_TRUE(client);
  std::string received;
  char buffer[8192];
  for (ssize_t n; (n = ::read(client.get(), buffer, sizeof buffer)) > 0;)
    received.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

}  // namespace
}  // namespace tarno::assistant
