// Stream-JSON lines to events. Lines are read with simdjson's DOM directly instead of a value
// tree: this is the hot path of every run, and a long answer streams thousands of lines.
#include "tarno/assistant/engine/stream_json_parser.hpp"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <exception>
#include <optional>

#include "tarno/core/json_writer.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {
namespace {

namespace dom = simdjson::dom;

constexpr std::string_view kEllipsis = "\u2026";

// ---- the two value representations summaries accept ---------------------------------------

bool stringOf(const dom::element& e, std::string_view& out) {
  return e.get_string().get(out) == simdjson::SUCCESS;
}
bool stringOf(const core::JsonValue& v, std::string_view& out) {
  const std::string* s = v.asString();
  if (s == nullptr) return false;
  out = *s;
  return true;
}

// Visits the elements of an array whose elements are all objects; false when the value is not
// such an array (an empty array counts as one).
template <class Visit>
bool forEachObjectElement(const dom::element& e, Visit&& visit) {
  dom::array a;
  if (e.get_array().get(a) != simdjson::SUCCESS) return false;
  for (dom::element x : a) {
    if (!x.is_object()) return false;
  }
  for (dom::element x : a) {
    std::string_view text;
    const bool isText = x["text"].get_string().get(text) == simdjson::SUCCESS;
    visit(isText ? &text : nullptr);
  }
  return true;
}
template <class Visit>
bool forEachObjectElement(const core::JsonValue& v, Visit&& visit) {
  const core::JsonValue::Array* a = v.asArray();
  if (a == nullptr) return false;
  for (const core::JsonValue& x : *a) {
    if (!x.isObject()) return false;
  }
  for (const core::JsonValue& x : *a) {
    const core::JsonValue* member = x.find("text");
    std::string_view text;
    const bool isText = member != nullptr && stringOf(*member, text);
    visit(isText ? &text : nullptr);
  }
  return true;
}

// simdjson bounds the nesting depth, so this recursion is bounded too.
void writeElement(core::JsonWriter& w, const dom::element& e) {
  switch (e.type()) {
    case dom::element_type::NULL_VALUE:
      w.null();
      return;
    case dom::element_type::BOOL:
      w.boolean(e.get_bool().value_unsafe());
      return;
    case dom::element_type::INT64:
      w.integer(e.get_int64().value_unsafe());
      return;
    case dom::element_type::UINT64:
      w.unsignedInteger(e.get_uint64().value_unsafe());
      return;
    case dom::element_type::DOUBLE:
      w.number(e.get_double().value_unsafe());
      return;
    case dom::element_type::STRING:
      w.string(e.get_string().value_unsafe());
      return;
    case dom::element_type::ARRAY: {
      // A named copy: ranging over the temporary result would leave it dangling.
      const dom::array a = e.get_array().value_unsafe();
      w.beginArray();
      for (dom::element x : a)
        writeElement(w, x);
      w.endArray();
      return;
    }
    case dom::element_type::OBJECT: {
      const dom::object o = e.get_object().value_unsafe();
      w.beginObject();
      for (dom::key_value_pair kv : o) {
        w.key(kv.key);
        writeElement(w, kv.value);
      }
      w.endObject();
      return;
    }
  }
}
void writeElement(core::JsonWriter& w, const core::JsonValue& v) {
  w.value(v);
}

// The generic description of a value that has no JSON form (a tree built in code holding a
// NaN or an infinity): JSON-like, with such numbers spelled out.
void describe(std::string& out, const core::JsonValue& v) {
  if (const double* d = v.asDouble(); d != nullptr && !std::isfinite(*d)) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, *d);
    out.append(buf, r.ptr);
  } else if (const auto* a = v.asArray()) {
    out.push_back('[');
    for (std::size_t i = 0; i < a->size(); ++i) {
      if (i > 0) out.push_back(',');
      describe(out, (*a)[i]);
    }
    out.push_back(']');
  } else if (const auto* o = v.asObject()) {
    out.push_back('{');
    for (std::size_t i = 0; i < o->size(); ++i) {
      if (i > 0) out.push_back(',');
      core::JsonWriter(out).string((*o)[i].first);
      out.push_back(':');
      describe(out, (*o)[i].second);
    }
    out.push_back('}');
  } else {
    core::JsonWriter(out).value(v);
  }
}
void describe(std::string& out, const dom::element& e) {
  core::JsonWriter w(out);
  writeElement(w, e);
}

// ---- summaries --------------------------------------------------------------------------------

template <class Value>
std::string summaryText(const Value& value) {
  std::string_view s;
  if (stringOf(value, s)) return std::string(s);
  std::string out;
  bool found = false;
  const bool objects = forEachObjectElement(value, [&](const std::string_view* text) {
    if (text == nullptr) return;
    if (found) out.push_back(' ');
    out.append(*text);
    found = true;
  });
  if (objects && found) return out;
  out.clear();
  try {
    core::JsonWriter w(out);
    writeElement(w, value);
  } catch (const core::EncodingError&) {
    out.clear();
    describe(out, value);
  }
  return out;
}

std::string shortened(std::string_view text, std::size_t max) {
  std::string trimmed = core::trimmingWhitespaceAndNewlines(text);
  // A character takes at least one byte, so a short text needs no counting.
  if (trimmed.size() <= max) return trimmed;
  std::string prefix = core::prefixCharacters(trimmed, max);
  if (prefix.size() == trimmed.size()) return trimmed;
  prefix.append(kEllipsis);
  return prefix;
}

template <class Value>
std::string summarizeValue(const Value* value, std::size_t max) {
  if (value == nullptr) return {};
  return shortened(summaryText(*value), max);
}

// ---- lines ------------------------------------------------------------------------------------

std::optional<std::string_view> stringMember(const dom::object& o, std::string_view key) {
  std::string_view s;
  if (o.at_key(key).get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  return s;
}

std::optional<bool> boolMember(const dom::object& o, std::string_view key) {
  bool b = false;
  if (o.at_key(key).get_bool().get(b) != simdjson::SUCCESS) return std::nullopt;
  return b;
}

std::optional<dom::object> objectMember(const dom::object& o, std::string_view key) {
  dom::object inner;
  if (o.at_key(key).get_object().get(inner) != simdjson::SUCCESS) return std::nullopt;
  return inner;
}

std::string summarizeMember(const dom::object& o, std::string_view key) {
  dom::element e;
  // A missing member is absent (""); a JSON null is a value and shows as such.
  if (o.at_key(key).get(e) != simdjson::SUCCESS) return {};
  return summarizeValue(&e, StreamJSONParser::summaryLimit);
}

// The "content" of a message, when it is an array whose every element is an object; a single
// element of another type disqualifies the whole array.
std::optional<dom::array> contentBlocks(const dom::object& message) {
  dom::array blocks;
  if (message.at_key("content").get_array().get(blocks) != simdjson::SUCCESS) return std::nullopt;
  for (dom::element block : blocks) {
    if (!block.is_object()) return std::nullopt;
  }
  return blocks;
}

void systemEvents(const dom::object& line, std::vector<AssistantEvent>& out) {
  if (stringMember(line, "subtype") != "init") return;
  const std::optional<std::string_view> sessionID = stringMember(line, "session_id");
  if (!sessionID) return;
  std::optional<std::string> model;
  if (const auto m = stringMember(line, "model")) model.emplace(*m);
  out.push_back(AssistantEvent::sessionStarted(std::string(*sessionID), std::move(model)));
}

void assistantEvents(const dom::object& line, std::vector<AssistantEvent>& out) {
  const std::optional<dom::object> message = objectMember(line, "message");
  if (!message) return;
  const std::optional<dom::array> blocks = contentBlocks(*message);
  if (!blocks) return;
  for (dom::element element : *blocks) {
    const dom::object block = element.get_object().value_unsafe();
    const std::optional<std::string_view> type = stringMember(block, "type");
    if (!type) continue;
    if (*type == "text") {
      const std::optional<std::string_view> text = stringMember(block, "text");
      if (text && !text->empty()) out.push_back(AssistantEvent::assistantText(std::string(*text)));
    } else if (*type == "tool_use" || *type == "mcp_tool_use") {
      out.push_back(
          AssistantEvent::toolUse(std::string(stringMember(block, "id").value_or("")),
                                  std::string(stringMember(block, "name").value_or("tool")),
                                  summarizeMember(block, "input")));
    }
  }
}

void userEvents(const dom::object& line, std::vector<AssistantEvent>& out) {
  const std::optional<dom::object> message = objectMember(line, "message");
  if (!message) return;
  const std::optional<dom::array> blocks = contentBlocks(*message);
  if (!blocks) return;
  for (dom::element element : *blocks) {
    const dom::object block = element.get_object().value_unsafe();
    const std::optional<std::string_view> type = stringMember(block, "type");
    if (type != "tool_result" && type != "mcp_tool_result") continue;
    out.push_back(AssistantEvent::toolResult(
        std::string(stringMember(block, "tool_use_id").value_or("")),
        boolMember(block, "is_error").value_or(false), summarizeMember(block, "content")));
  }
}

void resultEvents(const dom::object& line, std::vector<AssistantEvent>& out) {
  std::optional<std::string_view> text = stringMember(line, "result");
  if (!text) text = stringMember(line, "error");
  std::optional<bool> isError = boolMember(line, "is_error");
  if (!isError) {
    const std::optional<std::string_view> subtype = stringMember(line, "subtype");
    isError = subtype && subtype->find("error") != std::string_view::npos;
  }
  std::optional<std::string> sessionID;
  if (const auto id = stringMember(line, "session_id")) sessionID.emplace(*id);
  out.push_back(
      AssistantEvent::finished(std::string(text.value_or("")), *isError, std::move(sessionID)));
}

void streamEvents(const dom::object& line, std::vector<AssistantEvent>& out) {
  const std::optional<dom::object> event = objectMember(line, "event");
  if (!event) return;
  const std::optional<dom::object> delta = objectMember(*event, "delta");
  if (!delta || stringMember(*delta, "type") != "text_delta") return;
  const std::optional<std::string_view> text = stringMember(*delta, "text");
  if (text && !text->empty()) out.push_back(AssistantEvent::textDelta(std::string(*text)));
}

// Most lines start with "{" and end with "}": then trimming cannot change them and the copy
// it makes is skipped. Any byte of a non-ASCII space is >= 0x80.
bool mayNeedTrimming(std::string_view line) {
  const auto edge = [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x80 || b == ' ' || (b >= 0x09 && b <= 0x0D);
  };
  return line.empty() || edge(line.front()) || edge(line.back());
}

void appendEvents(std::string_view line, std::vector<AssistantEvent>& out) {
  std::string trimmed;
  if (mayNeedTrimming(line)) {
    trimmed = core::trimmingWhitespaceAndNewlines(line);
    line = trimmed;
  }
  if (line.empty()) return;

  // One parser per thread: it reuses its buffers, and parsers are not thread-safe.
  thread_local dom::parser parser;
  dom::object root;
  if (parser.parse(line.data(), line.size(), true).get_object().get(root) != simdjson::SUCCESS) {
    return;
  }
  const std::optional<std::string_view> type = stringMember(root, "type");
  if (!type) return;
  if (*type == "stream_event") {
    streamEvents(root, out);
  } else if (*type == "assistant") {
    assistantEvents(root, out);
  } else if (*type == "user") {
    userEvents(root, out);
  } else if (*type == "system") {
    systemEvents(root, out);
  } else if (*type == "result") {
    resultEvents(root, out);
  }
}

}  // namespace

std::vector<AssistantEvent> StreamJSONParser::events(std::string_view line) {
  std::vector<AssistantEvent> out;
  try {
    appendEvents(line, out);
  } catch (const std::exception&) {
    // Out of memory on a huge line: it yields what was read before.
  }
  return out;
}

std::string StreamJSONParser::summarize(const core::JsonValue* value, std::size_t max) {
  return summarizeValue(value, max);
}

}  // namespace tarno::assistant
