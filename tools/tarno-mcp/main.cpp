// tarno-mcp: the Model Context Protocol server that gives the claude CLI the app's tools. It
// speaks newline-delimited JSON-RPC 2.0 on standard input and output, offers a tool for every
// method of the app (tool_table.hpp) and carries each tool call to the app's IPC socket.
//
//   tarno-mcp [--ipc SOCKET]
//
// Standard output carries nothing but answers, one per line; standard error has notes only with
// TARNO_ASSISTANT_LOG=debug. Requests are answered one at a time, in order, each tool call
// within the app dispatch's time limit. Exit status 0 at the end of the input, 1 when the
// answers can no longer be written, 2 for a usage error.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarno/assistant/native/app_dispatch.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/line_cutter.hpp"
#include "tarno/protocol/frame_codec.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"
#include "tarno/protocol/rpc.hpp"
#include "tool_call.hpp"
#include "tool_table.hpp"

#ifndef TARNO_PROJECT_VERSION
#error "the build defines TARNO_PROJECT_VERSION"
#endif

namespace {

using namespace tarno;
using core::JsonValue;
using protocol::RPCErrorCode;

// Newest last: a client that asks for another version gets the newest.
constexpr std::array<std::string_view, 4> protocolVersions{"2024-11-05", "2025-03-26", "2025-06-18",
                                                           "2025-11-25"};

// The app refuses frames beyond this, so a longer line could never become a call anyway.
constexpr std::size_t maxLineBytes = protocol::FrameCodec::maxFrameBytes;

void debug(std::string_view message) {
  if (!assistant::diagnostics::debugEnabled()) return;
  std::string line = "tarno-mcp: ";
  line += message;
  line += '\n';
  (void)assistant::writeAll(STDERR_FILENO, line);
}

// A failed request: the code and the message of its JSON-RPC error.
struct Refusal {
  RPCErrorCode code;
  std::string message;
};

// One answer line: {"jsonrpc":"2.0","id":…,"result"|"error":…}.
std::string answer(const JsonValue& id, std::string_view kind, const JsonValue& body) {
  std::string out;
  core::JsonWriter w(out);
  w.beginObject();
  w.key("jsonrpc");
  w.string("2.0");
  w.key("id");
  w.value(id);
  w.key(kind);
  w.value(body);
  w.endObject();
  return out;
}

// The same with a result given as JSON text.
std::string answerWithText(const JsonValue& id, std::string_view resultJSON) {
  std::string out;
  core::JsonWriter w(out);
  w.beginObject();
  w.key("jsonrpc");
  w.string("2.0");
  w.key("id");
  w.value(id);
  out += R"(,"result":)";
  out += resultJSON;
  out += '}';
  return out;
}

std::string refusal(const JsonValue& id, const Refusal& refused) {
  debug("refused: " + refused.message);
  const std::int64_t code = core::integerRawValue(refused.code);
  return answer(id, "error", JsonValue::Object{{"code", code}, {"message", refused.message}});
}

class Server {
 public:
  explicit Server(std::string socketPath) : socketPath_(std::move(socketPath)) {}

  // The answer to a line longer than the app would take.
  static std::string answerOverlongLine() {
    return refusal(nullptr,
                   {RPCErrorCode::parseError,
                    "parse error: longer than " + std::to_string(maxLineBytes) + " bytes"});
  }

  // The answer to one line of input; nothing for notifications, responses and blank lines.
  std::optional<std::string> answerLine(std::string_view line) const {
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return std::nullopt;
    const std::optional<JsonValue> message = core::parseJsonIfValid(line);
    if (!message) return refusal(nullptr, {RPCErrorCode::parseError, "parse error: not JSON"});
    if (!message->isObject()) {
      return refusal(nullptr, {RPCErrorCode::invalidRequest, "invalid request: not an object"});
    }
    const JsonValue* id = message->find("id");
    const JsonValue* method = message->find("method");
    // We send no requests, so a response has nothing to answer.
    if (!method && id && (message->find("result") || message->find("error"))) return std::nullopt;
    const std::string* name = method ? method->asString() : nullptr;
    if (!name) {
      return refusal(id ? *id : nullptr,
                     {RPCErrorCode::invalidRequest, "invalid request: no method name"});
    }
    debug("received " + *name + (id ? "" : " (notification)"));
    if (!id) return std::nullopt;
    // Built once: every client asks for it, some of them often.
    if (*name == "tools/list") return answerWithText(*id, mcp::toolListJSON());
    try {
      return answer(*id, "result", handle(*name, message->find("params")));
    } catch (const Refusal& refused) {
      return refusal(*id, refused);
    }
  }

 private:
  // Methods that take no parameters ignore whatever comes as them.
  JsonValue handle(std::string_view method, const JsonValue* params) const {
    if (method == "initialize") return initialize(objectParams(params));
    if (method == "ping") return JsonValue::Object{};
    if (method == "tools/call") return callTool(objectParams(params));
    throw Refusal{RPCErrorCode::methodNotFound, "method not found: " + std::string(method)};
  }

  static const JsonValue& objectParams(const JsonValue* params) {
    if (!params || !params->isObject()) {
      throw Refusal{RPCErrorCode::invalidParams, "invalid params: expected an object"};
    }
    return *params;
  }

  static JsonValue initialize(const JsonValue& params) {
    const JsonValue* asked = params.find("protocolVersion");
    const std::string* wanted = asked ? asked->asString() : nullptr;
    std::string_view version = protocolVersions.back();
    for (std::string_view known : protocolVersions) {
      if (wanted && *wanted == known) version = known;
    }
    return JsonValue::Object{
        {"protocolVersion", version},
        {"capabilities", JsonValue::Object{{"tools", JsonValue::Object{{"listChanged", false}}}}},
        {"serverInfo", JsonValue::Object{{"name", "tarno"}, {"version", TARNO_PROJECT_VERSION}}}};
  }

  JsonValue callTool(const JsonValue& params) const {
    const JsonValue* nameMember = params.find("name");
    const std::string* name = nameMember ? nameMember->asString() : nullptr;
    if (!name) throw Refusal{RPCErrorCode::invalidParams, "invalid params: no tool name"};
    const mcp::Tool* tool = mcp::findTool(*name);
    if (!tool) throw Refusal{RPCErrorCode::invalidParams, "unknown tool '" + *name + "'"};
    const JsonValue* arguments = params.find("arguments");
    if (arguments && arguments->isNull()) arguments = nullptr;
    if (arguments && !arguments->isObject()) {
      throw Refusal{RPCErrorCode::invalidParams, "invalid params: arguments are not an object"};
    }
    std::string argumentsJSON = "{}";
    if (arguments) {
      argumentsJSON.clear();
      core::JsonWriter(argumentsJSON).value(*arguments);
    }
    JsonValue result = mcp::callTool(*tool, argumentsJSON, [this](const std::string& request) {
      return assistant::AppDispatch::call(socketPath_, request);
    });
    debug("called " + *name);
    return result;
  }

  std::string socketPath_;
};

int usage() {
  (void)assistant::writeAll(STDERR_FILENO, "tarno-mcp: usage: tarno-mcp [--ipc <socket path>]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A client that goes away must fail our writes, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  std::optional<std::string> ipc;
  if (argc == 3 && std::string_view(argv[1]) == "--ipc") {
    ipc = argv[2];
  } else if (argc != 1) {
    return usage();
  }
  // The home directory is looked up only when no socket is named.
  const Server server(ipc.value_or(protocol::IPCEndpoint::clientSocketPath()));

  bool writable = true;
  const auto send = [&](std::optional<std::string> out) {
    if (!out) return;
    *out += '\n';
    writable = writable && assistant::writeAll(STDOUT_FILENO, *out);
  };
  // An overlong line is dropped as it arrives and answered once, when its end comes.
  const auto answer = [&](std::string_view line) { send(server.answerLine(line)); };
  const auto refuse = [&] { send(Server::answerOverlongLine()); };
  core::LineCutter lines;
  std::vector<char> buffer(64 * 1024);
  bool readable = true;
  while (writable) {
    const assistant::ReadResult read =
        assistant::readWithin(STDIN_FILENO, buffer, std::chrono::milliseconds(-1));
    // Only the end of input is a normal end; a read error (a directory, say) is a failure.
    readable = read.status != assistant::ReadResult::Status::failed;
    if (read.status != assistant::ReadResult::Status::data) break;
    lines.append({buffer.data(), read.size}, maxLineBytes, answer, refuse);
  }
  // A last line without its line feed still counts.
  if (writable && lines.dropping()) refuse();
  if (writable && !lines.remainder().empty()) answer(lines.takeRemainder());
  return writable && readable ? 0 : 1;
}
