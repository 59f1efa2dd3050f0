// The smallest document a JSON Schema of ours admits: every required member, each with a value
// of the first type, case or alternative its schema allows. What a schema admits, the decoder of
// the same record must take.
#pragma once

#include <string>

#include "tarno/core/json_value.hpp"

namespace tarno::testing {

inline core::JsonValue smallestDocument(const core::JsonValue& schema) {
  using core::JsonValue;
  if (const JsonValue* alternatives = schema.find("oneOf")) {
    return smallestDocument(alternatives->asArray()->front());
  }
  if (const JsonValue* cases = schema.find("enum")) return cases->asArray()->front();
  const JsonValue* typeMember = schema.find("type");
  const std::string type = typeMember && typeMember->asString() ? *typeMember->asString() : "";
  const JsonValue* format = schema.find("format");
  if (type == "string" && format && *format == JsonValue("uuid")) {
    return "6B29FC40-CA47-1067-B31D-00DD010662DA";
  }
  if (type == "string") return "2024-05-06T07:08:09Z";  // a date where one is asked for
  if (type == "integer") return 2;
  if (type == "number") return 0.25;
  if (type == "boolean") return false;
  if (type == "array") {
    JsonValue::Array items;
    if (const JsonValue* prefix = schema.find("prefixItems")) {
      for (const JsonValue& item : *prefix->asArray())
        items.push_back(smallestDocument(item));
    } else {
      items.push_back(smallestDocument(*schema.find("items")));
    }
    return items;
  }
  JsonValue::Object object;
  if (const JsonValue* required = schema.find("required")) {
    for (const JsonValue& name : *required->asArray()) {
      object.emplace_back(*name.asString(),
                          smallestDocument(*schema.find("properties")->find(*name.asString())));
    }
  }
  return object;
}

}  // namespace tarno::testing
