// JSON coding of a run request, with the defaults old clients rely on.
#include "tarno/assistant/session/assistant_run_request.hpp"

namespace tarno::assistant {

void toJSON(core::JsonWriter& w, const AssistantRunRequest& request) {
  w.beginObject();
  w.member("prompt", request.prompt);
  w.member("model", request.model);
  w.optionalMember("resumeSessionID", request.resumeSessionID);
  w.member("allowCommit", request.allowCommit);
  w.optionalMember("context", request.context);
  w.member("engineID", request.engineID);
  w.endObject();
}

void fromJSON(const core::JsonValue& j, AssistantRunRequest& out, const core::CodingPath& path) {
  const core::ObjectReader r(j, path);
  r.required("prompt", out.prompt);
  r.required("model", out.model);
  r.optional("resumeSessionID", out.resumeSessionID);
  r.withDefault("allowCommit", out.allowCommit, false);
  r.optional("context", out.context);
  r.withDefault("engineID", out.engineID, std::string("claude"));
}

}  // namespace tarno::assistant
