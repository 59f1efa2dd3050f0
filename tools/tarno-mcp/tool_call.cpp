#include "tool_call.hpp"

#include <optional>
#include <utility>

#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/protocol/edit_records.hpp"

namespace tarno::mcp {

namespace {

using core::JsonValue;
using protocol::IPCMethod;
using protocol::PreviewResult;

JsonValue textItem(std::string text) {
  return JsonValue::Object{{"type", "text"}, {"text", std::move(text)}};
}

JsonValue answer(JsonValue::Array content, bool isError) {
  return JsonValue::Object{{"content", std::move(content)}, {"isError", isError}};
}

JsonValue failure(std::string message) {
  return answer({textItem(std::move(message))}, true);
}

std::string compact(const JsonValue& value) {
  try {
    std::string out;
    core::JsonWriter(out).value(value);
    return out;
  } catch (const core::EncodingError&) {
    return {};
  }
}

std::string previewNote(const PreviewResult& preview) {
  return "preview " + std::to_string(preview.width) + "x" + std::to_string(preview.height) +
         " PNG of edit stack version " + std::to_string(preview.appliedStackVersion) +
         (preview.basedOnOriginal ? ", the original without edits" : ", edits applied");
}

// The image and a note on it, then whatever else the result says.
JsonValue previewAnswer(PreviewResult preview, std::optional<std::string> rest) {
  if (preview.pngBase64.size() > maxImageBase64Bytes) {
    return failure("the preview is too large to send (" + std::to_string(preview.pngBase64.size()) +
                   " bytes of Base64); ask for a smaller longEdge");
  }
  std::string note = previewNote(preview);
  if (rest) note += "; result: " + *rest;
  return answer(
      {JsonValue::Object{
           {"type", "image"}, {"data", std::move(preview.pngBase64)}, {"mimeType", "image/png"}},
       textItem(std::move(note))},
      false);
}

// Previews come as images; a result of an unexpected shape is shown as it came.
JsonValue resultAnswer(IPCMethod method, const JsonValue& result) {
  try {
    if (method == IPCMethod::previewRender) {
      return previewAnswer(core::decodeJSON<PreviewResult>(result), std::nullopt);
    }
    if (method == IPCMethod::editSet && result.find("preview") != nullptr) {
      auto edited = core::decodeJSON<protocol::EditSetResult>(result);
      if (edited.preview) {
        PreviewResult preview = std::move(*edited.preview);
        edited.preview.reset();
        return previewAnswer(std::move(preview), core::encodeToString(edited));
      }
    }
  } catch (const core::DecodingError&) {
  } catch (const core::EncodingError&) {
  }
  return answer({textItem(compact(result))}, false);
}

std::string requestLine(IPCMethod method, std::string_view argumentsJSON) {
  std::string line;
  core::JsonWriter w(line);
  w.beginObject();
  w.key("jsonrpc");
  w.string("2.0");
  w.key("id");
  w.integer(1);
  w.key("method");
  w.string(core::rawValue(method));
  w.endObject();
  // The arguments go as they came: members the record does not declare reach the app too.
  line.pop_back();
  line += R"(,"params":)";
  line += argumentsJSON;
  line += '}';
  return line;
}

}  // namespace

JsonValue callTool(const Tool& tool, std::string_view argumentsJSON, const Dispatch& dispatch) {
  if (std::optional<std::string> wrong = tool.check(argumentsJSON)) return failure(*wrong);
  const std::optional<JsonValue> response =
      core::parseJsonIfValid(dispatch(requestLine(tool.method, argumentsJSON)));
  if (!response || !response->isObject()) return failure("no response");
  if (const JsonValue* error = response->find("error"); error && error->isObject()) {
    const JsonValue* message = error->find("message");
    const std::string* text = message ? message->asString() : nullptr;
    return failure(text ? *text : "tool error");
  }
  if (const JsonValue* result = response->find("result")) return resultAnswer(tool.method, *result);
  return answer({textItem("ok")}, false);
}

}  // namespace tarno::mcp
