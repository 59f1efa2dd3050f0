// The numbered changes behind the page's event streams: order, bounds, scans made one, waiting.
#include "tarno/web/change_feed.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace tarno::web {
namespace {

using namespace std::chrono_literals;

std::vector<std::int64_t> seqs(const std::vector<Change>& changes) {
  std::vector<std::int64_t> out;
  for (const Change& c : changes)
    out.push_back(c.seq);
  return out;
}

TEST(ChangeFeed, NumbersChangesAndMakesConsecutiveScansOne) {
  ChangeFeed feed;
  EXPECT_EQ(feed.seq(), 0);
  feed.publish({"photo.rate", {"A"}});
  feed.publish({"scan", {}});
  feed.publish({"scan", {}});
  feed.publish({"scan", {}});
  feed.publish({"library.select", {}});
  feed.publish({"scan", {}});
  EXPECT_EQ(feed.seq(), 6);
  const std::vector<Change> all = feed.waitAfter(0, 0ms);
  EXPECT_EQ(
      all,
      (std::vector<Change>{
          {1, "photo.rate", {"A"}}, {4, "scan", {}}, {5, "library.select", {}}, {6, "scan", {}}}));
  // A stream that saw the scan under its first number still learns of the later ones.
  EXPECT_EQ(seqs(feed.waitAfter(2, 0ms)), (std::vector<std::int64_t>{4, 5, 6}));
  EXPECT_TRUE(feed.waitAfter(6, 10ms).empty());
}

TEST(ChangeFeed, KeepsOnlyTheLatestChanges) {
  ChangeFeed feed(3);
  for (int i = 0; i < 10; ++i)
    feed.publish({"photo.rate", {std::to_string(i)}});
  EXPECT_EQ(seqs(feed.waitAfter(0, 0ms)), (std::vector<std::int64_t>{8, 9, 10}));
}

TEST(ChangeFeed, CloseReleasesAWaiterAtOnce) {
  ChangeFeed feed;
  std::vector<Change> got{{1, "x", {}}};
  std::jthread waiter([&] { got = feed.waitAfter(0, 10s); });
  std::this_thread::sleep_for(50ms);
  const auto closed = std::chrono::steady_clock::now();
  feed.close();
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s);
  EXPECT_TRUE(got.empty());
  // Changes published at the end reach nobody any more.
  feed.publish({"photo.rate", {"A"}});
  EXPECT_TRUE(feed.waitAfter(0, 0ms).empty());
}

TEST(ChangeFeed, EventTextIsOneServerSentEvent) {
  EXPECT_EQ(serverSentEvent({7, "photo.rate", {"A", "B"}}),
            "event: change\ndata: {\"seq\":7,\"method\":\"photo.rate\",\"ids\":[\"A\",\"B\"]}\n\n");
  EXPECT_EQ(serverSentEvent({8, "scan", {}}),
            "event: change\ndata: {\"seq\":8,\"method\":\"scan\",\"ids\":[]}\n\n");
}

}  // namespace
}  // namespace tarno::web
