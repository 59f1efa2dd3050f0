// The JSON Schema of a declared type, derived from the same declaration its coding comes from
// (jsonFields, jsonElements, jsonCases, an enumeration's raw values), so that a record's schema
// changes when the record does and is never written a second time.
//
//   core::jsonSchema<protocol::RateParams>()
//     {"type":"object","properties":{"ids":{"type":"array","items":{"type":"string"}},
//      "rating":{"type":"integer"}},"required":["ids","rating"]}
//
// Records are objects whose required members are listed under "required" (optional, defaulted
// and lenient members may be left out); enumerations without payload are "enum"s of their raw
// values; enumerations with payload are a "oneOf" of one-member objects; array records such as
// a point are fixed-length arrays; dates are date-time strings. A type coded by hand states its
// schema with a function found by argument-dependent lookup:
//   core::JsonValue jsonSchema(core::SchemaTag<MyType>);
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarno/core/indirect.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::core {

template <class T>
struct SchemaTag {};

template <class T>
concept HasDeclaredSchema = requires {
  { jsonSchema(SchemaTag<T>{}) } -> std::convertible_to<JsonValue>;
};

template <class T>
JsonValue jsonSchema();

namespace detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
  using Inner = T;
};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {
  using Element = T;
};
template <class T>
struct IsIndirect : std::false_type {};
template <class T>
struct IsIndirect<Indirect<T>> : std::true_type {
  using Inner = T;
};
template <class T>
struct IsEnumKeyedMap : std::false_type {};
template <class E, class V>
requires std::is_enum_v<E>
struct IsEnumKeyedMap<std::map<E, V>> : std::true_type {
  using Key = E;
  using Value = V;
};
template <class T>
struct IsPairArrayMap : std::false_type {};
template <class K, class V>
struct IsPairArrayMap<PairArrayMap<K, V>> : std::true_type {};

inline JsonValue typed(std::string_view type) {
  return JsonValue::Object{{"type", type}};
}

template <class E>
JsonValue enumerationSchema() {
  JsonValue::Array values;
  for (const E e : allCases<E>) {
    if constexpr (isIntegerCoded<E>()) {
      values.emplace_back(integerRawValue(e));
    } else {
      values.emplace_back(rawValue(e));
    }
  }
  return JsonValue::Object{{"type", isIntegerCoded<E>() ? "integer" : "string"},
                           {"enum", std::move(values)}};
}

// An object schema of a record's declared members: every member may be given, the required
// ones must.
template <class T>
JsonValue::Object fieldsSchema() {
  JsonValue::Object properties;
  JsonValue::Array required;
  std::apply(
      [&]<class... F>(const F&... field) {
        (
            [&] {
              using M = std::remove_cvref_t<decltype(std::declval<const T&>().*(field.member))>;
              // An optional member's schema is its value's: absence is told by "required".
              properties.emplace_back(std::string(field.name), jsonSchema<M>());
              if constexpr (F::presence == Presence::required) required.emplace_back(field.name);
            }(),
            ...);
      },
      T::jsonFields);
  JsonValue::Object schema{{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) schema.emplace_back("required", std::move(required));
  return schema;
}

template <class A>
JsonValue casePayloadSchema() {
  if constexpr (JsonRecord<A>) {
    return fieldsSchema<A>();
  } else if constexpr (std::is_empty_v<A>) {
    return JsonValue::Object{{"type", "object"}, {"properties", JsonValue::Object{}}};
  } else {
    return JsonValue::Object{{"type", "object"},
                             {"properties", JsonValue::Object{{"_0", jsonSchema<A>()}}},
                             {"required", JsonValue::Array{"_0"}}};
  }
}

// One alternative per case: an object whose only member is the case's name.
template <class T>
JsonValue casesSchema() {
  JsonValue::Array alternatives;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (alternatives.push_back(JsonValue::Object{
         {"type", "object"},
         {"properties", JsonValue::Object{{std::string(std::get<I>(T::jsonCases).name),
                                           casePayloadSchema<CaseType<T, I>>()}}},
         {"required", JsonValue::Array{std::get<I>(T::jsonCases).name}},
         {"additionalProperties", false}}),
     ...);
  }
  (std::make_index_sequence<std::tuple_size_v<CasesOf<T>>>{});
  return JsonValue::Object{{"oneOf", std::move(alternatives)}};
}

template <class T>
JsonValue elementsSchema() {
  JsonValue::Array items;
  std::apply(
      [&](auto... member) {
        (items.push_back(
             jsonSchema<std::remove_cvref_t<decltype(std::declval<const T&>().*member)>>()),
         ...);
      },
      T::jsonElements);
  const auto count = static_cast<std::int64_t>(items.size());
  return JsonValue::Object{
      {"type", "array"}, {"prefixItems", std::move(items)}, {"minItems", count}};
}

template <class T>
inline constexpr bool kNoSchemaFor = false;

}  // namespace detail

// The schema of T, built anew on each call: callers that offer it repeatedly keep the result.
template <class T>
JsonValue jsonSchema() {
  using namespace detail;
  if constexpr (HasDeclaredSchema<T>) {
    return jsonSchema(SchemaTag<T>{});
  } else if constexpr (std::is_same_v<T, bool>) {
    return typed("boolean");
  } else if constexpr (std::is_integral_v<T>) {
    return typed("integer");
  } else if constexpr (std::is_floating_point_v<T>) {
    return typed("number");
  } else if constexpr (std::is_same_v<T, std::string>) {
    return typed("string");
  } else if constexpr (std::is_same_v<T, JsonValue>) {
    return JsonValue::Object{};  // any value
  } else if constexpr (std::is_same_v<T, Date>) {
    return JsonValue::Object{{"type", "string"}, {"format", "date-time"}};
  } else if constexpr (std::is_same_v<T, Bytes>) {
    return JsonValue::Object{{"type", "string"}, {"contentEncoding", "base64"}};
  } else if constexpr (std::is_same_v<T, Uuid>) {
    return JsonValue::Object{{"type", "string"}, {"format", "uuid"}};
  } else if constexpr (IsOptional<T>::value) {
    return jsonSchema<typename IsOptional<T>::Inner>();
  } else if constexpr (IsIndirect<T>::value) {
    return jsonSchema<typename IsIndirect<T>::Inner>();
  } else if constexpr (IsVector<T>::value) {
    return JsonValue::Object{{"type", "array"},
                             {"items", jsonSchema<typename IsVector<T>::Element>()}};
  } else if constexpr (IsEnumKeyedMap<T>::value) {
    JsonValue names = enumerationSchema<typename IsEnumKeyedMap<T>::Key>();
    return JsonValue::Object{
        {"type", "object"},
        {"propertyNames", std::move(names)},
        {"additionalProperties", jsonSchema<typename IsEnumKeyedMap<T>::Value>()}};
  } else if constexpr (IsPairArrayMap<T>::value) {
    return typed("array");  // keys and values alternate
  } else if constexpr (std::is_enum_v<T>) {
    return enumerationSchema<T>();
  } else if constexpr (JsonRecord<T>) {
    return fieldsSchema<T>();
  } else if constexpr (JsonArrayRecord<T>) {
    return elementsSchema<T>();
  } else if constexpr (JsonCaseEnumeration<T>) {
    return casesSchema<T>();
  } else {
    static_assert(kNoSchemaFor<T>, "a type coded by hand declares jsonSchema(SchemaTag<T>)");
    return {};
  }
}

}  // namespace tarno::core
