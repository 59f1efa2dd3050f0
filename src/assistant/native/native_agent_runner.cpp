// The native tool-calling loop: one thread per turn, the conversation as JSON values, tools
// carried out through the caller's dispatch function.
#include "tarno/assistant/native/native_agent_runner.hpp"

#include <exception>
#include <optional>
#include <stop_token>
#include <system_error>
#include <utility>
#include <vector>

#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/native/json_text.hpp"
#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/assistant/support/thread_owner.hpp"
#include "tarno/core/text.hpp"
#include "tarno/core/uuid.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::assistant {

namespace {

using core::JsonValue;
using Continuation = EventStream<AssistantEvent>::Continuation;

// The turns' threads, joined at process exit before the state they use goes: the HTTP
// library's, the catalog, the JSON parser's choice of implementation. A host that leaves while
// a turn is under way (its reader gone) must not pull these from under it, and statics made
// first are destroyed last.
ThreadOwner& turnThreads() {
  static const bool usedStateFirst =
      (ChatClient::initialiseTransport(), NativeToolCatalog::tools(), NativeToolCatalog::schema(),
       core::parseJsonIfValid("{}"), core::isValidUTF8("{}"), true);
  static ThreadOwner owner;
  (void)usedStateFirst;
  return owner;
}

JsonValue message(std::string_view role, std::string content) {
  return JsonValue::Object{{"role", role}, {"content", std::move(content)}};
}

// The addendum and the app's context, those that are there, one paragraph each.
std::string systemText(const std::string& addendum, const std::optional<std::string>& context) {
  std::string text = addendum;
  if (context && !context->empty()) {
    if (!text.empty()) text += "\n\n";
    text += *context;
  }
  return text;
}

std::string stringMember(const JsonValue& object, std::string_view key, std::string fallback) {
  const JsonValue* member = object.find(key);
  const std::string* text = member ? member->asString() : nullptr;
  return text ? *text : std::move(fallback);
}

struct ToolCall {
  std::string id;
  std::string name;
  std::string arguments;
};

// The calls of an assistant message; none unless "tool_calls" is an array of objects only.
std::vector<ToolCall> toolCalls(const JsonValue& reply) {
  const JsonValue* member = reply.find("tool_calls");
  const JsonValue::Array* list = member ? member->asArray() : nullptr;
  if (list == nullptr) return {};
  std::vector<ToolCall> calls;
  for (const JsonValue& call : *list) {
    if (!call.isObject()) return {};
    const JsonValue* function = call.find("function");
    const JsonValue noFunction;
    const JsonValue& named = function ? *function : noFunction;
    calls.push_back({stringMember(call, "id", core::Uuid::random().string()),
                     stringMember(named, "name", "tool"), stringMember(named, "arguments", "{}")});
  }
  return calls;
}

std::string unreachableMessage(const NativeModelConfig& config, std::string_view description) {
  std::string text = "Couldn't reach the local model at " + config.endpoint + " (" + config.model +
                     "). Is your model server running? (";
  text += description;
  text += ')';
  return text;
}

struct Turn {
  AssistantRunRequest request;
  NativeAgentRunner::ConfigProvider configProvider;
  std::string systemAddendum;
  NativeAgentRunner::Dispatch dispatch;
  ChatOptions chatOptions;

  void run(const Continuation& out, const std::stop_token& stop) const {
    const NativeModelConfig config = configProvider();
    JsonValue::Array conversation{message("system", systemText(systemAddendum, request.context)),
                                  message("user", request.prompt)};
    ChatClient client(chatOptions, stop);
    for (int step = 0;; ++step) {
      if (stop.stop_requested()) {
        out.yield(AssistantEvent::finished("", false));
        return;
      }
      try {
        conversation.push_back(client.chat(config, conversation));
      } catch (const std::exception& error) {
        out.yield(AssistantEvent::finished(unreachableMessage(config, error.what()), true));
        return;
      }
      const std::vector<ToolCall> calls = toolCalls(conversation.back());
      if (calls.empty()) {
        out.yield(
            AssistantEvent::finished(stringMember(conversation.back(), "content", ""), false));
        return;
      }
      for (const ToolCall& call : calls) {
        // What a cancelled turn still did would be discarded, and one answer may ask for
        // thousands of calls, each allowed the dispatch's whole time limit.
        if (stop.stop_requested()) break;
        out.yield(AssistantEvent::toolUse(call.id, TarnoAssistantConfig::toolName(call.name),
                                          call.arguments));
        NativeAgentRunner::ToolOutcome outcome =
            NativeAgentRunner::runTool(call.name, call.arguments, dispatch);
        out.yield(AssistantEvent::toolResult(call.id, outcome.isError, outcome.text));
        conversation.push_back(JsonValue::Object{
            {"role", "tool"}, {"tool_call_id", call.id}, {"content", std::move(outcome.text)}});
      }
      if (step == NativeAgentRunner::stepLimit - 1) {
        out.yield(AssistantEvent::finished(
            "Stopped after " + std::to_string(NativeAgentRunner::stepLimit) + " steps.", false));
        return;
      }
    }
  }
};

}  // namespace

NativeAgentRunner::ToolOutcome NativeAgentRunner::runTool(std::string_view name,
                                                          std::string_view argumentsJSON,
                                                          const Dispatch& dispatch,
                                                          ResultText form) {
  const std::optional<protocol::IPCMethod> method = NativeToolCatalog::method(name);
  if (!method) return {"unknown tool '" + std::string(name) + "'", true};
  return runMethod(*method, argumentsJSON, dispatch, form);
}

NativeAgentRunner::ToolOutcome NativeAgentRunner::runMethod(protocol::IPCMethod method,
                                                            std::string_view argumentsJSON,
                                                            const Dispatch& dispatch,
                                                            ResultText form) {
  using JsonText::Kind;
  // The arguments and the answer travel as their text; a value tree of either could take many
  // times its size, and a re-encoding could lengthen it beyond what a frame holds.
  std::string request = protocol::RPC::encodeRequest(protocol::RPCID::number(1), method);
  request.pop_back();  // its closing brace: the parameters go last
  request += R"(,"params":)";
  request.reserve(request.size() + argumentsJSON.size() + 2);  // the closing brace included
  if (JsonText::isValid(argumentsJSON) && JsonText::kind(argumentsJSON) == Kind::object) {
    JsonText::appendCompact(request, argumentsJSON);
  } else {
    request += "{}";
  }
  request += '}';
  std::string response = dispatch(request);
  std::string().swap(request);

  if (!JsonText::isValid(response) || JsonText::kind(response) != Kind::object) {
    return {"no response", true};
  }
  if (const auto error = JsonText::member(response, "error");
      error && JsonText::kind(*error) == Kind::object) {
    const auto message = JsonText::member(*error, "message");
    if (!message || JsonText::kind(*message) != Kind::string) return {"tool error", true};
    return {JsonText::decoded(*message), true};
  }
  const std::optional<std::string_view> result = JsonText::member(response, "result");
  if (!result) return {"ok", false};
  if (form == ResultText::wholeJSON) return {JsonText::compact(*result), false};
  // Strings as they are for the local model; anything else as its JSON text.
  const std::string text = JsonText::kind(*result) == Kind::string ? JsonText::decoded(*result)
                                                                   : JsonText::compact(*result);
  return {core::prefixCharacters(text, toolResultCharacterLimit), false};
}

EventStream<AssistantEvent> NativeAgentRunner::stream(AssistantRunRequest request,
                                                      ConfigProvider configProvider,
                                                      std::string systemAddendum, Dispatch dispatch,
                                                      ChatOptions chatOptions) {
  auto made = EventStream<AssistantEvent>::make();
  const Continuation& continuation = made.second;
  // The consumer leaving cancels the turn; so does process exit, through the thread's token.
  std::stop_source cancel;
  continuation.onTermination([cancel](Termination why) mutable {
    if (why == Termination::cancelled) cancel.request_stop();
  });
  Turn turn{std::move(request), std::move(configProvider), std::move(systemAddendum),
            std::move(dispatch), chatOptions};
  try {
    turnThreads().start("native", [turn = std::move(turn), continuation,
                                   cancel](std::stop_token threadStop) mutable {
      std::stop_callback forward(threadStop, [&cancel] { cancel.request_stop(); });
      try {
        turn.run(continuation, cancel.get_token());
      } catch (const std::exception& error) {
        // A throwing provider or dispatch still ends the turn with its one finished event.
        continuation.yield(AssistantEvent::finished(error.what(), true));
      }
      continuation.finish();
    });
  } catch (const std::system_error& error) {
    continuation.yield(AssistantEvent::finished(
        "couldn't start the native turn: " + core::decodeUTF8Lossy(error.code().message()), true));
    continuation.finish();
  }
  return std::move(made.first);
}

}  // namespace tarno::assistant
