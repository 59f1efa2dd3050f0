// The JSON value tree and the strict parser behind every decoder.
#include "tarno/core/json_value.hpp"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "core/json_dom.hpp"
#include "json_text_parser.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::core {

JsonValue::JsonValue(std::uint64_t u) {
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    v_ = static_cast<std::int64_t>(u);
  } else {
    v_ = u;
  }
}

namespace {

// The number tokens of a JSON text in document order, read only as far as the one asked for.
// Used when a diagnostic quotes a number, so it may take its time.
class NumberTokens {
 public:
  explicit NumberTokens(std::string_view text) : text_(text) {}

  // The token, or an empty one past the last.
  std::string_view token(std::size_t ordinal) {
    const std::size_t n = text_.size();
    while (pos_ < n) {
      const char c = text_[pos_];
      if (c == '"') {
        skipString();
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        const std::size_t start = pos_;
        while (pos_ < n && isNumberByte(text_[pos_]))
          ++pos_;
        if (next_++ == ordinal) return text_.substr(start, pos_ - start);
      } else {
        ++pos_;
      }
    }
    return {};
  }

 private:
  // From an opening quote to past its closing one: strings hold most of a document's bytes, so
  // the quote is searched with memchr, and one after an odd run of backslashes is escaped.
  void skipString() {
    const std::size_t start = ++pos_;
    while (true) {
      const void* q = std::memchr(text_.data() + pos_, '"', text_.size() - pos_);
      if (q == nullptr) {
        pos_ = text_.size();
        return;
      }
      const std::size_t quote =
          static_cast<std::size_t>(static_cast<const char*>(q) - text_.data());
      std::size_t backslashes = 0;
      while (quote - backslashes > start && text_[quote - backslashes - 1] == '\\')
        ++backslashes;
      pos_ = quote + 1;
      if (backslashes % 2 == 0) return;
    }
  }

  static bool isNumberByte(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t next_ = 0;  // ordinal of the next token from pos_
};

}  // namespace

std::string_view JsonValue::writtenNumber() const {
  if (const Real* r = std::get_if<Real>(&v_); r != nullptr && r->document != nullptr) {
    return NumberTokens(*r->document).token(r->ordinal);
  }
  if (const BigNumber* big = std::get_if<BigNumber>(&v_)) return big->text;
  return {};
}

bool JsonValue::toDouble(double& out) const {
  switch (type()) {
    case Type::integer:
      out = static_cast<double>(std::get<std::int64_t>(v_));
      return true;
    case Type::unsignedInteger:
      out = static_cast<double>(std::get<std::uint64_t>(v_));
      return true;
    case Type::number:
      out = std::get<Real>(v_).value;
      return true;
    case Type::bigNumber: {
      // Our own writer prints a double of 1e20 or more without a fraction as all its digits.
      const std::string& text = std::get<BigNumber>(v_).text;
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
      return ec == std::errc() && end == text.data() + text.size() && std::isfinite(out);
    }
    default:
      return false;
  }
}

const JsonValue* JsonValue::find(std::string_view key) const {
  const Object* o = asObject();
  if (o == nullptr) return nullptr;
  for (const Member& m : *o) {
    if (m.first == key) return &m.second;
  }
  return nullptr;
}

std::string_view JsonValue::typeDescription() const {
  switch (type()) {
    case Type::null:
      return "null";
    case Type::boolean:
      return "a boolean";
    case Type::integer:
    case Type::unsignedInteger:
    case Type::number:
    case Type::bigNumber:
      return "a number";
    case Type::string:
      return "a string";
    case Type::array:
      return "an array";
    case Type::object:
      return "a dictionary";
  }
  return "unknown";
}

namespace {

// simdjson's tree as a value tree. simdjson keeps only a number's value; given the text it
// parsed, the builder also lets each double find how it was written there. simdjson bounds the
// depth (1024), so the recursion is bounded too.
class TreeBuilder {
 public:
  explicit TreeBuilder(std::optional<std::string_view> source) {
    // Ordinals are 32-bit; no frame comes near that many numbers.
    if (source && source->size() <= UINT32_MAX) source_ = source;
  }

  JsonValue build(simdjson::dom::element e) {
    using simdjson::dom::element_type;
    switch (e.type()) {
      case element_type::NULL_VALUE:
        return JsonValue();
      case element_type::BOOL:
        return JsonValue(bool(e.get_bool().value_unsafe()));
      case element_type::INT64:
        ++numbers_;
        return JsonValue(std::int64_t(e.get_int64().value_unsafe()));
      case element_type::UINT64:
        ++numbers_;
        return JsonValue(std::uint64_t(e.get_uint64().value_unsafe()));
      case element_type::DOUBLE: {
        const double d = e.get_double().value_unsafe();
        if (!source_) return JsonValue(d);
        // One copy of the document, made at its first double, serves all of them.
        if (document_ == nullptr) document_ = std::make_shared<const std::string>(*source_);
        return JsonValue(d, document_, static_cast<std::uint32_t>(numbers_++));
      }
      case element_type::STRING:
        return JsonValue(std::string_view(e.get_string().value_unsafe()));
      case element_type::ARRAY: {
        simdjson::dom::array a = e.get_array().value_unsafe();
        JsonValue::Array out;
        out.reserve(a.size());
        for (simdjson::dom::element child : a)
          out.push_back(build(child));
        return JsonValue(std::move(out));
      }
      case element_type::OBJECT: {
        simdjson::dom::object o = e.get_object().value_unsafe();
        JsonValue::Object out;
        out.reserve(o.size());
        for (simdjson::dom::key_value_pair kv : o) {
          out.emplace_back(std::string(kv.key), build(kv.value));
        }
        return JsonValue(std::move(out));
      }
    }
    return JsonValue();
  }

 private:
  std::optional<std::string_view> source_;
  std::shared_ptr<const std::string> document_;
  std::size_t numbers_ = 0;  // numbers met so far
};

}  // namespace

JsonValue toJsonValue(simdjson::dom::element e) {
  return TreeBuilder(std::nullopt).build(e);
}

namespace {

// Parses into `out`; on failure returns false with simdjson's message for the fault.
bool parseInto(std::string_view text, JsonValue& out, std::string_view& reason) {
  // One parser per thread: its buffers are reused, and parsers are not thread-safe.
  thread_local simdjson::dom::parser parser;
  simdjson::dom::element root;
  const auto error = parser.parse(text.data(), text.size(), true).get(root);
  if (!error) {
    out = TreeBuilder(text).build(root);
    return true;
  }
  // simdjson holds no number beyond 64 bits or double range; such a document is read again by
  // a parser that keeps those numbers as text. Malformed numbers fail there as well.
  if (error == simdjson::NUMBER_ERROR) {
    return detail::parseJsonText(text, out, reason);
  }
  reason = simdjson::error_message(error);
  return false;
}

}  // namespace

JsonValue parseJson(std::string_view text) {
  JsonValue out;
  std::string_view reason;
  if (!parseInto(text, out, reason)) {
    throwDataCorrupted("The given data was not valid JSON. (" + std::string(reason) + ")",
                       CodingPath());
  }
  return out;
}

std::optional<JsonValue> parseJsonIfValid(std::string_view text) {
  std::optional<JsonValue> out(std::in_place);
  std::string_view reason;
  if (!parseInto(text, *out, reason)) out.reset();
  return out;
}

}  // namespace tarno::core
