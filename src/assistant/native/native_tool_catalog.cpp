// The catalog's table, and the JSON forms built from it once.
#include "tarno/assistant/native/native_tool_catalog.hpp"

#include <initializer_list>

namespace tarno::assistant {

namespace {

using core::JsonValue;
using protocol::IPCMethod;

enum class Type { integer, string, boolean, stringArray };

struct Property {
  std::string_view name;
  Type type;
};

JsonValue propertySchema(Type type) {
  switch (type) {
    case Type::integer:
      return JsonValue::Object{{"type", "integer"}};
    case Type::string:
      return JsonValue::Object{{"type", "string"}};
    case Type::boolean:
      return JsonValue::Object{{"type", "boolean"}};
    case Type::stringArray:
      break;
  }
  return JsonValue::Object{{"type", "array"}, {"items", JsonValue::Object{{"type", "string"}}}};
}

// The arguments schema: an object with these properties; "required" only when some are.
JsonValue objectSchema(std::initializer_list<Property> properties,
                       std::initializer_list<std::string_view> required = {}) {
  JsonValue::Object members;
  for (const Property& property : properties)
    members.emplace_back(std::string(property.name), propertySchema(property.type));
  JsonValue::Object schema{{"type", "object"}, {"properties", std::move(members)}};
  if (required.size() > 0) {
    JsonValue::Array names;
    for (std::string_view name : required)
      names.emplace_back(name);
    schema.emplace_back("required", std::move(names));
  }
  return schema;
}

std::vector<NativeTool> makeTools() {
  using enum Type;
  return {
      {"tarno_list", "Page through the library, newest first. Returns photo summaries.",
       objectSchema({{"limit", integer}, {"cursor", integer}}), IPCMethod::list},
      {"tarno_query",
       "Find photos by date/place/rating/flag/edited/video/favorites/content. Set show:true to "
       "display them in the grid.",
       objectSchema({{"dateFrom", string},
                     {"dateTo", string},
                     {"minRating", integer},
                     {"flag", string},
                     {"videoOnly", boolean},
                     {"favoritesOnly", boolean},
                     {"text", string},
                     {"show", boolean},
                     {"title", string}}),
       IPCMethod::query},
      {"tarno_context",
       "What the user is looking at right now (selection + focused photo). Call first for "
       "'this'/'these'.",
       objectSchema({}), IPCMethod::context},
      {"tarno_get", "Full record for one photo by id.", objectSchema({{"id", string}}, {"id"}),
       IPCMethod::get},
      {"tarno_rate", "Set the star rating (0-5) on photos.",
       objectSchema({{"ids", stringArray}, {"rating", integer}}, {"ids", "rating"}),
       IPCMethod::rate},
      {"tarno_flag", "Flag photos as pick/reject/none (culling).",
       objectSchema({{"ids", stringArray}, {"flag", string}}, {"ids", "flag"}), IPCMethod::flag},
      {"tarno_show", "Display an arbitrary set of photo ids in the grid as a titled view.",
       objectSchema({{"ids", stringArray}, {"title", string}}, {"ids"}), IPCMethod::show},
      {"tarno_select", "Select photos in the grid (highlights them).",
       objectSchema({{"ids", stringArray}, {"primary", string}}, {"ids"}), IPCMethod::select},
  };
}

}  // namespace

const std::vector<NativeTool>& NativeToolCatalog::tools() {
  static const std::vector<NativeTool> all = makeTools();
  return all;
}

const JsonValue& NativeToolCatalog::schema() {
  static const JsonValue rendered = [] {
    JsonValue::Array functions;
    for (const NativeTool& tool : tools()) {
      functions.emplace_back(
          JsonValue::Object{{"type", "function"},
                            {"function", JsonValue::Object{{"name", tool.name},
                                                           {"description", tool.description},
                                                           {"parameters", tool.parameters}}}});
    }
    return JsonValue(std::move(functions));
  }();
  return rendered;
}

std::optional<IPCMethod> NativeToolCatalog::method(std::string_view name) {
  for (const NativeTool& tool : tools()) {
    if (tool.name == name) return tool.method;
  }
  return std::nullopt;
}

}  // namespace tarno::assistant
