// The base of every closed enumeration with payload: exactly one of its case types, held by
// value. A derived class adds its case factories and its `jsonCases` (json_record.hpp).
#pragma once

#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarno::core {

// A plain value: copy, move, and compare with == where every case can be compared. Build one
// from a case value; inspect it with is<Case>() / as<Case>() or by visiting payload().
template <class... Cases>
class OneOf {
 public:
  using Payload = std::variant<Cases...>;

  OneOf() = default;
  template <class Case>
  requires std::is_constructible_v<Payload, Case&&> OneOf(Case&& value)
      : payload_(std::forward<Case>(value)) {}

  const Payload& payload() const { return payload_; }
  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(payload_);
  }
  // The value of this case, or null when another case is held.
  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&payload_);
  }

  friend bool operator==(const OneOf& a,
                         const OneOf& b) requires(std::equality_comparable<Cases>&&...) {
    return a.payload_ == b.payload_;
  }

 private:
  Payload payload_;
};

}  // namespace tarno::core
