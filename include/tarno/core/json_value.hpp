// A parsed JSON document as a plain value tree, and the strict parser that makes one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarno::core {

// One JSON value. Integers keep their exact 64-bit value (signed, or unsigned above INT64_MAX);
// other numbers are doubles, and a number that fits none of these is kept as its text (a big
// number), so writing it back loses no digit. Object members keep their document order; duplicate
// names are kept and lookups see the first. A JsonValue is an ordinary value: copy, move, compare.
class JsonValue {
 public:
  enum class Type {
    null,
    boolean,
    integer,
    unsignedInteger,
    number,
    bigNumber,
    string,
    array,
    object
  };
  // A number beyond int64 and uint64 range, or beyond a double's, kept as written in the
  // document ("1e400", or an integer of twenty-one digits) so that it is written back exactly.
  struct BigNumber {
    std::string text;
    friend bool operator==(const BigNumber&, const BigNumber&) = default;
  };
  // Any other number. One read from a document keeps a copy of that document (shared by all
  // its numbers) and its place among the document's numbers, so that diagnostics can quote it as
  // written ("1.0", "1e-400"); the text is looked up only then. Only the value takes part in
  // comparisons.
  struct Real {
    double value = 0;
    std::uint32_t ordinal = 0;
    std::shared_ptr<const std::string> document;
    friend bool operator==(const Real& a, const Real& b) { return a.value == b.value; }
  };
  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  using Object = std::vector<Member>;

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : v_(b) {}
  JsonValue(int i) : v_(std::int64_t{i}) {}
  JsonValue(std::int64_t i) : v_(i) {}
  JsonValue(std::uint64_t u);
  JsonValue(double d) : v_(Real{.value = d}) {}
  // The `ordinal`-th number (counting from 0, in document order) of the JSON text `document`.
  JsonValue(double d, std::shared_ptr<const std::string> document, std::uint32_t ordinal)
      : v_(Real{d, ordinal, std::move(document)}) {}
  JsonValue(BigNumber n) : v_(std::move(n)) {}
  JsonValue(const char* s) : v_(std::string(s)) {}
  JsonValue(std::string s) : v_(std::move(s)) {}
  JsonValue(std::string_view s) : v_(std::string(s)) {}
  JsonValue(Array a) : v_(std::move(a)) {}
  JsonValue(Object o) : v_(std::move(o)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::null; }
  bool isObject() const { return type() == Type::object; }
  bool isArray() const { return type() == Type::array; }
  bool isString() const { return type() == Type::string; }
  bool isNumber() const { return type() >= Type::integer && type() <= Type::bigNumber; }

  // Typed access: a null pointer when the value is of another type.
  const bool* asBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* asInt64() const { return std::get_if<std::int64_t>(&v_); }
  const std::uint64_t* asUInt64() const { return std::get_if<std::uint64_t>(&v_); }
  const double* asDouble() const {
    const Real* r = std::get_if<Real>(&v_);
    return r != nullptr ? &r->value : nullptr;
  }
  const BigNumber* asBigNumber() const { return std::get_if<BigNumber>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const Array* asArray() const { return std::get_if<Array>(&v_); }
  const Object* asObject() const { return std::get_if<Object>(&v_); }
  Array* asArray() { return std::get_if<Array>(&v_); }
  Object* asObject() { return std::get_if<Object>(&v_); }

  // A number as it was written in the document it was read from: the text of a big number or of
  // such a double; empty for any other value.
  std::string_view writtenNumber() const;

  // Any number as a double (integers converted, a big number rounded when a double holds
  // it); false when not a number or beyond a double's range.
  bool toDouble(double& out) const;

  // First member of an object with this name; null when absent or not an object.
  const JsonValue* find(std::string_view key) const;

  // The type's name as diagnostics print it ("a string", "an object", …).
  std::string_view typeDescription() const;

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, Real, BigNumber, std::string,
               Array, Object>
      v_;
};

// Parses one complete JSON text (RFC 8259, valid UTF-8, nesting at most 1024 deep; surrounding
// whitespace allowed). Throws DecodingError (dataCorrupted) on anything else.
JsonValue parseJson(std::string_view text);

// The same without the error: absent when the text is not such a JSON text. For callers that
// drop what they cannot read, where a thrown error would only cost time.
std::optional<JsonValue> parseJsonIfValid(std::string_view text);

}  // namespace tarno::core
