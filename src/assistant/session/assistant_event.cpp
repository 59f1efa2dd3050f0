// JSON coding of assistant events and the display rule for tool names.
#include "tarno/assistant/session/assistant_event.hpp"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <optional>
#include <ostream>

namespace tarno::assistant {
namespace {

// In the order of the payload variant.
constexpr std::array<std::string_view, 7> kCaseNames = {
    "sessionStarted", "textDelta", "assistantText",    "toolUse",
    "toolResult",     "finished",  "awaitingLoginCode"};

struct Encoder {
  core::JsonWriter& w;

  void operator()(const AssistantEvent::SessionStarted& e) const {
    w.member("sessionID", e.sessionID);
    w.optionalMember("model", e.model);
  }
  void operator()(const AssistantEvent::TextDelta& e) const { w.member("_0", e.text); }
  void operator()(const AssistantEvent::AssistantText& e) const { w.member("_0", e.text); }
  void operator()(const AssistantEvent::ToolUse& e) const {
    w.member("id", e.id);
    w.member("name", e.name);
    w.member("inputSummary", e.inputSummary);
  }
  void operator()(const AssistantEvent::ToolResult& e) const {
    w.member("id", e.id);
    w.member("isError", e.isError);
    w.member("summary", e.summary);
  }
  void operator()(const AssistantEvent::Finished& e) const {
    w.member("text", e.text);
    w.member("isError", e.isError);
    w.optionalMember("sessionID", e.sessionID);
  }
  void operator()(const AssistantEvent::AwaitingLoginCode&) const {}
};

// ---- the direct decoder of event text ---------------------------------------------------------

namespace dom = simdjson::dom;

// Each reader returns false where the generic decoder would fail; that decoder then runs to
// report the failure. Lookups see the first of duplicate members, as JsonValue::find does.
bool readString(const dom::object& o, std::string_view key, std::string& out) {
  std::string_view s;
  if (o.at_key(key).get_string().get(s) != simdjson::SUCCESS) return false;
  out.assign(s);
  return true;
}

bool readBool(const dom::object& o, std::string_view key, bool& out) {
  return o.at_key(key).get_bool().get(out) == simdjson::SUCCESS;
}

bool readOptionalString(const dom::object& o, std::string_view key,
                        std::optional<std::string>& out) {
  dom::element e;
  if (o.at_key(key).get(e) != simdjson::SUCCESS || e.is_null()) {
    out.reset();
    return true;
  }
  std::string_view s;
  if (e.get_string().get(s) != simdjson::SUCCESS) return false;
  out.emplace(s);
  return true;
}

std::optional<AssistantEvent> decodeDirect(std::string_view text) {
  // One parser per thread: it reuses its buffers, and parsers are not thread-safe.
  thread_local dom::parser parser;
  dom::object root;
  if (parser.parse(text.data(), text.size(), true).get_object().get(root) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  std::size_t found = kCaseNames.size();
  dom::element value;
  for (dom::key_value_pair member : root) {
    const auto name = std::find(kCaseNames.begin(), kCaseNames.end(), member.key);
    if (name == kCaseNames.end()) continue;
    const auto index = static_cast<std::size_t>(name - kCaseNames.begin());
    if (found == kCaseNames.size()) {
      found = index;
      value = member.value;
    } else if (found != index) {
      return std::nullopt;
    }
  }
  dom::object inner;
  if (found == kCaseNames.size() || value.get_object().get(inner) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  switch (found) {
    case 0: {
      AssistantEvent::SessionStarted e;
      if (!readString(inner, "sessionID", e.sessionID) ||
          !readOptionalString(inner, "model", e.model)) {
        return std::nullopt;
      }
      return AssistantEvent(std::move(e));
    }
    case 1: {
      AssistantEvent::TextDelta e;
      if (!readString(inner, "_0", e.text)) return std::nullopt;
      return AssistantEvent(std::move(e));
    }
    case 2: {
      AssistantEvent::AssistantText e;
      if (!readString(inner, "_0", e.text)) return std::nullopt;
      return AssistantEvent(std::move(e));
    }
    case 3: {
      AssistantEvent::ToolUse e;
      if (!readString(inner, "id", e.id) || !readString(inner, "name", e.name) ||
          !readString(inner, "inputSummary", e.inputSummary)) {
        return std::nullopt;
      }
      return AssistantEvent(std::move(e));
    }
    case 4: {
      AssistantEvent::ToolResult e;
      if (!readString(inner, "id", e.id) || !readBool(inner, "isError", e.isError) ||
          !readString(inner, "summary", e.summary)) {
        return std::nullopt;
      }
      return AssistantEvent(std::move(e));
    }
    case 5: {
      AssistantEvent::Finished e;
      if (!readString(inner, "text", e.text) || !readBool(inner, "isError", e.isError) ||
          !readOptionalString(inner, "sessionID", e.sessionID)) {
        return std::nullopt;
      }
      return AssistantEvent(std::move(e));
    }
    default:
      return AssistantEvent::awaitingLoginCode();
  }
}

}  // namespace

std::string_view AssistantEvent::caseName() const {
  return kCaseNames[payload_.index()];
}

std::string AssistantEvent::displayName(std::string_view toolName) {
  const std::size_t at = toolName.rfind("__");
  if (at == std::string_view::npos) return std::string(toolName);
  return std::string(toolName.substr(at + 2));
}

void toJSON(core::JsonWriter& w, const AssistantEvent& event) {
  // Events are encoded one per frame, many per second: grow the output once.
  std::size_t textBytes = 0;
  std::visit(
      [&](const auto& p) {
        if constexpr (requires { p.text; }) textBytes += p.text.size();
        if constexpr (requires { p.summary; }) textBytes += p.summary.size();
        if constexpr (requires { p.inputSummary; })
          textBytes += p.inputSummary.size() + p.name.size();
      },
      event.payload());
  std::string& out = w.output();
  out.reserve(out.size() + textBytes + textBytes / 8 + 96);
  w.beginCase(event.caseName());
  std::visit(Encoder{w}, event.payload());
  w.endCase();
}

std::ostream& operator<<(std::ostream& os, const AssistantEvent& event) {
  return os << core::encodeToString(event);
}

void fromJSON(const core::JsonValue& j, AssistantEvent& out, const core::CodingPath& path) {
  const core::CaseMember c = core::singleCase(j, kCaseNames, path);
  const core::CodingPath inner = path.key(c.name);
  const core::ObjectReader r(c.value, inner);
  switch (c.index) {
    case 0: {
      AssistantEvent::SessionStarted e;
      r.required("sessionID", e.sessionID);
      r.optional("model", e.model);
      out = std::move(e);
      return;
    }
    case 1:
      out = AssistantEvent::textDelta(r.required<std::string>("_0"));
      return;
    case 2:
      out = AssistantEvent::assistantText(r.required<std::string>("_0"));
      return;
    case 3: {
      AssistantEvent::ToolUse e;
      r.required("id", e.id);
      r.required("name", e.name);
      r.required("inputSummary", e.inputSummary);
      out = std::move(e);
      return;
    }
    case 4: {
      AssistantEvent::ToolResult e;
      r.required("id", e.id);
      r.required("isError", e.isError);
      r.required("summary", e.summary);
      out = std::move(e);
      return;
    }
    case 5: {
      AssistantEvent::Finished e;
      r.required("text", e.text);
      r.required("isError", e.isError);
      r.optional("sessionID", e.sessionID);
      out = std::move(e);
      return;
    }
    default:
      out = AssistantEvent::awaitingLoginCode();
      return;
  }
}

}  // namespace tarno::assistant

namespace tarno::core {

template <>
assistant::AssistantEvent decodeFromString<assistant::AssistantEvent>(std::string_view text) {
  if (auto event = assistant::decodeDirect(text)) return std::move(*event);
  return decodeJSON<assistant::AssistantEvent>(parseJson(text));
}

}  // namespace tarno::core
