// The JSON value tree and the strict parser behind every decoder.
#include "tarno/core/json_value.hpp"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <limits>

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

bool JsonValue::toDouble(double& out) const {
  switch (type()) {
    case Type::integer:
      out = static_cast<double>(std::get<std::int64_t>(v_));
      return true;
    case Type::unsignedInteger:
      out = static_cast<double>(std::get<std::uint64_t>(v_));
      return true;
    case Type::number:
      out = std::get<double>(v_);
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

// simdjson bounds the depth (1024), so this recursion is bounded too.
JsonValue toJsonValue(simdjson::dom::element e) {
  using simdjson::dom::element_type;
  switch (e.type()) {
    case element_type::NULL_VALUE:
      return JsonValue();
    case element_type::BOOL:
      return JsonValue(bool(e.get_bool().value_unsafe()));
    case element_type::INT64:
      return JsonValue(std::int64_t(e.get_int64().value_unsafe()));
    case element_type::UINT64:
      return JsonValue(std::uint64_t(e.get_uint64().value_unsafe()));
    case element_type::DOUBLE:
      return JsonValue(double(e.get_double().value_unsafe()));
    case element_type::STRING:
      return JsonValue(std::string_view(e.get_string().value_unsafe()));
    case element_type::ARRAY: {
      simdjson::dom::array a = e.get_array().value_unsafe();
      JsonValue::Array out;
      out.reserve(a.size());
      for (simdjson::dom::element child : a)
        out.push_back(toJsonValue(child));
      return JsonValue(std::move(out));
    }
    case element_type::OBJECT: {
      simdjson::dom::object o = e.get_object().value_unsafe();
      JsonValue::Object out;
      out.reserve(o.size());
      for (simdjson::dom::key_value_pair kv : o) {
        out.emplace_back(std::string(kv.key), toJsonValue(kv.value));
      }
      return JsonValue(std::move(out));
    }
  }
  return JsonValue();
}

namespace {

// Parses into `out`; on failure returns false with simdjson's message for the fault.
bool parseInto(std::string_view text, JsonValue& out, std::string_view& reason) {
  // One parser per thread: its buffers are reused, and parsers are not thread-safe.
  thread_local simdjson::dom::parser parser;
  simdjson::dom::element root;
  const auto error = parser.parse(text.data(), text.size(), true).get(root);
  if (!error) {
    out = toJsonValue(root);
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
