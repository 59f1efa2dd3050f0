#include "library/develop/render_cache.hpp"

namespace tarno::library::develop {

std::optional<Rendering> RenderCache::find(const RenderKey& key) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  order_.splice(order_.begin(), order_, it->second.position);
  return it->second.rendering;
}

void RenderCache::insert(const RenderKey& key, Rendering rendering) {
  if (rendering.bytes.size() > maxBytes_ || maxEntries_ == 0) return;
  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(key); it != entries_.end()) {
    bytes_ -= it->second.rendering.bytes.size();
    order_.erase(it->second.position);
    entries_.erase(it);
  }
  bytes_ += rendering.bytes.size();
  order_.push_front(key);
  entries_.emplace(key, Entry{std::move(rendering), order_.begin()});
  evict();
}

std::size_t RenderCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void RenderCache::evict() {
  while (entries_.size() > maxEntries_ || bytes_ > maxBytes_) {
    const auto it = entries_.find(order_.back());
    bytes_ -= it->second.rendering.bytes.size();
    entries_.erase(it);
    order_.pop_back();
  }
}

}  // namespace tarno::library::develop
