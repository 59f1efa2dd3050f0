// What a client sends over the helper socket: one command per connection, plus code
// submissions on a sign-in connection.
#pragma once

#include <string>

#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"

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
class AssistantCommand
    : public core::OneOf<assistant_command::Run, assistant_command::Login,
                         assistant_command::Status, assistant_command::LoginCode> {
 public:
  using Run = assistant_command::Run;
  using Login = assistant_command::Login;
  using Status = assistant_command::Status;
  using LoginCode = assistant_command::LoginCode;
  using OneOf::OneOf;
  static constexpr auto jsonCases =
      std::tuple{core::jsonCase<Run>("run"), core::jsonCase<Login>("login"),
                 core::jsonCase<Status>("status"), core::jsonCase<LoginCode>("loginCode")};

  static AssistantCommand run(AssistantRunRequest request) { return Run{std::move(request)}; }
  static AssistantCommand login() { return Login{}; }
  static AssistantCommand status() { return Status{}; }
  static AssistantCommand loginCode(std::string code) { return LoginCode{std::move(code)}; }

  // True for `login` only: the server keeps reading the connection for code submissions.
  bool isInteractive() const { return is<Login>(); }
};

}  // namespace tarno::assistant
