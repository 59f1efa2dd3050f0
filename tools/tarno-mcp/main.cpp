// tarno-mcp: the Model Context Protocol server that gives the claude CLI the app's tools. It
// speaks newline-delimited JSON-RPC 2.0 on standard input and output, offers a tool for every
// method of the app (tool_table.hpp) and carries each tool call to the app's IPC socket.
//
//   tarno-mcp [--ipc SOCKET]
//
// Standard output carries nothing but answers, one per line; standard error has notes only with
// TARNO_ASSISTANT_LOG=debug. Requests are answered one at a time, in order, each tool call
// within the app dispatch's time limit. Only JSON-RPC 2.0 requests are served: "jsonrpc" must
// be "2.0" and an id a string, a number or null. Exit status 0 at the end of the input, 1 when the
// answers can no longer be written, 2 for a usage error.
#include <malloc.h>
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
#include "tarno/assistant/native/json_text.hpp"
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
namespace JsonText = assistant::JsonText;

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

// One answer line: {"jsonrpc":"2.0","id":…,"result"|"error":…}, with the request's id as it
// was written (a string, a number or null) and the body that `writeBody` writes.
template <class WriteBody>
std::string answer(std::string_view id, std::string_view kind, WriteBody&& writeBody,
                   std::size_t bodySize = 0) {
  std::string out = R"({"jsonrpc":"2.0","id":)";
  // Room for the body at once: doubling the buffer of a large answer would copy it.
  out.reserve(id.size() + bodySize + 128);
  JsonText::appendCompact(out, id);
  out += ",\"";
  out += kind;
  out += "\":";
  core::JsonWriter w(out);
  writeBody(w);
  out += '}';
  return out;
}

std::string answer(std::string_view id, const JsonValue& result) {
  return answer(id, "result", [&](core::JsonWriter& w) { w.value(result); });
}

// A result that is JSON text already.
std::string answerWithText(std::string_view id, std::string_view result) {
  return answer(
      id, "result", [&](core::JsonWriter& w) { w.output() += result; }, result.size());
}

std::string refusal(std::string_view id, const Refusal& refused) {
  if (assistant::diagnostics::debugEnabled()) debug("refused: " + refused.message);
  return answer(id, "error", [&](core::JsonWriter& w) {
    w.beginObject();
    w.key("code");
    w.integer(core::integerRawValue(refused.code));
    w.key("message");
    w.string(refused.message);
    w.endObject();
  });
}

bool isString(std::optional<std::string_view> value, std::string_view text) {
  return value && JsonText::kind(*value) == JsonText::Kind::string &&
         JsonText::decoded(*value) == text;
}

// The request's own text is all there is of it: the arguments of a call go to the app as they
// were written, and only the few members that decide what to do are looked at. A value tree of
// a line could take many times the line.
class Server {
 public:
  explicit Server(std::string socketPath) : socketPath_(std::move(socketPath)) {}

  // The answer to a line longer than the app would take.
  static std::string answerOverlongLine() {
    return refusal("null", {RPCErrorCode::parseError,
                            "parse error: longer than " + std::to_string(maxLineBytes) + " bytes"});
  }

  // The answer to one line of input; nothing for notifications, responses and blank lines.
  std::optional<std::string> answerLine(std::string_view line) const {
    using JsonText::Kind;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return std::nullopt;
    if (!JsonText::isValid(line)) {
      return refusal("null", {RPCErrorCode::parseError, "parse error: not JSON"});
    }
    if (JsonText::kind(line) != Kind::object) {
      return refusal("null", {RPCErrorCode::invalidRequest, "invalid request: not an object"});
    }
    const std::optional<std::string_view> id = JsonText::member(line, "id");
    const std::optional<std::string_view> method = JsonText::member(line, "method");
    // We send no requests, so a response has nothing to answer.
    if (!method && id && (JsonText::member(line, "result") || JsonText::member(line, "error"))) {
      return std::nullopt;
    }
    const Kind idKind = id ? JsonText::kind(*id) : Kind::null;
    const bool idUsable = idKind == Kind::string || idKind == Kind::number || idKind == Kind::null;
    // An id that cannot be echoed is answered with null, as one that could not be read.
    const std::string_view echoed = id && idUsable ? *id : "null";
    if (!isString(JsonText::member(line, "jsonrpc"), "2.0")) {
      return refusal(echoed, {RPCErrorCode::invalidRequest, "invalid request: not JSON-RPC 2.0"});
    }
    if (!idUsable) {
      return refusal(echoed, {RPCErrorCode::invalidRequest,
                              "invalid request: the id is not a string, a number or null"});
    }
    if (!method || JsonText::kind(*method) != Kind::string) {
      return refusal(echoed, {RPCErrorCode::invalidRequest, "invalid request: no method name"});
    }
    const std::string name = JsonText::decoded(*method);
    if (assistant::diagnostics::debugEnabled()) {
      debug("received " + name + (id ? "" : " (notification)"));
    }
    if (!id) return std::nullopt;
    try {
      return handle(*id, name, JsonText::member(line, "params"));
    } catch (const Refusal& refused) {
      return refusal(*id, refused);
    }
  }

 private:
  // Methods that take no parameters ignore whatever comes as them.
  std::string handle(std::string_view id, std::string_view method,
                     std::optional<std::string_view> params) const {
    if (method == "initialize") return answer(id, initialize(objectParams(params)));
    if (method == "ping") return answer(id, JsonValue::Object{});
    // Built once: every client asks for it, some of them often.
    if (method == "tools/list") return answerWithText(id, mcp::toolListJSON());
    if (method == "tools/call") return callTool(id, objectParams(params));
    throw Refusal{RPCErrorCode::methodNotFound, "method not found: " + std::string(method)};
  }

  static std::string_view objectParams(std::optional<std::string_view> params) {
    if (!params || JsonText::kind(*params) != JsonText::Kind::object) {
      throw Refusal{RPCErrorCode::invalidParams, "invalid params: expected an object"};
    }
    return *params;
  }

  static JsonValue initialize(std::string_view params) {
    const std::optional<std::string_view> asked = JsonText::member(params, "protocolVersion");
    std::string_view version = protocolVersions.back();
    for (std::string_view known : protocolVersions) {
      if (isString(asked, known)) version = known;
    }
    return JsonValue::Object{
        {"protocolVersion", version},
        {"capabilities", JsonValue::Object{{"tools", JsonValue::Object{{"listChanged", false}}}}},
        {"serverInfo", JsonValue::Object{{"name", "tarno"}, {"version", TARNO_PROJECT_VERSION}}}};
  }

  std::string callTool(std::string_view id, std::string_view params) const {
    const std::optional<std::string_view> nameMember = JsonText::member(params, "name");
    if (!nameMember || JsonText::kind(*nameMember) != JsonText::Kind::string) {
      throw Refusal{RPCErrorCode::invalidParams, "invalid params: no tool name"};
    }
    const std::string name = JsonText::decoded(*nameMember);
    const mcp::Tool* tool = mcp::findTool(name);
    if (!tool) throw Refusal{RPCErrorCode::invalidParams, "unknown tool '" + name + "'"};
    std::optional<std::string_view> arguments = JsonText::member(params, "arguments");
    if (arguments && JsonText::kind(*arguments) == JsonText::Kind::null) arguments.reset();
    if (arguments && JsonText::kind(*arguments) != JsonText::Kind::object) {
      throw Refusal{RPCErrorCode::invalidParams, "invalid params: arguments are not an object"};
    }
    const std::string result =
        mcp::callTool(*tool, arguments.value_or("{}"), [this](const std::string& request) {
          return assistant::AppDispatch::call(socketPath_, request);
        });
    if (assistant::diagnostics::debugEnabled()) debug("called " + name);
    return answerWithText(id, result);
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
  // A line, the request made of it and the app's answer are each up to a frame: given back to
  // the system once freed, rather than kept by the allocator for the next line.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
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
  // A last line without its line feed still counts; one being dropped is dropped whole.
  if (writable && lines.dropping()) {
    refuse();
  } else if (writable && !lines.remainder().empty()) {
    answer(lines.takeRemainder());
  }
  return writable && readable ? 0 : 1;
}
