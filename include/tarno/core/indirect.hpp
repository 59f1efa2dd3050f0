// A value held out of line, so that a type can contain itself (a query that negates a query).
#pragma once

#include <memory>
#include <utility>

#include "tarno/core/json_coding.hpp"

namespace tarno::core {

// Behaves as a `const T` held by value: copies share the immutable box, so a copy costs a
// reference count, and a moved-from Indirect still holds its value. Never empty. Any number of
// threads may read one; copies may be made and dropped from any thread.
template <class T>
class Indirect {
 public:
  Indirect() : box_(std::make_shared<const T>()) {}
  explicit Indirect(T value) : box_(std::make_shared<const T>(std::move(value))) {}
  // Declared so that moving copies: the box must never be left empty.
  Indirect(const Indirect&) = default;
  Indirect& operator=(const Indirect&) = default;

  const T& operator*() const { return *box_; }
  const T* operator->() const { return box_.get(); }

  friend bool operator==(const Indirect& a, const Indirect& b) {
    return a.box_ == b.box_ || *a.box_ == *b.box_;
  }

 private:
  std::shared_ptr<const T> box_;
};

// Coded as the value it holds.
template <class T>
struct JsonCoder<Indirect<T>> {
  static void encode(JsonWriter& w, const Indirect<T>& v) { encodeJSON(w, *v); }
  static void decode(const JsonValue& j, Indirect<T>& out, const CodingPath& path) {
    out = Indirect<T>(decodeJSON<T>(j, path));
  }
};

}  // namespace tarno::core
