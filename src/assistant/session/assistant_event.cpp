// JSON coding of assistant events and the display rule for tool names.
#include "tarno/assistant/session/assistant_event.hpp"

#include <array>
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
