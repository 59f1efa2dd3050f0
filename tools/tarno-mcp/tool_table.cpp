// The tool table: names and descriptions written for the model, schemas derived from the
// parameter records, and the tools/list answer built from them once.
#include "tool_table.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <map>
#include <tuple>
#include <utility>

#include "tarno/assistant/native/json_text.hpp"
#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/core/json_schema.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/library/adjustment_ranges.hpp"
#include "tarno/protocol/method_params.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::mcp {

namespace {

using core::JsonValue;
using protocol::IPCMethod;

constexpr std::string_view readsOnly = " Changes nothing.";
constexpr std::string_view staysInTarno = " Stored in tarno; the photo library is untouched.";
constexpr std::string_view writesLibrary =
    " Changes the user's photo library: only when the user allowed changes and asked for this "
    "in this turn.";

struct Described {
  IPCMethod method;
  std::string_view name;
  std::string_view description;
  std::string_view effect;
};

// Every method the native catalog does not already offer, in method order.
constexpr std::array<Described, 38> described{{
    {IPCMethod::ping, "tarno_ping",
     "Check that the app is running: its version, protocol version and photo count.", readsOnly},
    {IPCMethod::selection, "tarno_selection",
     "The ids of the photos selected in the grid, and the primary one.", readsOnly},
    {IPCMethod::label, "tarno_label", "Set a colour label, by colour name, on photos.",
     staysInTarno},
    {IPCMethod::editGet, "tarno_edit_get",
     "A photo's edit stack and its version; pass the version to tarno_edit as expectedVersion.",
     readsOnly},
    {IPCMethod::editSet, "tarno_edit", "", staysInTarno},  // described with the kinds below
    {IPCMethod::editCommit, "tarno_edit_commit",
     "Write a photo's tarno edits into the photo itself.", writesLibrary},
    {IPCMethod::previewRender, "tarno_preview",
     "Render a photo with its current edits and see the image (longEdge in pixels).", readsOnly},
    {IPCMethod::annotatePending, "tarno_annotate_pending",
     "Ids of photos that still need an AI annotation.", readsOnly},
    {IPCMethod::annotateSet, "tarno_annotate_set",
     "Store an AI annotation (caption, description, keywords, subjects, ...) of a photo; it "
     "makes the photo findable by content.",
     staysInTarno},
    {IPCMethod::similarFind, "tarno_similar",
     "Photos that look like a given photo (id) or image (imageBase64), closest first.", readsOnly},
    {IPCMethod::editorOpen, "tarno_open_editor",
     "Open a photo in the editor, or close the editor with open:false.",
     " Changes only what the app shows."},
    {IPCMethod::favorite, "tarno_favorite", "Mark photos as favourites, or unmark them.",
     writesLibrary},
    {IPCMethod::hide, "tarno_hide", "Hide photos, or show hidden ones again.", writesLibrary},
    {IPCMethod::delete_, "tarno_delete", "Delete photos.", writesLibrary},
    {IPCMethod::editReset, "tarno_edit_reset",
     "Remove all of a photo's edits, back to the original.", staysInTarno},
    {IPCMethod::collectionList, "tarno_collection_list",
     "tarno's collections: id, name, photo count.", readsOnly},
    {IPCMethod::collectionCreate, "tarno_collection_create",
     "Create a collection, optionally inside a parent and holding photos at once.", staysInTarno},
    {IPCMethod::collectionAdd, "tarno_collection_add",
     "Add photos to a collection named by id or by name.", staysInTarno},
    {IPCMethod::collectionRemove, "tarno_collection_remove",
     "Take photos out of a collection named by id or by name.", staysInTarno},
    {IPCMethod::keywordList, "tarno_keyword_list", "tarno's keywords: id, name, photo count.",
     readsOnly},
    {IPCMethod::keywordCreate, "tarno_keyword_create",
     "Create a keyword, optionally under a parent and assigned to photos at once.", staysInTarno},
    {IPCMethod::keywordAssign, "tarno_keyword_assign",
     "Assign a keyword, by id or by name, to photos.", staysInTarno},
    {IPCMethod::keywordRemove, "tarno_keyword_remove",
     "Take a keyword, by id or by name, off photos.", staysInTarno},
    {IPCMethod::albumList, "tarno_album_list", "The photo library's albums: id, title, count.",
     readsOnly},
    {IPCMethod::albumCreate, "tarno_album_create",
     "Create an album in the photo library, optionally holding photos at once.", writesLibrary},
    {IPCMethod::albumAdd, "tarno_album_add", "Add photos to an album named by id or by name.",
     writesLibrary},
    {IPCMethod::albumRemove, "tarno_album_remove",
     "Take photos out of an album named by id or by name.", writesLibrary},
    {IPCMethod::snapshotList, "tarno_snapshot_list",
     "The named snapshots of a photo's edits, with their dates.", readsOnly},
    {IPCMethod::snapshotSave, "tarno_snapshot_save",
     "Save a photo's current edits as a named snapshot to come back to.", staysInTarno},
    {IPCMethod::snapshotRestore, "tarno_snapshot_restore",
     "Replace a photo's edits with a named snapshot.", staysInTarno},
    {IPCMethod::exportRender, "tarno_export",
     "Render a photo with its edits into a new file (format, longEdge in pixels, quality 0-1) "
     "and get the file's path.",
     " Writes a new file only; the photo library is untouched."},
    {IPCMethod::exif, "tarno_exif",
     "The metadata stored in a photo's file: camera, lens, exposure, dates, location.", readsOnly},
    {IPCMethod::importAssets, "tarno_import",
     "Import image and video files, by path, into the photo library.", writesLibrary},
    {IPCMethod::videoCommit, "tarno_video_commit",
     "Write a video's trim (startSeconds, endSeconds) into the video itself.", writesLibrary},
    {IPCMethod::lutList, "tarno_lut_list",
     "The colour lookup tables the lut adjustment of tarno_edit can name.", readsOnly},
    {IPCMethod::geotag, "tarno_geotag",
     "Set photos' location (latitude and longitude, or a place name), or clear it.", writesLibrary},
    {IPCMethod::movieMake, "tarno_movie_make",
     "Make a movie of photos and videos, in the order given.", staysInTarno},
    {IPCMethod::movieList, "tarno_movie_list", "tarno's movies: id, name, clips, duration.",
     readsOnly},
}};

std::string number(double v) {
  std::array<char, 32> text{};
  const auto end = std::to_chars(text.data(), text.data() + text.size(), v).ptr;
  return {text.data(), end};
}

// The adjustment kinds as the edit tool takes them: scalar kinds grouped by range, neutral value
// and unit; the others with what their value is.
std::string adjustmentKinds() {
  std::map<std::tuple<double, double, double, std::string_view>, std::string> scalars;
  std::string others;
  for (const library::AdjustmentRange& r : library::adjustmentRanges) {
    const std::string_view kind = core::rawValue(r.kind);
    if (r.payload == library::PayloadCase::scalar) {
      std::string& group = scalars[{r.minimum, r.maximum, r.neutral, r.unit}];
      group += (group.empty() ? "" : ",") + std::string(kind);
    } else {
      others += others.empty() ? " " : "; ";
      others += kind;
      others += " (";
      others += core::rawValue(r.payload);
      others += ": ";
      others += r.unit;
      others += ')';
    }
  }
  std::string out = " Scalar kinds by range, neutral value and unit:";
  bool first = true;
  for (const auto& [key, kinds] : scalars) {
    const auto& [lo, hi, neutral, unit] = key;
    out += first ? " " : "; ";
    first = false;
    out += number(lo) + ".." + number(hi) + ", " + number(neutral) + ", " + std::string(unit) +
           ": " + kinds;
  }
  return out + ". Other kinds:" + others + '.';
}

std::string editDescription() {
  return "Change a photo's edits: each op sets one adjustment kind "
         "({\"kind\":\"exposure\",\"scalar\":0.5}) or removes it "
         "({\"kind\":\"exposure\",\"remove\":true}); maskOps change local masks. Pass "
         "expectedVersion from tarno_edit_get: a stale one changes nothing and fails. "
         "preview:true also shows the result." +
         std::string(staysInTarno) + adjustmentKinds();
}

// Only the members the record declares are decoded: a member it does not know goes to the app
// as it is, and should cost nothing here however long it is.
template <class P>
std::optional<std::string> checkAs(std::string_view arguments) {
  std::string box = R"({"params":{)";
  std::apply(
      [&](const auto&... field) {
        (
            [&] {
              const std::optional<std::string_view> value =
                  assistant::JsonText::member(arguments, field.name);
              if (!value) return;
              if (box.back() != '{') box += ',';
              box += '"';
              box += field.name;
              box += "\":";
              box += *value;
            }(),
            ...);
      },
      P::jsonFields);
  box += "}}";
  try {
    (void)protocol::RPC::decodeParams<P>(box);
    return std::nullopt;
  } catch (const core::DecodingError& error) {
    return error.what();
  }
}

using Checker = std::optional<std::string> (*)(std::string_view);

template <std::size_t... I>
constexpr std::array<Checker, sizeof...(I)> checkers(std::index_sequence<I...>) {
  return {&checkAs<protocol::MethodParams<core::allCases<IPCMethod>[I]>>...};
}
template <std::size_t... I>
std::array<JsonValue (*)(), sizeof...(I)> schemaMakers(std::index_sequence<I...>) {
  return {&core::jsonSchema<protocol::MethodParams<core::allCases<IPCMethod>[I]>>...};
}

constexpr auto methodIndices = std::make_index_sequence<core::allCases<IPCMethod>.size()>{};
constexpr auto checkerOf = checkers(methodIndices);

std::size_t indexOf(IPCMethod m) {
  std::size_t i = 0;
  while (core::allCases<IPCMethod>[i] != m)
    ++i;
  return i;
}

std::vector<Tool> makeTools() {
  std::vector<Tool> out;
  for (const assistant::NativeTool& tool : assistant::NativeToolCatalog::tools()) {
    out.push_back({tool.name, tool.description, tool.parameters, tool.method,
                   checkerOf[indexOf(tool.method)]});
  }
  const auto schemaOf = schemaMakers(methodIndices);
  for (const Described& d : described) {
    const std::size_t i = indexOf(d.method);
    std::string description = d.method == IPCMethod::editSet
                                  ? editDescription()
                                  : std::string(d.description) + std::string(d.effect);
    out.push_back(
        {std::string(d.name), std::move(description), schemaOf[i](), d.method, checkerOf[i]});
  }
  return out;
}

}  // namespace

const std::vector<Tool>& tools() {
  static const std::vector<Tool> all = makeTools();
  return all;
}

const Tool* findTool(std::string_view name) {
  for (const Tool& tool : tools()) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

const std::string& toolListJSON() {
  static const std::string text = [] {
    JsonValue::Array list;
    for (const Tool& tool : tools()) {
      list.push_back(JsonValue::Object{{"name", tool.name},
                                       {"description", tool.description},
                                       {"inputSchema", tool.inputSchema}});
    }
    std::string out;
    core::JsonWriter(out).value(JsonValue(JsonValue::Object{{"tools", std::move(list)}}));
    return out;
  }();
  return text;
}

}  // namespace tarno::mcp
