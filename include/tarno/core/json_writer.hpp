// Compact JSON output appended to a string, in the order the caller writes members.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarno::core {

class JsonValue;

// Thrown when a value has no JSON form (NaN and the infinities).
class EncodingError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Writes compact JSON (no whitespace, line feeds always escaped) into a caller-owned string.
// Every string and key comes out as valid UTF-8 whatever bytes it holds: each ill-formed sequence
// is written as U+FFFD, one per maximal subpart, as decodeUTF8Lossy (text.hpp) repairs text.
// The writer does not check structure: callers pair begin/end and put a key before each member.
// Not thread-safe; cheap to construct.
class JsonWriter {
 public:
  struct Options {
    bool escapeSlashes = false;  // write "/" as "\/"
  };

  explicit JsonWriter(std::string& out) : out_(out) {}
  JsonWriter(std::string& out, Options options) : out_(out), options_(options) {}

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  void key(std::string_view name);
  // A member name known to need no escaping or repair (a declared field or case name: letters,
  // digits and "_"), written as it is.
  void plainKey(std::string_view name) {
    separate();
    out_.push_back('"');
    out_.append(name);
    out_.append("\":", 2);
    first_ = true;
  }
  // The same, prepared once as `,"name":` so that a member costs one append; the comma is left
  // out at the start of an object.
  void preparedKey(std::string_view commaQuotedNameColon) {
    appendSeparated(commaQuotedNameColon);
    first_ = true;
  }

  void null();
  void boolean(bool b);
  void integer(std::int64_t i);
  void unsignedInteger(std::uint64_t u);
  void number(double d);  // throws EncodingError when not finite
  void string(std::string_view s);
  // Text known to need no escaping under any option (no quote, backslash, slash, control
  // character or ill-formed UTF-8), such as a date or a declared raw value.
  void plainString(std::string_view s);
  void value(const JsonValue& v, bool sortKeys = false);

  // {"name":{ … }}: the object form of an enumeration case with payload.
  void beginCase(std::string_view name) {
    beginObject();
    key(name);
    beginObject();
  }
  void endCase() {
    endObject();
    endObject();
  }

  // Typed members; defined in json_coding.hpp, which callers include to use them.
  template <class T>
  void member(std::string_view name, const T& v);
  // Leaves the member out when absent.
  template <class T>
  void optionalMember(std::string_view name, const T& v) {
    if (v) member(name, *v);
  }

  std::string& output() { return out_; }

 private:
  void separate() {
    if (!first_) out_.push_back(',');
    first_ = false;
  }
  // `text` starts with a comma, written only between values.
  void appendSeparated(std::string_view text) {
    const std::size_t skip = first_ ? 1 : 0;
    out_.append(text.data() + skip, text.size() - skip);
    first_ = false;
  }
  // The text after its opening quote, escaped, and the closing quote.
  void writeEscaped(std::string_view s);

  std::string& out_;
  Options options_{};
  bool first_ = true;
};

}  // namespace tarno::core
