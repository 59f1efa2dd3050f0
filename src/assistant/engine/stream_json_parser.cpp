// Stream-JSON lines to events.
#include "tarno/assistant/engine/stream_json_parser.hpp"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <exception>
#include <optional>

#include "core/json_dom.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {
namespace {

using core::JsonValue;

constexpr std::string_view kEllipsis = "\u2026";

// The generic description of a value that has no JSON form (a tree built in code holding a
// NaN or an infinity): JSON-like, with such numbers spelled out.
void describe(std::string& out, const JsonValue& v) {
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

// The elements of an array whose every element is an object; a single element of another type
// disqualifies the whole array (an empty array counts as one).
const JsonValue::Array* objectElements(const JsonValue& v) {
  const JsonValue::Array* a = v.asArray();
  if (a == nullptr) return nullptr;
  for (const JsonValue& x : *a) {
    if (!x.isObject()) return nullptr;
  }
  return a;
}

// ---- summaries --------------------------------------------------------------------------------

std::string summaryText(const JsonValue& value) {
  if (const std::string* s = value.asString()) return *s;
  std::string out;
  bool found = false;
  if (const JsonValue::Array* blocks = objectElements(value)) {
    for (const JsonValue& block : *blocks) {
      const JsonValue* text = block.find("text");
      if (text == nullptr || !text->isString()) continue;
      if (found) out.push_back(' ');
      out.append(*text->asString());
      found = true;
    }
    if (found) return out;
  }
  try {
    core::JsonWriter(out).value(value);
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

// ---- lines ------------------------------------------------------------------------------------
//
// A line is read from simdjson's DOM: this is the hot path of every run, and building a value tree
// for every line would halve its speed. Only the values a summary shows become trees. A line
// that simdjson cannot hold (a number beyond 64 bits or double range) is read from its value tree
// instead; the rules below are written once for both kinds of object.

namespace dom = simdjson::dom;

std::optional<std::string_view> stringMember(const dom::object& o, std::string_view key) {
  std::string_view s;
  if (o.at_key(key).get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  return s;
}
std::optional<std::string_view> stringMember(const JsonValue* o, std::string_view key) {
  const JsonValue* v = o->find(key);
  if (v == nullptr || !v->isString()) return std::nullopt;
  return std::string_view(*v->asString());
}

std::optional<bool> boolMember(const dom::object& o, std::string_view key) {
  bool b = false;
  if (o.at_key(key).get_bool().get(b) != simdjson::SUCCESS) return std::nullopt;
  return b;
}
std::optional<bool> boolMember(const JsonValue* o, std::string_view key) {
  const JsonValue* v = o->find(key);
  if (v == nullptr || v->asBool() == nullptr) return std::nullopt;
  return *v->asBool();
}

std::optional<dom::object> objectMember(const dom::object& o, std::string_view key) {
  dom::object inner;
  if (o.at_key(key).get_object().get(inner) != simdjson::SUCCESS) return std::nullopt;
  return inner;
}
std::optional<const JsonValue*> objectMember(const JsonValue* o, std::string_view key) {
  const JsonValue* v = o->find(key);
  if (v == nullptr || !v->isObject()) return std::nullopt;
  return v;
}

// A missing member is absent (""); a JSON null is a value and shows as such.
std::string summarizeMember(const dom::object& o, std::string_view key) {
  dom::element e;
  if (o.at_key(key).get(e) != simdjson::SUCCESS) return {};
  const JsonValue v = core::toJsonValue(e);
  return StreamJSONParser::summarize(&v, StreamJSONParser::summaryLimit);
}
std::string summarizeMember(const JsonValue* o, std::string_view key) {
  return StreamJSONParser::summarize(o->find(key), StreamJSONParser::summaryLimit);
}

// Visits the "content" blocks of a message when its content is an array whose every element is
// an object; a single element of another type disqualifies the whole array.
template <class Visit>
void forEachBlock(const dom::object& message, Visit&& visit) {
  dom::array blocks;
  if (message.at_key("content").get_array().get(blocks) != simdjson::SUCCESS) return;
  for (dom::element block : blocks) {
    if (!block.is_object()) return;
  }
  for (dom::element block : blocks)
    visit(dom::object(block.get_object().value_unsafe()));
}
template <class Visit>
void forEachBlock(const JsonValue* message, Visit&& visit) {
  const JsonValue* content = message->find("content");
  const JsonValue::Array* blocks = content == nullptr ? nullptr : objectElements(*content);
  if (blocks == nullptr) return;
  for (const JsonValue& block : *blocks)
    visit(&block);
}

template <class Object>
void systemEvents(const Object& line, std::vector<AssistantEvent>& out) {
  if (stringMember(line, "subtype") != "init") return;
  const std::optional<std::string_view> sessionID = stringMember(line, "session_id");
  if (!sessionID) return;
  std::optional<std::string> model;
  if (const auto m = stringMember(line, "model")) model.emplace(*m);
  out.push_back(AssistantEvent::sessionStarted(std::string(*sessionID), std::move(model)));
}

template <class Object>
void assistantEvents(const Object& line, std::vector<AssistantEvent>& out) {
  const std::optional<Object> message = objectMember(line, "message");
  if (!message) return;
  forEachBlock(*message, [&](const Object& block) {
    const std::optional<std::string_view> type = stringMember(block, "type");
    if (!type) return;
    if (*type == "text") {
      const std::optional<std::string_view> text = stringMember(block, "text");
      if (text && !text->empty()) out.push_back(AssistantEvent::assistantText(std::string(*text)));
    } else if (*type == "tool_use" || *type == "mcp_tool_use") {
      out.push_back(
          AssistantEvent::toolUse(std::string(stringMember(block, "id").value_or("")),
                                  std::string(stringMember(block, "name").value_or("tool")),
                                  summarizeMember(block, "input")));
    }
  });
}

template <class Object>
void userEvents(const Object& line, std::vector<AssistantEvent>& out) {
  const std::optional<Object> message = objectMember(line, "message");
  if (!message) return;
  forEachBlock(*message, [&](const Object& block) {
    const std::optional<std::string_view> type = stringMember(block, "type");
    if (type != "tool_result" && type != "mcp_tool_result") return;
    out.push_back(AssistantEvent::toolResult(
        std::string(stringMember(block, "tool_use_id").value_or("")),
        boolMember(block, "is_error").value_or(false), summarizeMember(block, "content")));
  });
}

template <class Object>
void resultEvents(const Object& line, std::vector<AssistantEvent>& out) {
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

template <class Object>
void streamEvents(const Object& line, std::vector<AssistantEvent>& out) {
  const std::optional<Object> event = objectMember(line, "event");
  if (!event) return;
  const std::optional<Object> delta = objectMember(*event, "delta");
  if (!delta || stringMember(*delta, "type") != "text_delta") return;
  const std::optional<std::string_view> text = stringMember(*delta, "text");
  if (text && !text->empty()) out.push_back(AssistantEvent::textDelta(std::string(*text)));
}

template <class Object>
void lineEvents(const Object& root, std::vector<AssistantEvent>& out) {
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
  dom::element root;
  const simdjson::error_code error = parser.parse(line.data(), line.size(), true).get(root);
  if (!error) {
    dom::object object;
    if (root.get_object().get(object) == simdjson::SUCCESS) lineEvents(object, out);
  } else if (error == simdjson::NUMBER_ERROR) {
    const std::optional<JsonValue> value = core::parseJsonIfValid(line);
    if (value && value->isObject()) lineEvents(&*value, out);
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
  if (value == nullptr) return {};
  return shortened(summaryText(*value), max);
}

}  // namespace tarno::assistant
