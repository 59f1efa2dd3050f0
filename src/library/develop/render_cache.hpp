// The renderings of edited photos most recently asked for, so that a preview asked again for
// the same photo, stack version and size is not developed again. Bounded in entries and bytes;
// the least recently used goes first. Safe to use from any thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tarno/library/image_reader.hpp"

namespace tarno::library::develop {

struct RenderKey {
  std::string photo;
  std::int64_t stackVersion = 0;
  std::int64_t longEdge = 0;
  // The file's size and change time: a file rewritten on disk is not served from before.
  std::int64_t fileSize = 0;
  std::int64_t fileChanged = 0;
  friend auto operator<=>(const RenderKey&, const RenderKey&) = default;
};

class RenderCache {
 public:
  explicit RenderCache(std::size_t maxEntries = 48, std::size_t maxBytes = 64u << 20)
      : maxEntries_(maxEntries), maxBytes_(maxBytes) {}

  std::optional<Rendering> find(const RenderKey& key);
  // A rendering larger than the whole budget is not kept.
  void insert(const RenderKey& key, Rendering rendering);
  std::size_t size() const;

 private:
  using Order = std::list<RenderKey>;
  struct Entry {
    Rendering rendering;
    Order::iterator position;
  };
  void evict();

  const std::size_t maxEntries_;
  const std::size_t maxBytes_;
  mutable std::mutex mutex_;
  std::map<RenderKey, Entry> entries_;
  Order order_;  // most recent first
  std::size_t bytes_ = 0;
};

}  // namespace tarno::library::develop
