// What a client sends over the helper socket: one command per connection, plus code
// submissions on a sign-in connection.
#pragma once

#include <string>
#include <variant>

#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/core/json_record.hpp"

namespace tarno::assistant {

// The payloads of the cases; use them as AssistantCommand::Run etc.
namespace assistant_command {

struct Run {
  AssistantRunRequest request{};
  static constexpr auto jsonFields = std::tuple{core::required("_0", &Run::request)};
};
struct Login {};
struct Status {};
struct LoginCode {
  std::string code{};
  static constexpr auto jsonFields = std::tuple{core::required("_0", &LoginCode::code)};
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
  static constexpr auto jsonCases =
      std::tuple{core::jsonCase<Run>("run"), core::jsonCase<Login>("login"),
                 core::jsonCase<Status>("status"), core::jsonCase<LoginCode>("loginCode")};

  AssistantCommand() = default;
  template <class Case>
  requires std::is_constructible_v<Payload, Case&&> AssistantCommand(Case&& p)
      : payload_(std::forward<Case>(p)) {}

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

}  // namespace tarno::assistant
