// JSON coding of the helper's commands: {"case":{…}} with "_0" for unlabelled payloads.
#include "tarno/assistant/session/assistant_command.hpp"

#include <array>

namespace tarno::assistant {
namespace {

// In the order of the payload variant.
constexpr std::array<std::string_view, 4> kCaseNames = {"run", "login", "status", "loginCode"};

}  // namespace

void toJSON(core::JsonWriter& w, const AssistantCommand& command) {
  const AssistantCommand::Payload& payload = command.payload();
  w.beginCase(kCaseNames[payload.index()]);
  if (const auto* run = std::get_if<AssistantCommand::Run>(&payload)) {
    w.member("_0", run->request);
  } else if (const auto* code = std::get_if<AssistantCommand::LoginCode>(&payload)) {
    w.member("_0", code->code);
  }
  w.endCase();
}

void fromJSON(const core::JsonValue& j, AssistantCommand& out, const core::CodingPath& path) {
  const core::CaseMember c = core::singleCase(j, kCaseNames, path);
  const core::CodingPath inner = path.key(c.name);
  const core::ObjectReader r(c.value, inner);
  switch (c.index) {
    case 0:
      out = AssistantCommand::run(r.required<AssistantRunRequest>("_0"));
      return;
    case 1:
      out = AssistantCommand::login();
      return;
    case 2:
      out = AssistantCommand::status();
      return;
    default:
      out = AssistantCommand::loginCode(r.required<std::string>("_0"));
      return;
  }
}

}  // namespace tarno::assistant
