// The one vocabulary in which every engine reports a run or a sign-in, and its JSON form on
// the helper socket: {"case":{payload members}}.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"

namespace tarno::assistant {

// The payloads of the cases, one struct per case; use them as AssistantEvent::Finished etc.
// (They live outside the class so that their member initialisers are usable inside it.)
namespace assistant_event {

// A CLI session began; `sessionID` is what a later run resumes.
struct SessionStarted {
  std::string sessionID{};
  std::optional<std::string> model{};
  static constexpr auto jsonFields =
      std::tuple{core::required("sessionID", &SessionStarted::sessionID),
                 core::optional("model", &SessionStarted::model)};
  friend bool operator==(const SessionStarted&, const SessionStarted&) = default;
};
// A fragment of assistant text, streamed while it is produced.
struct TextDelta {
  std::string text{};
  static constexpr auto jsonFields = std::tuple{core::required("_0", &TextDelta::text)};
  friend bool operator==(const TextDelta&, const TextDelta&) = default;
};
// One complete block of assistant text.
struct AssistantText {
  std::string text{};
  static constexpr auto jsonFields = std::tuple{core::required("_0", &AssistantText::text)};
  friend bool operator==(const AssistantText&, const AssistantText&) = default;
};
struct ToolUse {
  std::string id{};
  std::string name{};  // the full name as the engine knows it
  std::string inputSummary{};
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &ToolUse::id), core::required("name", &ToolUse::name),
                 core::required("inputSummary", &ToolUse::inputSummary)};
  friend bool operator==(const ToolUse&, const ToolUse&) = default;
};
struct ToolResult {
  std::string id{};
  bool isError = false;
  std::string summary{};
  static constexpr auto jsonFields = std::tuple{core::required("id", &ToolResult::id),
                                                core::required("isError", &ToolResult::isError),
                                                core::required("summary", &ToolResult::summary)};
  friend bool operator==(const ToolResult&, const ToolResult&) = default;
};
// The run or sign-in is over; a well-formed stream ends with exactly one of these.
struct Finished {
  std::string text{};
  bool isError = false;
  std::optional<std::string> sessionID{};
  static constexpr auto jsonFields = std::tuple{core::required("text", &Finished::text),
                                                core::required("isError", &Finished::isError),
                                                core::optional("sessionID", &Finished::sessionID)};
  friend bool operator==(const Finished&, const Finished&) = default;
};
// The sign-in waits for the user to paste an authorization code.
struct AwaitingLoginCode {
  friend bool operator==(const AwaitingLoginCode&, const AwaitingLoginCode&) = default;
};

}  // namespace assistant_event

// A plain value: copy, move, compare with ==. Build one with the static function named after
// its case (AssistantEvent::finished("Done", false, "abc")) or from a payload struct; inspect it
// with is<Case>() / as<Case>() or by visiting payload().
class AssistantEvent
    : public core::OneOf<assistant_event::SessionStarted, assistant_event::TextDelta,
                         assistant_event::AssistantText, assistant_event::ToolUse,
                         assistant_event::ToolResult, assistant_event::Finished,
                         assistant_event::AwaitingLoginCode> {
 public:
  using SessionStarted = assistant_event::SessionStarted;
  using TextDelta = assistant_event::TextDelta;
  using AssistantText = assistant_event::AssistantText;
  using ToolUse = assistant_event::ToolUse;
  using ToolResult = assistant_event::ToolResult;
  using Finished = assistant_event::Finished;
  using AwaitingLoginCode = assistant_event::AwaitingLoginCode;
  using OneOf::OneOf;
  static constexpr auto jsonCases =
      std::tuple{core::jsonCase<SessionStarted>("sessionStarted"),
                 core::jsonCase<TextDelta>("textDelta"),
                 core::jsonCase<AssistantText>("assistantText"),
                 core::jsonCase<ToolUse>("toolUse"),
                 core::jsonCase<ToolResult>("toolResult"),
                 core::jsonCase<Finished>("finished"),
                 core::jsonCase<AwaitingLoginCode>("awaitingLoginCode")};

  static AssistantEvent sessionStarted(std::string sessionID,
                                       std::optional<std::string> model = std::nullopt) {
    return SessionStarted{std::move(sessionID), std::move(model)};
  }
  static AssistantEvent textDelta(std::string text) { return TextDelta{std::move(text)}; }
  static AssistantEvent assistantText(std::string text) { return AssistantText{std::move(text)}; }
  static AssistantEvent toolUse(std::string id, std::string name, std::string inputSummary) {
    return ToolUse{std::move(id), std::move(name), std::move(inputSummary)};
  }
  static AssistantEvent toolResult(std::string id, bool isError, std::string summary) {
    return ToolResult{std::move(id), isError, std::move(summary)};
  }
  static AssistantEvent finished(std::string text, bool isError,
                                 std::optional<std::string> sessionID = std::nullopt) {
    return Finished{std::move(text), isError, std::move(sessionID)};
  }
  static AssistantEvent awaitingLoginCode() { return AwaitingLoginCode{}; }

  // The JSON member name of this event's case ("sessionStarted", …).
  std::string_view caseName() const { return core::caseName(*this); }

  // The label under which a client shows a tool name: what follows the last "__", so that
  // "mcp__tarno__tarno_list" shows as "tarno_list"; a name without "__" unchanged.
  static std::string displayName(std::string_view toolName);
};

}  // namespace tarno::assistant

namespace tarno::core {
// Events are decoded once per frame on the helper socket: their text goes through the decoder
// that reads simdjson's document directly (same rules, same errors).
template <>
assistant::AssistantEvent decodeFromString<assistant::AssistantEvent>(std::string_view text);
}  // namespace tarno::core

namespace tarno::assistant {

// Writes the event's JSON form (for logs and test failure messages).
std::ostream& operator<<(std::ostream& os, const AssistantEvent& event);

}  // namespace tarno::assistant
