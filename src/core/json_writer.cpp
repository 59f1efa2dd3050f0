// Compact JSON writing: escaping and shortest round-trip numbers.
#include "tarno/core/json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "core/utf8_sequence.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/text.hpp"

namespace tarno::core {

namespace {
// The bytes that stop a plain run: those written escaped and, until the text is known to be
// valid UTF-8, the bytes of multi-byte characters.
constexpr std::array<bool, 256> makeEscapeTable(bool slash, bool multiByte) {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c)
    t[c] = true;
  for (int c = 0x80; c < 0x100; ++c)
    t[c] = multiByte;
  t['"'] = t['\\'] = true;
  t['/'] = slash;
  return t;
}
constexpr auto kEscape = makeEscapeTable(false, false);
constexpr auto kEscapeWithSlash = makeEscapeTable(true, false);
constexpr auto kEscapeUnchecked = makeEscapeTable(false, true);
constexpr auto kEscapeWithSlashUnchecked = makeEscapeTable(true, true);
}  // namespace

void JsonWriter::beginObject() {
  separate();
  out_.push_back('{');
  first_ = true;
}

void JsonWriter::endObject() {
  out_.push_back('}');
  first_ = false;
}

void JsonWriter::beginArray() {
  separate();
  out_.push_back('[');
  first_ = true;
}

void JsonWriter::endArray() {
  out_.push_back(']');
  first_ = false;
}

void JsonWriter::key(std::string_view name) {
  appendSeparated(",\"");
  writeEscaped(name);
  out_.push_back(':');
  first_ = true;  // the value that follows needs no comma
}

void JsonWriter::null() {
  appendSeparated(",null");
}

void JsonWriter::boolean(bool b) {
  appendSeparated(b ? std::string_view(",true") : std::string_view(",false"));
}

// Numbers are formatted after a comma in one buffer and appended in one go.
void JsonWriter::integer(std::int64_t i) {
  char buf[24];
  buf[0] = ',';
  auto r = std::to_chars(buf + 1, buf + sizeof buf, i);
  appendSeparated({buf, r.ptr});
}

void JsonWriter::unsignedInteger(std::uint64_t u) {
  char buf[24];
  buf[0] = ',';
  auto r = std::to_chars(buf + 1, buf + sizeof buf, u);
  appendSeparated({buf, r.ptr});
}

void JsonWriter::number(double d) {
  if (!std::isfinite(d)) {
    throw EncodingError("Unable to encode Double." +
                        std::string(std::isnan(d) ? "nan" : "infinity") + " directly in JSON.");
  }
  // Negative zero keeps a fraction: "-0" reads back as the integer 0 and would lose its sign.
  if (d == 0 && std::signbit(d)) return appendSeparated(",-0.0");
  char buf[32];
  buf[0] = ',';
  auto r = std::to_chars(buf + 1, buf + sizeof buf, d);
  appendSeparated({buf, r.ptr});
}

void JsonWriter::plainString(std::string_view s) {
  appendSeparated(",\"");
  out_.append(s);
  out_.push_back('"');
}

void JsonWriter::string(std::string_view s) {
  appendSeparated(",\"");
  writeEscaped(s);
}

void JsonWriter::writeEscaped(std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  const std::array<bool, 256>* table =
      options_.escapeSlashes ? &kEscapeWithSlashUnchecked : &kEscapeUnchecked;
  bool checked = false;  // whether the rest of the text was validated at once
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t run = 0;  // start of the pending run that needs no escaping
  for (std::size_t i = 0; i < n; ++i) {
    // Plain text is the common case: skip eight bytes at a time while none needs escaping.
    const std::array<bool, 256>& t = *table;
    while (i + 8 <= n && !(int{t[p[i]]} | t[p[i + 1]] | t[p[i + 2]] | t[p[i + 3]] | t[p[i + 4]] |
                           t[p[i + 5]] | t[p[i + 6]] | t[p[i + 7]])) {
      i += 8;
    }
    if (i >= n) break;
    const unsigned char c = p[i];
    if (!t[c]) continue;
    if (c >= 0x80) {
      // Text from outside may hold any bytes; the line must still be valid UTF-8, so an
      // ill-formed sequence is written as U+FFFD, the way text from outside is decoded. Valid
      // text, the common case, is checked in one vectorised pass and then copied in runs.
      if (!checked) {
        checked = true;
        if (isValidUTF8(s.substr(i))) {
          table = options_.escapeSlashes ? &kEscapeWithSlash : &kEscape;
          continue;
        }
      }
      const utf8::Sequence seq = utf8::nextSequence(s, i);
      if (!seq.valid) {
        out_.append(s.data() + run, i - run);
        out_.append(utf8::kReplacement);
        run = i + seq.length;
      }
      i += seq.length - 1;
      continue;
    }
    out_.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out_.append("\\\"");
        break;
      case '\\':
        out_.append("\\\\");
        break;
      case '/':
        out_.append("\\/");
        break;
      case '\n':
        out_.append("\\n");
        break;
      case '\r':
        out_.append("\\r");
        break;
      case '\t':
        out_.append("\\t");
        break;
      case '\b':
        out_.append("\\b");
        break;
      case '\f':
        out_.append("\\f");
        break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out_.append(esc, 6);
      }
    }
  }
  out_.append(s.data() + run, s.size() - run);
  out_.push_back('"');
}

void JsonWriter::value(const JsonValue& v, bool sortKeys) {
  switch (v.type()) {
    case JsonValue::Type::null:
      null();
      return;
    case JsonValue::Type::boolean:
      boolean(*v.asBool());
      return;
    case JsonValue::Type::integer:
      integer(*v.asInt64());
      return;
    case JsonValue::Type::unsignedInteger:
      unsignedInteger(*v.asUInt64());
      return;
    case JsonValue::Type::number:
      number(*v.asDouble());
      return;
    case JsonValue::Type::bigNumber:
      // The parser checked its syntax; written back as read, digit for digit.
      separate();
      out_.append(v.asBigNumber()->text);
      return;
    case JsonValue::Type::string:
      string(*v.asString());
      return;
    case JsonValue::Type::array:
      beginArray();
      for (const JsonValue& e : *v.asArray())
        value(e, sortKeys);
      endArray();
      return;
    case JsonValue::Type::object: {
      const JsonValue::Object& members = *v.asObject();
      beginObject();
      if (!sortKeys) {
        for (const auto& m : members) {
          key(m.first);
          value(m.second, false);
        }
      } else {
        std::vector<const JsonValue::Member*> order;
        order.reserve(members.size());
        for (const auto& m : members)
          order.push_back(&m);
        std::stable_sort(order.begin(), order.end(),
                         [](const auto* a, const auto* b) { return a->first < b->first; });
        for (const auto* m : order) {
          key(m->first);
          value(m->second, true);
        }
      }
      endObject();
      return;
    }
  }
}

}  // namespace tarno::core
