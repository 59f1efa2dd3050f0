#include "tool_call.hpp"

#include <optional>
#include <utility>

#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::mcp {

namespace {

using assistant::NativeAgentRunner::ToolOutcome;
using protocol::IPCMethod;
using protocol::PreviewResult;

struct Item {
  std::string_view type;  // "text" or "image"
  std::string_view data;  // the text, or the image's Base64
};

std::string answer(std::initializer_list<Item> content, bool isError) {
  std::string out;
  core::JsonWriter w(out);
  w.beginObject();
  w.key("content");
  w.beginArray();
  for (const Item& item : content) {
    w.beginObject();
    w.key("type");
    w.string(item.type);
    if (item.type == "image") {
      w.key("data");
      w.string(item.data);
      w.key("mimeType");
      w.string("image/png");
    } else {
      w.key("text");
      w.string(item.data);
    }
    w.endObject();
  }
  w.endArray();
  w.key("isError");
  w.boolean(isError);
  w.endObject();
  return out;
}

std::string textAnswer(const ToolOutcome& outcome) {
  return answer({{"text", outcome.text}}, outcome.isError);
}

std::string previewNote(const PreviewResult& preview) {
  return "preview " + std::to_string(preview.width) + "x" + std::to_string(preview.height) +
         " PNG of edit stack version " + std::to_string(preview.appliedStackVersion) +
         (preview.basedOnOriginal ? ", the original without edits" : ", edits applied");
}

// The image and a note on it, then whatever else the result says.
std::string previewAnswer(const PreviewResult& preview, const std::string* rest) {
  if (preview.pngBase64.size() > maxImageBase64Bytes) {
    return answer(
        {{"text", "the preview is too large to send (" + std::to_string(preview.pngBase64.size()) +
                      " bytes of Base64); ask for a smaller longEdge"}},
        true);
  }
  std::string note = previewNote(preview);
  if (rest) note += "; result: " + *rest;
  return answer({{"image", preview.pngBase64}, {"text", note}}, false);
}

// Previews come as images; a result of another shape is shown as it came.
std::string resultAnswer(IPCMethod method, const ToolOutcome& outcome) {
  const bool edit = method == IPCMethod::editSet;
  if (outcome.isError || (method != IPCMethod::previewRender && !edit)) return textAnswer(outcome);
  try {
    if (!edit) return previewAnswer(protocol::RPC::decode<PreviewResult>(outcome.text), nullptr);
    auto edited = protocol::RPC::decode<protocol::EditSetResult>(outcome.text);
    if (!edited.preview) return textAnswer(outcome);
    const PreviewResult preview = std::move(*edited.preview);
    edited.preview.reset();
    const std::string rest = core::encodeToString(edited);
    return previewAnswer(preview, &rest);
  } catch (const core::DecodingError&) {
  } catch (const core::EncodingError&) {
  }
  return textAnswer(outcome);
}

}  // namespace

std::string callTool(const Tool& tool, std::string_view argumentsJSON,
                     const assistant::NativeAgentRunner::Dispatch& dispatch) {
  if (std::optional<std::string> wrong = tool.check(argumentsJSON)) {
    return answer({{"text", *wrong}}, true);
  }
  const ToolOutcome outcome = assistant::NativeAgentRunner::runMethod(
      tool.method, argumentsJSON, dispatch, assistant::NativeAgentRunner::ResultText::wholeJSON);
  return resultAnswer(tool.method, outcome);
}

}  // namespace tarno::mcp
