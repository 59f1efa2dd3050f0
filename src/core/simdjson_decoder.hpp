// A faster decoder for records that are decoded many times a second (an event per frame): it
// reads simdjson's document directly, guided by the same field and case declarations as the
// generic decoder, instead of building a JsonValue tree first. It accepts exactly what the
// generic decoder accepts; wherever that decoder might fail (or a type has no fast form), it
// gives up and the generic decoder runs, so failures carry the usual DecodingError.
//
// Include it only from .cpp files of the project's libraries: it brings in <simdjson.h>.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_dom.hpp"
#include "tarno/core/json_record.hpp"

namespace tarno::core::simdjson_decoder {

namespace dom = simdjson::dom;

template <class T>
bool read(dom::element e, T& out);

// The generic decoder on one element's tree, for types with rules of their own.
template <class T>
bool readGenerically(dom::element e, T& out) {
  try {
    decodeJSON(toJsonValue(e), out, {});
    return true;
  } catch (const DecodingError&) {
    return false;
  }
}

// An element that a lenient member keeps only when it decodes: where the fast reading gives up,
// the generic decoder has the last word.
template <class T>
std::optional<T> readIfValid(dom::element e) {
  T out{};
  if (read(e, out) || readGenerically(e, out)) return out;
  return std::nullopt;
}

template <class T>
inline constexpr bool kIsPairArrayMap = false;
template <class K, class V>
inline constexpr bool kIsPairArrayMap<PairArrayMap<K, V>> = true;

inline bool readMember(dom::object o, std::string_view key, dom::element& out) {
  return o.at_key(key).get(out) == simdjson::SUCCESS;
}

template <class T>
constexpr auto fieldNames() {
  return std::apply(
      [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.name...}; },
      T::jsonFields);
}

// Whether `key` is the I-th declared name of T. The name's length is a constant, so the
// comparison compiles to a few loads instead of a loop or a call to memcmp.
template <class T, std::size_t I>
bool isDeclaredName(std::string_view key) {
  constexpr std::string_view name = std::get<I>(T::jsonFields).name;
  return key.size() == name.size() && std::memcmp(key.data(), name.data(), name.size()) == 0;
}

template <class T, std::size_t... I>
bool isDeclaredName(std::size_t i, std::string_view key, std::index_sequence<I...>) {
  bool same = false;
  (void)((i == I && (same = isDeclaredName<T, I>(key), true)) || ...);
  return same;
}

// Each declared member's element at its first occurrence in `o` (a member named twice is read
// once, as the generic decoder's lookup does). One pass over the members: writers list them in
// declared order, so each name is first compared with the one after the last member found, and
// only an unknown name costs a comparison with every declared one.
template <class T, std::size_t N>
void pickMembers(dom::object o, std::array<dom::element, N>& picked, std::array<bool, N>& present) {
  std::size_t next = 0;
  for (auto it = o.begin(), end = o.end(); it != end; ++it) {
    const std::string_view key = it.key();
    for (std::size_t k = 0; k < N; ++k) {
      const std::size_t i = next + k < N ? next + k : next + k - N;
      if (!isDeclaredName<T>(i, key, std::make_index_sequence<N>{})) continue;
      if (!present[i]) {
        present[i] = true;
        picked[i] = it.value();
      }
      next = i + 1;
      break;
    }
  }
}

// One declared member, given its element when present and not null.
template <class T, class F>
bool readField(const F& field, const dom::element* e, T& out) {
  auto& m = out.*(field.member);
  const bool present = e != nullptr;
  if constexpr (F::presence == Presence::required) {
    return present && read(*e, m);
  } else if constexpr (F::presence == Presence::optional) {
    if (!present) {
      m.reset();
      return true;
    }
    m.emplace();
    return read(*e, *m);
  } else if constexpr (F::presence == Presence::lenientEntries) {
    m.clear();
    dom::object entries;
    if (!present) return true;
    if (e->get_object().get(entries) != simdjson::SUCCESS) return false;
    using Map = std::remove_cvref_t<decltype(m)>;
    for (dom::key_value_pair entry : entries) {
      const auto k = caseWithRawValue<typename Map::key_type>(entry.key);
      if (!k || m.contains(*k)) continue;
      if (auto v = readIfValid<typename Map::mapped_type>(entry.value)) {
        m.emplace(*k, std::move(*v));
      }
    }
    return true;
  } else if constexpr (F::presence == Presence::lenientElements) {
    m.reset();
    dom::array a;
    if (!present || e->get_array().get(a) != simdjson::SUCCESS) return true;
    typename std::remove_cvref_t<decltype(m)>::value_type kept;
    for (dom::element x : a) {
      if (auto v = readIfValid<typename decltype(kept)::value_type>(x)) {
        kept.push_back(std::move(*v));
      }
    }
    if (!kept.empty()) m = std::move(kept);
    return true;
  } else {
    if (!present) {
      m = detail::recordDefaults<T>().*(field.member);
      return true;
    }
    return read(*e, m);
  }
}

template <class T>
bool readFields(dom::object o, T& out) {
  static constexpr auto names = fieldNames<T>();
  static_assert(
      [] {
        for (std::size_t i = 0; i < names.size(); ++i) {
          for (std::size_t k = i + 1; k < names.size(); ++k) {
            if (names[i] == names[k]) return false;
          }
        }
        return true;
      }(),
      "declared member names are distinct");
  std::array<dom::element, names.size()> picked;
  std::array<bool, names.size()> present{};
  pickMembers<T>(o, picked, present);
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (readField(std::get<I>(T::jsonFields),
                      present[I] && !picked[I].is_null() ? &picked[I] : nullptr, out) &&
            ...);
  }
  (std::make_index_sequence<names.size()>{});
}

template <class T>
bool readCase(dom::element e, T& out) {
  static constexpr auto names = detail::caseNames<T>();
  dom::object o;
  if (e.get_object().get(o) != simdjson::SUCCESS) return false;
  // Exactly one known case name among the members; other members are ignored.
  std::size_t found = names.size();
  dom::element value;
  for (dom::key_value_pair member : o) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (member.key != names[i]) continue;
      if (found == names.size()) {
        found = i;
        value = member.value;
      } else if (found != i) {
        return false;
      }
    }
  }
  dom::object inner;
  if (found == names.size() || value.get_object().get(inner) != simdjson::SUCCESS) return false;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return ((found == I &&
             [&] {
               using A = detail::CaseType<T, I>;
               A payload{};
               bool ok = true;
               if constexpr (JsonRecord<A>) {
                 ok = readFields(inner, payload);
               } else if constexpr (!std::is_empty_v<A>) {
                 dom::element v;
                 ok = readMember(inner, "_0", v) && !v.is_null() && read(v, payload);
               }
               if (ok) out = T(std::move(payload));
               return ok;
             }()) ||
            ...);
  }
  (std::make_index_sequence<names.size()>{});
}

// Text that a parse function turns into a value (dates, UUIDs, bytes).
template <class T, class Parse>
bool readParsed(dom::element e, T& out, Parse parse) {
  std::string_view s;
  if (e.get_string().get(s) != simdjson::SUCCESS) return false;
  auto parsed = parse(s);
  if (!parsed) return false;
  out = T{std::move(*parsed)};
  return true;
}

template <class T>
bool read(dom::element e, T& out) {
  if constexpr (HasOwnDecoder<T>) {
    return readGenerically(e, out);  // its own rules
  } else if constexpr (std::is_same_v<T, std::string>) {
    std::string_view s;
    if (e.get_string().get(s) != simdjson::SUCCESS) return false;
    out.assign(s);
    return true;
  } else if constexpr (std::is_same_v<T, bool>) {
    return e.get_bool().get(out) == simdjson::SUCCESS;
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    std::int64_t v = 0;
    if (e.get_int64().get(v) != simdjson::SUCCESS || v < std::numeric_limits<T>::min() ||
        v > std::numeric_limits<T>::max()) {
      return false;
    }
    out = static_cast<T>(v);
    return true;
  } else if constexpr (std::is_integral_v<T>) {
    std::uint64_t v = 0;
    if (e.get_uint64().get(v) != simdjson::SUCCESS || v > std::numeric_limits<T>::max()) {
      return false;
    }
    out = static_cast<T>(v);
    return true;
  } else if constexpr (std::is_same_v<T, double>) {
    return e.get_double().get(out) == simdjson::SUCCESS;
  } else if constexpr (std::is_same_v<T, Date>) {
    return readParsed(e, out, parseISO8601);
  } else if constexpr (std::is_same_v<T, Uuid>) {
    return readParsed(e, out, Uuid::parse);
  } else if constexpr (std::is_same_v<T, Bytes>) {
    return readParsed(e, out, base64Decode);
  } else if constexpr (requires {
                         out.reset();
                         out.emplace();
                       }) {
    if (e.is_null()) {
      out.reset();
      return true;
    }
    out.emplace();
    return read(e, *out);
  } else if constexpr (requires { out.push_back(std::move(out.back())); }) {
    dom::array a;
    if (e.get_array().get(a) != simdjson::SUCCESS) return false;
    out.clear();
    // The count comes from the input: reserved only up to a bound.
    out.reserve(std::min<std::size_t>(a.size(), 4096));
    for (dom::element x : a) {
      if (!read(x, out.emplace_back())) return false;
    }
    return true;
  } else if constexpr (kIsPairArrayMap<T>) {
    dom::array a;
    if (e.get_array().get(a) != simdjson::SUCCESS || a.size() % 2 != 0) return false;
    out.clear();
    for (auto it = a.begin(); it != a.end(); ++it) {
      typename T::key_type k{};
      if (!read(*it, k)) return false;
      ++it;
      if (!read(*it, out[k])) return false;
    }
    return true;
  } else if constexpr (JsonRecord<T>) {
    dom::object o;
    return e.get_object().get(o) == simdjson::SUCCESS && readFields(o, out);
  } else if constexpr (JsonArrayRecord<T>) {
    dom::array a;
    if (e.get_array().get(a) != simdjson::SUCCESS) return false;
    auto it = a.begin();
    const auto end = a.end();
    return std::apply(
        [&](auto... member) {
          return ([&] {
            if (it == end) return false;
            const bool ok = read(*it, out.*member);
            ++it;
            return ok;
          }() && ...);
        },
        T::jsonElements);
  } else if constexpr (JsonCaseEnumeration<T>) {
    return readCase(e, out);
  } else if constexpr (std::is_enum_v<T>) {
    std::optional<T> c;
    if constexpr (detail::isIntegerCoded<T>()) {
      std::int64_t raw = 0;
      if (e.get_int64().get(raw) != simdjson::SUCCESS) return false;
      c = caseWithRawValue<T>(raw);
    } else {
      std::string_view s;
      if (e.get_string().get(s) != simdjson::SUCCESS) return false;
      c = caseWithRawValue<T>(s);
    }
    if (c) out = *c;
    return c.has_value();
  } else {
    return false;  // no fast form: the generic decoder handles it
  }
}

// Decodes one JSON text as T; throws the generic decoder's DecodingError on failure.
template <class T>
T decode(std::string_view text) {
  // One parser per thread: it reuses its buffers, and parsers are not thread-safe.
  thread_local dom::parser parser;
  dom::element root;
  T out{};
  if (parser.parse(text.data(), text.size(), true).get(root) == simdjson::SUCCESS &&
      read(root, out)) {
    return out;
  }
  return decodeJSON<T>(parseJson(text));
}

}  // namespace tarno::core::simdjson_decoder
