// The numbered changes of the library.
#include "tarno/web/change_feed.hpp"

#include "tarno/core/json_coding.hpp"

namespace tarno::web {

namespace {
constexpr std::string_view scanMethod = "scan";
}

void ChangeFeed::publish(const library::LibraryChange& change) {
  {
    std::lock_guard lock(mutex_);
    ++seq_;
    if (change.method == scanMethod && !changes_.empty() && changes_.back().method == scanMethod) {
      changes_.back().seq = seq_;
    } else {
      changes_.push_back(Change{seq_, change.method, change.ids});
      if (changes_.size() > capacity_) changes_.pop_front();
    }
  }
  changed_.notify_all();
}

std::int64_t ChangeFeed::seq() const {
  std::lock_guard lock(mutex_);
  return seq_;
}

std::vector<Change> ChangeFeed::waitAfter(std::int64_t after, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return closed_ || seq_ > after; });
  std::vector<Change> out;
  if (closed_) return out;
  for (const Change& change : changes_) {
    if (change.seq > after) out.push_back(change);
  }
  return out;
}

void ChangeFeed::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool ChangeFeed::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

std::string serverSentEvent(const Change& change) {
  std::string json;
  core::JsonWriter w(json);
  w.beginObject();
  w.member("seq", change.seq);
  w.member("method", change.method);
  w.member("ids", change.ids);
  w.endObject();
  return "event: change\ndata: " + json + "\n\n";
}

}  // namespace tarno::web
