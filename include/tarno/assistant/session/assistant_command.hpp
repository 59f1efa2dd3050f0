// What a client sends over the helper socket: one command per connection, plus code
// submissions on a sign-in connection.
#pragma once

#include <string>
#include <variant>

#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {

// The payloads of the cases; use them as AssistantCommand::Run etc.
namespace assistant_command {

struct Run {
  AssistantRunRequest request{};
};
struct Login {};
struct Status {};
struct LoginCode {
  std::string code{};
};

}  // namespace assistant_command

// A value type; no equality (compare the payloads instead). Decode one with
// core::decodeFromString<AssistantCommand>(frame), which throws core::DecodingError.
class AssistantCommand {
 public:
  using Run = assistant_command::Run;
  using Login = assistant_command::Login;
  using Status = assistant_command::Status;
  using LoginCode = assistant_command::LoginCode;
  using Payload = std::variant<Run, Login, Status, LoginCode>;

  AssistantCommand() = default;
  AssistantCommand(Run p) : payload_(std::move(p)) {}
  AssistantCommand(Login p) : payload_(p) {}
  AssistantCommand(Status p) : payload_(p) {}
  AssistantCommand(LoginCode p) : payload_(std::move(p)) {}

  static AssistantCommand run(AssistantRunRequest request) { return Run{std::move(request)}; }
  static AssistantCommand login() { return Login{}; }
  static AssistantCommand status() { return Status{}; }
  static AssistantCommand loginCode(std::string code) { return LoginCode{std::move(code)}; }

  const Payload& payload() const { return payload_; }
  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(payload_);
  }
  // The payload of this case, or null when the command is another one.
  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&payload_);
  }

  // True for `login` only: the server keeps reading the connection for code submissions.
  bool isInteractive() const { return is<Login>(); }

 private:
  Payload payload_;
};

void toJSON(core::JsonWriter& w, const AssistantCommand& command);
void fromJSON(const core::JsonValue& j, AssistantCommand& out, const core::CodingPath& path);

}  // namespace tarno::assistant
