// Typed JSON coding: the one place where the wire rules for primitives, optionals, arrays, dates,
// bytes, UUIDs, geometry and enumerations are written.
//
// Records and enumerations declare their members or cases once (json_record.hpp). A type whose
// rules really differ writes two free functions in its own namespace instead, found by
// argument-dependent lookup:
//   void toJSON(JsonWriter&, const T&);
//   void fromJSON(const JsonValue&, T&, const CodingPath&);   // throws DecodingError
// Decoders throw only DecodingError; the boundary that reads outside input catches it.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "tarno/core/json_value.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::core {

// Where a decoder is inside a document: "values.exposure.payload", "ids[2]". Nodes live on the
// stack of the decoding calls and point at their parent, so building a path costs nothing until
// an error prints it.
class CodingPath {
 public:
  CodingPath() = default;
  CodingPath key(std::string_view name) const { return CodingPath(this, name, 0, Kind::key); }
  CodingPath index(std::size_t i) const { return CodingPath(this, {}, i, Kind::index); }
  std::string toString() const;
  // Keys and indices from the root: how deep a recursive decoder is, so that it can stop.
  std::size_t depth() const { return depth_; }

 private:
  enum class Kind { root, key, index };
  CodingPath(const CodingPath* parent, std::string_view name, std::size_t i, Kind kind)
      : parent_(parent), name_(name), index_(i), kind_(kind), depth_(parent->depth_ + 1) {}

  const CodingPath* parent_ = nullptr;
  std::string_view name_;
  std::size_t index_ = 0;
  Kind kind_ = Kind::root;
  std::size_t depth_ = 0;
};

class DecodingError : public std::runtime_error {
 public:
  enum class Kind { typeMismatch, keyNotFound, valueNotFound, dataCorrupted };

  DecodingError(Kind kind, std::string description, std::string path);

  Kind kind() const { return kind_; }
  const std::string& description() const { return description_; }
  const std::string& path() const { return path_; }

 private:
  Kind kind_;
  std::string description_;
  std::string path_;
};

// Calendar time in whole seconds, as on the wire. Counting seconds rather than the clock's own
// ticks keeps every year from 0000 to 9999 representable whatever the standard library; a time
// read from the clock is floored to seconds (`floor<seconds>(system_clock::now())`).
using Date = std::chrono::sys_seconds;

// The clock's current time as a Date.
inline Date currentDate() {
  return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

// Raw bytes, coded as standard base64 text.
struct Bytes {
  std::string data;
  friend bool operator==(const Bytes&, const Bytes&) = default;
};

[[noreturn]] void throwTypeMismatch(std::string_view expected, const JsonValue& found,
                                    const CodingPath& path);
[[noreturn]] void throwDataCorrupted(std::string description, const CodingPath& path);
// An array with fewer elements than the value needs; `path` is the first missing index.
[[noreturn]] void throwUnkeyedAtEnd(const CodingPath& path);

// The description every single-member enumeration uses when it cannot pick its case.
inline constexpr std::string_view invalidNumberOfKeysDescription =
    "Invalid number of keys found, expected one.";

// Coding of one type. The primary template defers to the record's own toJSON/fromJSON; the
// specialisations below hold the rules for the built-in types.
template <class T, class Enable = void>
struct JsonCoder {
  static void encode(JsonWriter& w, const T& v) { toJSON(w, v); }
  static void decode(const JsonValue& j, T& out, const CodingPath& path) { fromJSON(j, out, path); }
};

template <class T>
void encodeJSON(JsonWriter& w, const T& v) {
  JsonCoder<T>::encode(w, v);
}
template <class T>
void decodeJSON(const JsonValue& j, T& out, const CodingPath& path) {
  JsonCoder<T>::decode(j, out, path);
}
template <class T>
T decodeJSON(const JsonValue& j, const CodingPath& path = {}) {
  T out{};
  JsonCoder<T>::decode(j, out, path);
  return out;
}

// Compact JSON text of a value (throws EncodingError for non-finite numbers).
template <class T>
std::string encodeToString(const T& v) {
  std::string out;
  JsonWriter w(out);
  encodeJSON(w, v);
  return out;
}
// Parses and decodes one JSON text; throws DecodingError.
template <class T>
T decodeFromString(std::string_view text) {
  return decodeJSON<T>(parseJson(text));
}

template <class T>
void JsonWriter::member(std::string_view name, const T& v) {
  key(name);
  encodeJSON(*this, v);
}

// Reads the members of one JSON object. Construction fails unless the value is an object.
class ObjectReader {
 public:
  ObjectReader(const JsonValue& v, const CodingPath& path);

  const JsonValue* find(std::string_view key) const { return value_.find(key); }
  const CodingPath& path() const { return path_; }
  const JsonValue::Object& members() const { return *value_.asObject(); }

  // Required member: keyNotFound when missing, valueNotFound when null.
  template <class T>
  void required(std::string_view key, T& out) const {
    decodeJSON(requiredValue(key), out, path_.key(key));
  }
  template <class T>
  T required(std::string_view key) const {
    T out{};
    required(key, out);
    return out;
  }
  // Optional member: missing or null give absent.
  template <class T>
  void optional(std::string_view key, std::optional<T>& out) const {
    const JsonValue* v = find(key);
    if (v == nullptr || v->isNull()) {
      out.reset();
      return;
    }
    T inner{};
    decodeJSON(*v, inner, path_.key(key));
    out = std::move(inner);
  }
  // Member with a default: missing or null give `fallback`.
  template <class T>
  void withDefault(std::string_view key, T& out, T fallback) const {
    const JsonValue* v = find(key);
    if (v == nullptr || v->isNull()) {
      out = std::move(fallback);
      return;
    }
    decodeJSON(*v, out, path_.key(key));
  }

 private:
  const JsonValue& requiredValue(std::string_view key) const;

  const JsonValue& value_;
  const CodingPath& path_;
};

// The object form of an enumeration with payload: exactly one of `caseNames` must be a member
// of `v` (other members are ignored). Returns the index of that case and its value; fails with a
// type mismatch described by invalidNumberOfKeysDescription otherwise.
struct CaseMember {
  std::size_t index;
  std::string_view name;
  const JsonValue& value;
};
CaseMember singleCase(const JsonValue& v, std::span<const std::string_view> caseNames,
                      const CodingPath& path);

// A raw value that names no case: "Cannot initialize ClaudeModel from invalid String value x".
[[noreturn]] void throwInvalidRawValue(std::string_view typeName, std::string_view rawType,
                                       std::string_view value, const CodingPath& path);

// ---- dates, bytes ----------------------------------------------------------------------------

// Dates from 0000-01-01T00:00:00Z to 9999-12-31T23:59:59Z have a text form: "2024-05-01T12:00:00Z".
// Formatting one outside that range throws EncodingError; parsing takes Z or ±hh:mm (no
// fractions) and refuses a text whose time in UTC falls outside the range.
std::string formatISO8601(Date d);
std::optional<Date> parseISO8601(std::string_view);
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

// ---- built-in coders --------------------------------------------------------------------------

template <>
struct JsonCoder<bool> {
  static void encode(JsonWriter& w, bool v) { w.boolean(v); }
  static void decode(const JsonValue& j, bool& out, const CodingPath& path);
};

namespace detail {
std::int64_t decodeInt64(const JsonValue& j, const CodingPath& path, std::string_view typeName);
std::uint64_t decodeUInt64(const JsonValue& j, const CodingPath& path, std::string_view typeName);
std::string_view integerTypeName(bool isSigned, std::size_t size);
}  // namespace detail

// Every integer type; values outside the type's range fail.
template <class T>
struct JsonCoder<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static void encode(JsonWriter& w, T v) {
    if constexpr (std::is_signed_v<T>) {
      w.integer(v);
    } else {
      w.unsignedInteger(v);
    }
  }
  static void decode(const JsonValue& j, T& out, const CodingPath& path) {
    std::string_view name = detail::integerTypeName(std::is_signed_v<T>, sizeof(T));
    if constexpr (std::is_signed_v<T>) {
      std::int64_t v = detail::decodeInt64(j, path, name);
      if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
        throwDataCorrupted("Parsed JSON number <" + std::to_string(v) + "> does not fit in " +
                               std::string(name) + ".",
                           path);
      }
      out = static_cast<T>(v);
    } else {
      std::uint64_t v = detail::decodeUInt64(j, path, name);
      if (v > std::numeric_limits<T>::max()) {
        throwDataCorrupted("Parsed JSON number <" + std::to_string(v) + "> does not fit in " +
                               std::string(name) + ".",
                           path);
      }
      out = static_cast<T>(v);
    }
  }
};

template <>
struct JsonCoder<double> {
  static void encode(JsonWriter& w, double v) { w.number(v); }
  static void decode(const JsonValue& j, double& out, const CodingPath& path);
};

template <>
struct JsonCoder<float> {
  static void encode(JsonWriter& w, float v) { w.number(static_cast<double>(v)); }
  static void decode(const JsonValue& j, float& out, const CodingPath& path);
};

template <>
struct JsonCoder<std::string> {
  static void encode(JsonWriter& w, const std::string& v) { w.string(v); }
  static void decode(const JsonValue& j, std::string& out, const CodingPath& path);
};

template <>
struct JsonCoder<JsonValue> {
  static void encode(JsonWriter& w, const JsonValue& v) { w.value(v); }
  static void decode(const JsonValue& j, JsonValue& out, const CodingPath&) { out = j; }
};

template <class T>
struct JsonCoder<std::optional<T>> {
  static void encode(JsonWriter& w, const std::optional<T>& v) {
    if (v) {
      encodeJSON(w, *v);
    } else {
      w.null();
    }
  }
  static void decode(const JsonValue& j, std::optional<T>& out, const CodingPath& path) {
    if (j.isNull()) {
      out.reset();
      return;
    }
    T inner{};
    decodeJSON(j, inner, path);
    out = std::move(inner);
  }
};

template <class T>
struct JsonCoder<std::vector<T>> {
  static void encode(JsonWriter& w, const std::vector<T>& v) {
    w.beginArray();
    for (const T& e : v)
      encodeJSON(w, e);
    w.endArray();
  }
  static void decode(const JsonValue& j, std::vector<T>& out, const CodingPath& path) {
    const JsonValue::Array* a = j.asArray();
    if (a == nullptr) throwTypeMismatch("Array", j, path);
    out.clear();
    out.reserve(a->size());
    for (std::size_t i = 0; i < a->size(); ++i) {
      T e{};
      decodeJSON((*a)[i], e, path.index(i));
      out.push_back(std::move(e));
    }
  }
};

template <>
struct JsonCoder<Date> {
  static void encode(JsonWriter& w, const Date& v);
  static void decode(const JsonValue& j, Date& out, const CodingPath& path);
};

template <>
struct JsonCoder<Bytes> {
  static void encode(JsonWriter& w, const Bytes& v);
  static void decode(const JsonValue& j, Bytes& out, const CodingPath& path);
};

template <>
struct JsonCoder<Uuid> {
  static void encode(JsonWriter& w, const Uuid& v);
  static void decode(const JsonValue& j, Uuid& out, const CodingPath& path);
};

}  // namespace tarno::core
