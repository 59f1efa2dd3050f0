// Who last set an adjustment: the user, an AI agent in a session, a preset, or nobody known.
#pragma once

#include <string>

#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"

namespace tarno::core {

namespace edit_origin {
struct User {
  friend bool operator==(const User&, const User&) = default;
};
struct AIPayload {
  std::string agent{};
  std::string sessionId{};
  static constexpr auto jsonFields = std::tuple{required("agent", &AIPayload::agent),
                                                required("sessionId", &AIPayload::sessionId)};
  friend bool operator==(const AIPayload&, const AIPayload&) = default;
};
struct PresetPayload {
  std::string id{};
  static constexpr auto jsonFields = std::tuple{required("id", &PresetPayload::id)};
  friend bool operator==(const PresetPayload&, const PresetPayload&) = default;
};
struct Unknown {
  friend bool operator==(const Unknown&, const Unknown&) = default;
};
}  // namespace edit_origin

// A plain value; the default is unknown.
class EditOrigin : public OneOf<edit_origin::Unknown, edit_origin::User, edit_origin::AIPayload,
                                edit_origin::PresetPayload> {
 public:
  using User = edit_origin::User;
  using AIPayload = edit_origin::AIPayload;
  using PresetPayload = edit_origin::PresetPayload;
  using Unknown = edit_origin::Unknown;
  using OneOf::OneOf;
  static constexpr auto jsonCases =
      std::tuple{jsonCase<User>("user"), jsonCase<AIPayload>("ai"),
                 jsonCase<PresetPayload>("preset"), jsonCase<Unknown>("unknown")};

  static EditOrigin user() { return User{}; }
  static EditOrigin ai(std::string agent, std::string sessionId) {
    return AIPayload{std::move(agent), std::move(sessionId)};
  }
  static EditOrigin preset(std::string id) { return PresetPayload{std::move(id)}; }
  static EditOrigin unknown() { return Unknown{}; }
};

// Never fails: stored stacks keep their values even when a writer recorded an origin this
// version cannot read. Anything unreadable becomes unknown; a "user" member wins whatever it
// holds, then a readable "ai", then a readable "preset".
void fromJSON(const JsonValue& j, EditOrigin& out, const CodingPath& path);

}  // namespace tarno::core
