// One assistant turn against the local model with tool calling: the model's tool calls are
// carried out as JSON-RPC requests to the app through the caller's dispatch function, their
// results fed back, until the model answers without tool calls or the step limit is reached.
// The turn reports the same events as the CLI engine: toolUse/toolResult pairs, then exactly
// one finished (never a session id: a native turn cannot be resumed).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "tarno/assistant/native/chat_client.hpp"
#include "tarno/assistant/native/native_model_config.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/event_stream.hpp"
#include "tarno/protocol/ipc_method.hpp"

namespace tarno::assistant::NativeAgentRunner {

// Called once per turn, on the turn's thread.
using ConfigProvider = std::function<NativeModelConfig()>;
// Given the bytes of one JSON-RPC request, the bytes of the app's response. It cannot fail: a
// failure is an error response or bytes that are not a JSON object. Called on the turn's
// thread, one call at a time per turn.
using Dispatch = std::function<std::string(const std::string& request)>;

// Model answers with tool calls acted on per turn.
inline constexpr int stepLimit = 8;
// Tool results are cut to this many user-perceived characters.
inline constexpr std::size_t toolResultCharacterLimit = 1500;

struct ToolOutcome {
  std::string text;
  bool isError = false;
  friend bool operator==(const ToolOutcome&, const ToolOutcome&) = default;
};

// Returns at once; the turn runs on a thread of its own. Of the request only `prompt` and
// `context` are used. Dropping or cancelling the stream stops the turn before its next model
// call (a model call under way is abandoned); what it emits after that is discarded.
EventStream<AssistantEvent> stream(AssistantRunRequest request, ConfigProvider configProvider,
                                   std::string systemAddendum, Dispatch dispatch,
                                   ChatOptions chatOptions = {});

// How a result becomes text: for the local model, a string as it is and everything cut to
// toolResultCharacterLimit; for hosts whose model takes more (an MCP server), compact JSON whole.
// JSON text stays as the app wrote it but for whitespace: numbers keep their digits and strings
// their escapes.
enum class ResultText { forLocalModel, wholeJSON };

// One tool call by its bare name: the result text and whether it is an error. The arguments
// reach the app as their text (an empty object unless they are a JSON object), without their
// whitespace; neither they nor the answer become a value tree.
ToolOutcome runTool(std::string_view name, std::string_view argumentsJSON, const Dispatch& dispatch,
                    ResultText form = ResultText::forLocalModel);

// The same for a method named directly, for hosts that offer tools beyond the catalog's.
ToolOutcome runMethod(protocol::IPCMethod method, std::string_view argumentsJSON,
                      const Dispatch& dispatch, ResultText form = ResultText::forLocalModel);

}  // namespace tarno::assistant::NativeAgentRunner
