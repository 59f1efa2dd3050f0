// Records and enumerations declare their JSON form once; the encoder and the decoder are derived
// from that one declaration, so no member or case list is ever written twice.
//
//   struct EndpointInfo {
//     std::string socketPath;
//     std::int32_t pid = 0;
//     static constexpr auto jsonFields = std::tuple{
//         core::required("socketPath", &EndpointInfo::socketPath),
//         core::required("pid", &EndpointInfo::pid)};
//   };
//
// A record lists its members in `jsonFields` (encoded in that order); an enumeration with payload
// is a class over a std::variant that lists its cases in `jsonCases`; an enumeration without
// payload is an `enum class` whose raw values are its case names unless it says otherwise (see
// jsonRawValues below). Types with rules of their own still write toJSON/fromJSON by hand.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "tarno/core/json_coding.hpp"

namespace tarno::core {

// ---- records ----------------------------------------------------------------------------------

enum class Presence {
  required,     // keyNotFound when missing, valueNotFound when null; always written
  optional,     // std::optional member: missing or null read as absent; omitted when absent
  withDefault,  // missing or null read as the member's initial value; always written
  // For documents that must still load when parts of them are damaged or come from a newer
  // writer:
  lenientEntries,   // map keyed by a text-coded enumeration, as an object: missing or null read
                    // as empty, anything else but an object fails; members whose name is no case
                    // or whose value does not decode are dropped; always written
  lenientElements,  // std::optional<std::vector>: elements that do not decode are dropped; read
                    // as absent when missing, not an array, or when no element is left; omitted
                    // when absent or empty
};

template <Presence P, class T, class M>
struct Field {
  static constexpr Presence presence = P;
  std::string_view name;
  M T::*member;
};

template <class T, class M>
constexpr Field<Presence::required, T, M> required(std::string_view name, M T::*member) {
  return {name, member};
}
template <class T, class M>
constexpr Field<Presence::optional, T, std::optional<M>> optional(std::string_view name,
                                                                  std::optional<M> T::*member) {
  return {name, member};
}
template <class T, class E, class V>
constexpr Field<Presence::lenientEntries, T, std::map<E, V>> lenientEntries(
    std::string_view name, std::map<E, V> T::*member) {
  return {name, member};
}
template <class T, class E>
constexpr Field<Presence::lenientElements, T, std::optional<std::vector<E>>> lenientElements(
    std::string_view name, std::optional<std::vector<E>> T::*member) {
  return {name, member};
}
template <class T, class M>
constexpr Field<Presence::withDefault, T, M> withDefault(std::string_view name, M T::*member) {
  return {name, member};
}

template <class T>
concept JsonRecord = requires {
  std::tuple_size<std::remove_cvref_t<decltype(T::jsonFields)>>{};
};

// The decoded value, or absent when it does not decode: for readers that drop what they cannot
// read instead of failing as a whole.
template <class T>
std::optional<T> decodeIfValid(const JsonValue& j, const CodingPath& path) {
  try {
    return decodeJSON<T>(j, path);
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

// Defined with the enumerations below; lenient members look their keys up with it.
template <class E>
requires std::is_enum_v<E>
constexpr std::optional<E> caseWithRawValue(std::string_view raw);

namespace detail {

// The value a default-constructed record holds, for members that read missing as default.
template <class T>
const T& recordDefaults() {
  static const T defaults{};
  return defaults;
}

// Declared names are written without escaping; this keeps that safe.
constexpr bool isPlainName(std::string_view name) {
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  return !name.empty();
}

// `,"name":` for the I-th declared member of T, built at compile time.
template <class T, std::size_t I>
inline constexpr auto kPreparedKey = [] {
  constexpr std::string_view name = std::get<I>(T::jsonFields).name;
  std::array<char, name.size() + 4> text{',', '"'};
  std::copy(name.begin(), name.end(), text.begin() + 2);
  text[name.size() + 2] = '"';
  text[name.size() + 3] = ':';
  return text;
}();

template <class T, std::size_t I>
void encodeField(JsonWriter& w, const T& v) {
  const auto& field = std::get<I>(T::jsonFields);
  using F = std::remove_cvref_t<decltype(field)>;
  const auto& m = v.*(field.member);
  const std::string_view key{kPreparedKey<T, I>.data(), kPreparedKey<T, I>.size()};
  if constexpr (F::presence == Presence::optional) {
    if (!m) return;
    w.preparedKey(key);
    encodeJSON(w, *m);
  } else if constexpr (F::presence == Presence::lenientElements) {
    if (!m || m->empty()) return;
    w.preparedKey(key);
    encodeJSON(w, *m);
  } else {
    w.preparedKey(key);
    encodeJSON(w, m);
  }
}

template <class T>
void encodeFields(JsonWriter& w, const T& v) {
  static_assert(
      std::apply([](const auto&... f) { return (isPlainName(f.name) && ...); }, T::jsonFields),
      "declared member names are letters, digits and _");
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (encodeField<T, I>(w, v), ...);
  }
  (std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(T::jsonFields)>>>{});
}

template <class E, class V>
void decodeLenientEntries(const ObjectReader& r, std::string_view key, std::map<E, V>& out) {
  out.clear();
  const JsonValue* v = r.find(key);
  if (v == nullptr || v->isNull()) return;
  const CodingPath at = r.path().key(key);
  for (const auto& [name, entry] : ObjectReader(*v, at).members()) {
    const std::optional<E> k = caseWithRawValue<E>(name);
    if (!k || out.contains(*k)) continue;
    if (std::optional<V> d = decodeIfValid<V>(entry, at.key(name))) out.emplace(*k, std::move(*d));
  }
}

template <class E>
void decodeLenientElements(const ObjectReader& r, std::string_view key,
                           std::optional<std::vector<E>>& out) {
  out.reset();
  const JsonValue* v = r.find(key);
  const JsonValue::Array* a = v == nullptr ? nullptr : v->asArray();
  if (a == nullptr) return;
  const CodingPath at = r.path().key(key);
  std::vector<E> kept;
  for (std::size_t i = 0; i < a->size(); ++i) {
    if (std::optional<E> d = decodeIfValid<E>((*a)[i], at.index(i))) kept.push_back(std::move(*d));
  }
  if (!kept.empty()) out = std::move(kept);
}

template <class T>
void decodeFields(const ObjectReader& r, T& out) {
  std::apply(
      [&]<class... F>(const F&... field) {
        (
            [&] {
              if constexpr (F::presence == Presence::required) {
                r.required(field.name, out.*(field.member));
              } else if constexpr (F::presence == Presence::optional) {
                r.optional(field.name, out.*(field.member));
              } else if constexpr (F::presence == Presence::lenientEntries) {
                decodeLenientEntries(r, field.name, out.*(field.member));
              } else if constexpr (F::presence == Presence::lenientElements) {
                decodeLenientElements(r, field.name, out.*(field.member));
              } else {
                r.withDefault(field.name, out.*(field.member), recordDefaults<T>().*(field.member));
              }
            }(),
            ...);
      },
      T::jsonFields);
}

}  // namespace detail

// A declared type may still take one direction into its own hands (a decoder that never fails,
// a lenient one that skips broken entries): a toJSON or fromJSON found by argument-dependent
// lookup replaces the derived one for that direction only.
template <class T>
concept HasOwnEncoder = requires(JsonWriter& w, const T& v) {
  toJSON(w, v);
};
template <class T>
concept HasOwnDecoder = requires(const JsonValue& j, T& out, const CodingPath& path) {
  fromJSON(j, out, path);
};

template <JsonRecord T>
struct JsonCoder<T, void> {
  static void encode(JsonWriter& w, const T& v) {
    if constexpr (HasOwnEncoder<T>) {
      toJSON(w, v);
    } else {
      w.beginObject();
      detail::encodeFields(w, v);
      w.endObject();
    }
  }
  static void decode(const JsonValue& j, T& out, const CodingPath& path) {
    if constexpr (HasOwnDecoder<T>) {
      fromJSON(j, out, path);
    } else {
      detail::decodeFields(ObjectReader(j, path), out);
    }
  }
};

// A record written as a fixed array, such as a point [x, y]: `jsonElements` lists the member
// pointers in array order. Extra elements are ignored; a missing one fails at its index.
template <class T>
concept JsonArrayRecord = requires {
  std::tuple_size<std::remove_cvref_t<decltype(T::jsonElements)>>{};
};

template <JsonArrayRecord T>
struct JsonCoder<T, void> {
  static void encode(JsonWriter& w, const T& v) {
    w.beginArray();
    std::apply([&](auto... member) { (encodeJSON(w, v.*member), ...); }, T::jsonElements);
    w.endArray();
  }
  static void decode(const JsonValue& j, T& out, const CodingPath& path) {
    const JsonValue::Array* a = j.asArray();
    if (a == nullptr) throwTypeMismatch("Array", j, path);
    std::size_t i = 0;
    std::apply(
        [&](auto... member) {
          (
              [&] {
                if (i >= a->size()) throwUnkeyedAtEnd(path.index(a->size()));
                decodeJSON((*a)[i], out.*member, path.index(i));
                ++i;
              }(),
              ...);
        },
        T::jsonElements);
  }
};

// ---- enumerations with payload ----------------------------------------------------------------

// One case: its JSON name and the variant alternative it carries. An alternative that is a
// record is written as its labelled members, an empty struct as {}, anything else as {"_0": v}.
template <class Alternative>
struct Case {
  using Type = Alternative;
  std::string_view name;
};
template <class Alternative>
constexpr Case<Alternative> jsonCase(std::string_view name) {
  return {name};
}

// A class holding `payload()` (a std::variant), constructible from each alternative, and
// listing every alternative exactly once in `jsonCases`.
template <class T>
concept JsonCaseEnumeration = requires(const T& t) {
  std::tuple_size<std::remove_cvref_t<decltype(T::jsonCases)>>{};
  t.payload();
};

namespace detail {

template <class T>
using CasesOf = std::remove_cvref_t<decltype(T::jsonCases)>;
template <class T, std::size_t I>
using CaseType = typename std::tuple_element_t<I, CasesOf<T>>::Type;
template <class T>
using PayloadOf = std::remove_cvref_t<decltype(std::declval<const T&>().payload())>;

template <class T, class Alternative>
consteval std::size_t caseIndex() {
  constexpr auto matches = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<bool, sizeof...(I)>{
        std::is_same_v<typename std::tuple_element_t<I, CasesOf<T>>::Type, Alternative>...};
  }
  (std::make_index_sequence<std::tuple_size_v<CasesOf<T>>>{});
  static_assert(std::count(matches.begin(), matches.end(), true) == 1,
                "every payload alternative is declared as exactly one case");
  return static_cast<std::size_t>(std::find(matches.begin(), matches.end(), true) -
                                  matches.begin());
}

template <class T>
constexpr auto caseNames() {
  return std::apply(
      [](const auto&... c) { return std::array<std::string_view, sizeof...(c)>{c.name...}; },
      T::jsonCases);
}

template <class A>
void encodeCasePayload(JsonWriter& w, const A& payload) {
  if constexpr (JsonRecord<A>) {
    encodeFields(w, payload);
  } else if constexpr (!std::is_empty_v<A>) {
    w.plainKey("_0");
    encodeJSON(w, payload);
  }
}

template <class A>
A decodeCasePayload(const ObjectReader& r) {
  A out{};
  if constexpr (JsonRecord<A>) {
    decodeFields(r, out);
  } else if constexpr (!std::is_empty_v<A>) {
    r.required("_0", out);
  }
  return out;
}

}  // namespace detail

// The JSON name of the case a value holds.
template <JsonCaseEnumeration T>
std::string_view caseName(const T& v) {
  return std::visit(
      [](const auto& p) {
        constexpr std::size_t i = detail::caseIndex<T, std::remove_cvref_t<decltype(p)>>();
        return std::get<i>(T::jsonCases).name;
      },
      v.payload());
}

template <JsonCaseEnumeration T>
struct JsonCoder<T, void> {
  static_assert(std::tuple_size_v<detail::CasesOf<T>> == std::variant_size_v<detail::PayloadOf<T>>,
                "every case carries a payload alternative of its own");
  static_assert(std::apply([](const auto&... c) { return (detail::isPlainName(c.name) && ...); },
                           T::jsonCases),
                "case names are letters, digits and _");

  static void encode(JsonWriter& w, const T& v) {
    if constexpr (HasOwnEncoder<T>) {
      toJSON(w, v);
    } else {
      std::visit(
          [&](const auto& p) {
            w.beginObject();
            w.plainKey(caseName(v));
            w.beginObject();
            detail::encodeCasePayload(w, p);
            w.endCase();
          },
          v.payload());
    }
  }

  static void decode(const JsonValue& j, T& out, const CodingPath& path) {
    if constexpr (HasOwnDecoder<T>) {
      fromJSON(j, out, path);
    } else {
      decodeCases(j, out, path);
    }
  }

  // The decoding the case declaration gives, for an own fromJSON that only adds checks to it.
  static void decodeCases(const JsonValue& j, T& out, const CodingPath& path) {
    static constexpr auto names = detail::caseNames<T>();
    const CaseMember c = singleCase(j, names, path);
    const CodingPath inner = path.key(c.name);
    const ObjectReader r(c.value, inner);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((c.index == I ? void(out = T(detail::decodeCasePayload<detail::CaseType<T, I>>(r)))
                     : void()),
       ...);
    }
    (std::make_index_sequence<names.size()>{});
  }
};

// ---- enumerations without payload -------------------------------------------------------------
//
// An `enum class` whose cases are numbered from 0 (at most 128 of them) is coded as its case name
// by default: the names are read from the compiler's own spelling of each enumerator, so the
// enumeration's declaration is the only list of its cases. An enumeration whose raw values are
// something else says so with a function found by argument-dependent lookup:
//   constexpr core::IntegerRawValues jsonRawValues(PhotoSourceType) { return {}; }
//       the JSON form is the enumerator's integer value;
//   constexpr std::array<std::pair<IPCMethod, std::string_view>, 46> jsonRawValues(IPCMethod)
//       the JSON form is the text paired with each case (every case exactly once);
//   constexpr std::array<std::pair<RPCErrorCode, std::int64_t>, 7> jsonRawValues(RPCErrorCode)
//       the JSON form is the integer paired with each case, for codes that the reflected range
//       (0 to 127) cannot hold.

struct IntegerRawValues {};

namespace detail {

template <auto V>
constexpr std::string_view enumeratorSpelling() {
  // GCC: "... [with auto V = ns::E::name; ...]"; clang: "... [V = ns::E::name]". A value that
  // names no enumerator is spelt as a cast, "(ns::E)7" (and a namespace may be spelt
  // "(anonymous namespace)", so only what follows the last ")" tells the two apart).
  const std::string_view f = __PRETTY_FUNCTION__;
  const std::size_t start = f.find("V = ") + 4;
  const std::string_view s = f.substr(start, f.find_first_of(";]", start) - start);
  const std::string_view afterParen = s.substr(s.rfind(')') + 1);
  if (s.empty() || afterParen.empty() ||
      afterParen.find_first_not_of("-0123456789") == std::string_view::npos) {
    return {};
  }
  return s.substr(s.rfind(':') + 1);
}

template <class T>
constexpr std::string_view typeSpelling() {
  const std::string_view f = __PRETTY_FUNCTION__;
  const std::size_t start = f.find("T = ") + 4;
  const std::string_view s = f.substr(start, f.find_first_of(";]", start) - start);
  return s.substr(s.rfind(':') + 1);
}

inline constexpr int kMaxReflectedEnumerator = 128;

template <class E>
constexpr auto reflectedCases() {
  constexpr auto spellings = []<int... I>(std::integer_sequence<int, I...>) {
    return std::array<std::string_view, sizeof...(I)>{enumeratorSpelling<static_cast<E>(I)>()...};
  }
  (std::make_integer_sequence<int, kMaxReflectedEnumerator>{});
  constexpr std::size_t count = static_cast<std::size_t>(
      std::count_if(spellings.begin(), spellings.end(), [](auto s) { return !s.empty(); }));
  std::array<std::pair<E, std::string_view>, count> out{};
  std::size_t n = 0;
  for (int i = 0; i < kMaxReflectedEnumerator; ++i) {
    if (!spellings[static_cast<std::size_t>(i)].empty()) {
      out[n++] = {static_cast<E>(i), spellings[static_cast<std::size_t>(i)]};
    }
  }
  return out;
}

template <class E>
concept HasRawValueDeclaration = requires(E e) {
  jsonRawValues(e);
};

template <class E>
constexpr auto caseTable() {
  if constexpr (HasRawValueDeclaration<E>) {
    using Declared = decltype(jsonRawValues(E{}));
    if constexpr (!std::is_same_v<Declared, IntegerRawValues>) {
      constexpr auto table = jsonRawValues(E{});
      constexpr auto reflected = reflectedCases<E>();
      static_assert(table.size() == reflected.size(), "every case has exactly one raw value");
      static_assert(
          [&] {
            for (std::size_t i = 0; i < table.size(); ++i) {
              if (table[i].first != reflected[i].first) return false;
            }
            return true;
          }(),
          "raw values are listed in declaration order, every case once");
      return table;
    } else {
      return reflectedCases<E>();
    }
  } else {
    return reflectedCases<E>();
  }
}

template <class E>
inline constexpr auto kCaseTable = caseTable<E>();

// Case i is the enumerator with value i: its raw value is found by index.
template <class E>
inline constexpr bool kCasesAreDense = [] {
  for (std::size_t i = 0; i < kCaseTable<E>.size(); ++i) {
    if (static_cast<std::size_t>(kCaseTable<E>[i].first) != i) return false;
  }
  return true;
}();

// No text raw value needs escaping: they are written as they are.
template <class E>
inline constexpr bool kRawValuesArePlain = [] {
  if constexpr (std::is_convertible_v<decltype(kCaseTable<E>[0].second), std::string_view>) {
    for (const auto& entry : kCaseTable<E>) {
      for (const char c : std::string_view(entry.second)) {
        if (c == '"' || c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20) return false;
      }
    }
  }
  return true;
}();

template <class E>
constexpr bool hasIntegerTable() {
  if constexpr (HasRawValueDeclaration<E>) {
    using Declared = decltype(jsonRawValues(E{}));
    if constexpr (!std::is_same_v<Declared, IntegerRawValues>) {
      return std::is_integral_v<typename Declared::value_type::second_type>;
    }
  }
  return false;
}

template <class E>
constexpr bool isIntegerCoded() {
  if constexpr (HasRawValueDeclaration<E>) {
    return std::is_same_v<decltype(jsonRawValues(E{})), IntegerRawValues> || hasIntegerTable<E>();
  } else {
    return false;
  }
}

}  // namespace detail

// The enumeration's name as the compiler spells it, without namespaces ("ClaudeModel").
template <class T>
inline constexpr std::string_view typeName = detail::typeSpelling<T>();

// Every case in declaration order.
template <class E>
inline constexpr auto allCases = [] {
  std::array<E, detail::kCaseTable<E>.size()> out{};
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = detail::kCaseTable<E>[i].first;
  return out;
}();

// The text raw value of a case of an enumeration coded as text.
template <class E>
requires std::is_enum_v<E>
constexpr std::string_view rawValue(E e) {
  static_assert(!detail::isIntegerCoded<E>());
  if constexpr (detail::kCasesAreDense<E>) {
    const auto i = static_cast<std::size_t>(e);
    return i < detail::kCaseTable<E>.size() ? detail::kCaseTable<E>[i].second : std::string_view();
  }
  for (const auto& [c, name] : detail::kCaseTable<E>) {
    if (c == e) return name;
  }
  return {};
}

// The case with this text raw value, compared exactly; absent for anything else.
template <class E>
requires std::is_enum_v<E>
constexpr std::optional<E> caseWithRawValue(std::string_view raw) {
  static_assert(!detail::isIntegerCoded<E>());
  for (const auto& [c, name] : detail::kCaseTable<E>) {
    if (name == raw) return c;
  }
  return std::nullopt;
}

// The integer raw value of a case of an enumeration coded as an integer.
template <class E>
requires std::is_enum_v<E>
constexpr std::int64_t integerRawValue(E e) {
  static_assert(detail::isIntegerCoded<E>());
  if constexpr (detail::hasIntegerTable<E>()) {
    for (const auto& [c, raw] : detail::kCaseTable<E>) {
      if (c == e) return static_cast<std::int64_t>(raw);
    }
  }
  return static_cast<std::int64_t>(e);
}

// The case with this integer raw value; absent for anything else.
template <class E>
requires std::is_enum_v<E>
constexpr std::optional<E> caseWithRawValue(std::int64_t raw) {
  static_assert(detail::isIntegerCoded<E>());
  for (const auto& entry : detail::kCaseTable<E>) {
    if (integerRawValue(entry.first) == raw) return entry.first;
  }
  return std::nullopt;
}

template <class E>
requires std::is_enum_v<E>
struct JsonCoder<E, void> {
  static void encode(JsonWriter& w, E e) {
    if constexpr (detail::isIntegerCoded<E>()) {
      w.integer(integerRawValue(e));
    } else if constexpr (detail::kRawValuesArePlain<E>) {
      w.plainString(rawValue(e));
    } else {
      w.string(rawValue(e));
    }
  }
  static void decode(const JsonValue& j, E& out, const CodingPath& path) {
    if constexpr (detail::isIntegerCoded<E>()) {
      const std::int64_t raw = decodeJSON<std::int64_t>(j, path);
      const std::optional<E> e = caseWithRawValue<E>(raw);
      if (!e) throwInvalidRawValue(typeName<E>, "Int", std::to_string(raw), path);
      out = *e;
    } else {
      const std::string* s = j.asString();
      if (s == nullptr) throwTypeMismatch("String", j, path);
      const std::optional<E> e = caseWithRawValue<E>(*s);
      if (!e) throwInvalidRawValue(typeName<E>, "String", *s, path);
      out = *e;
    }
  }
};

// ---- maps keyed by an enumeration -------------------------------------------------------------

// A map keyed by an enumeration coded as text is an object whose member names are the keys'
// raw values, written in key order. A name that is no raw value fails; a repeated name is read
// once, like every other member lookup (the first wins).
template <class E, class V>
requires std::is_enum_v<E>
struct JsonCoder<std::map<E, V>, void> {
  static void encode(JsonWriter& w, const std::map<E, V>& m) {
    w.beginObject();
    for (const auto& [k, v] : m) {
      w.member(rawValue(k), v);
    }
    w.endObject();
  }
  static void decode(const JsonValue& j, std::map<E, V>& out, const CodingPath& path) {
    const ObjectReader r(j, path);
    out.clear();
    for (const auto& [name, value] : r.members()) {
      const CodingPath at = path.key(name);
      const std::optional<E> k = caseWithRawValue<E>(name);
      if (!k) throwInvalidRawValue(typeName<E>, "String", name, at);
      if (out.contains(*k)) continue;
      decodeJSON(value, out[*k], at);
    }
  }
};

// The app's form for a map whose keys are not plain text: one flat array that alternates key and
// value, ["exposure", 0.5, "contrast", -0.2]. A repeated key is read as its last value.
template <class K, class V>
class PairArrayMap : public std::map<K, V> {
 public:
  using std::map<K, V>::map;
};

template <class K, class V>
struct JsonCoder<PairArrayMap<K, V>, void> {
  static void encode(JsonWriter& w, const PairArrayMap<K, V>& m) {
    w.beginArray();
    for (const auto& [k, v] : m) {
      encodeJSON(w, k);
      encodeJSON(w, v);
    }
    w.endArray();
  }
  static void decode(const JsonValue& j, PairArrayMap<K, V>& out, const CodingPath& path) {
    const JsonValue::Array* a = j.asArray();
    if (a == nullptr) throwTypeMismatch("Array", j, path);
    if (a->size() % 2 != 0) {
      throwDataCorrupted(
          "Expected collection of key-value pairs; encountered odd-length array "
          "instead.",
          path);
    }
    out.clear();
    for (std::size_t i = 0; i < a->size(); i += 2) {
      K k{};
      decodeJSON((*a)[i], k, path.index(i));
      decodeJSON((*a)[i + 1], out[k], path.index(i + 1));
    }
  }
};

}  // namespace tarno::core
