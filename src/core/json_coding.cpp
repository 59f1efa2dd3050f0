// The coding rules for built-in types, the decoding error and the object reader.
#include "tarno/core/json_coding.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tarno::core {

std::string CodingPath::toString() const {
  std::vector<const CodingPath*> chain;
  for (const CodingPath* p = this; p != nullptr && p->kind_ != Kind::root; p = p->parent_) {
    chain.push_back(p);
  }
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const CodingPath& p = **it;
    if (p.kind_ == Kind::key) {
      if (!out.empty()) out.push_back('.');
      out.append(p.name_);
    } else {
      out.push_back('[');
      out.append(std::to_string(p.index_));
      out.push_back(']');
    }
  }
  return out;
}

namespace {
std::string errorMessage(const std::string& description, const std::string& path) {
  return path.empty() ? description : description + " (at " + path + ")";
}
}  // namespace

DecodingError::DecodingError(Kind kind, std::string description, std::string path)
    : std::runtime_error(errorMessage(description, path)),
      kind_(kind),
      description_(std::move(description)),
      path_(std::move(path)) {}

void throwTypeMismatch(std::string_view expected, const JsonValue& found, const CodingPath& path) {
  throw DecodingError(DecodingError::Kind::typeMismatch,
                      "Expected to decode " + std::string(expected) + " but found " +
                          std::string(found.typeDescription()) + " instead.",
                      path.toString());
}

void throwDataCorrupted(std::string description, const CodingPath& path) {
  throw DecodingError(DecodingError::Kind::dataCorrupted, std::move(description), path.toString());
}

void throwUnkeyedAtEnd(const CodingPath& path) {
  throw DecodingError(DecodingError::Kind::valueNotFound, "Unkeyed container is at end.",
                      path.toString());
}

void throwInvalidRawValue(std::string_view typeName, std::string_view rawType,
                          std::string_view value, const CodingPath& path) {
  throwDataCorrupted("Cannot initialize " + std::string(typeName) + " from invalid " +
                         std::string(rawType) + " value " + std::string(value),
                     path);
}

ObjectReader::ObjectReader(const JsonValue& v, const CodingPath& path) : value_(v), path_(path) {
  if (!v.isObject()) throwTypeMismatch("Dictionary<String, Any>", v, path);
}

const JsonValue& ObjectReader::requiredValue(std::string_view key) const {
  const JsonValue* v = find(key);
  if (v == nullptr) {
    throw DecodingError(DecodingError::Kind::keyNotFound,
                        "No value associated with key \"" + std::string(key) + "\".",
                        path_.key(key).toString());
  }
  if (v->isNull()) {
    throw DecodingError(
        DecodingError::Kind::valueNotFound,
        "Expected a value for key \"" + std::string(key) + "\" but found null instead.",
        path_.key(key).toString());
  }
  return *v;
}

CaseMember singleCase(const JsonValue& v, std::span<const std::string_view> caseNames,
                      const CodingPath& path) {
  const JsonValue::Object* o = v.asObject();
  if (o == nullptr) throwTypeMismatch("Dictionary<String, Any>", v, path);
  const JsonValue::Member* found = nullptr;
  std::size_t foundIndex = 0;
  for (const JsonValue::Member& m : *o) {
    for (std::size_t i = 0; i < caseNames.size(); ++i) {
      if (m.first != caseNames[i]) continue;
      // A repeated name is still one key; any second case name is not.
      if (found != nullptr && found->first != m.first) {
        throw DecodingError(DecodingError::Kind::typeMismatch,
                            std::string(invalidNumberOfKeysDescription), path.toString());
      }
      if (found == nullptr) {
        found = &m;
        foundIndex = i;
      }
    }
  }
  if (found == nullptr) {
    throw DecodingError(DecodingError::Kind::typeMismatch,
                        std::string(invalidNumberOfKeysDescription), path.toString());
  }
  return CaseMember{foundIndex, caseNames[foundIndex], found->second};
}

// ---- primitives -------------------------------------------------------------------------------

void JsonCoder<bool>::decode(const JsonValue& j, bool& out, const CodingPath& path) {
  const bool* b = j.asBool();
  if (b == nullptr) throwTypeMismatch("Bool", j, path);
  out = *b;
}

namespace detail {

std::string_view integerTypeName(bool isSigned, std::size_t size) {
  switch (size) {
    case 1:
      return isSigned ? "Int8" : "UInt8";
    case 2:
      return isSigned ? "Int16" : "UInt16";
    case 4:
      return isSigned ? "Int32" : "UInt32";
    default:
      return isSigned ? "Int" : "UInt";
  }
}

namespace {
[[noreturn]] void throwDoesNotFit(const JsonValue& j, const CodingPath& path,
                                  std::string_view typeName) {
  // As written in the document, where the value came from one; an integer's digits are the same
  // either way.
  std::string number(j.writtenNumber());
  if (number.empty()) {
    if (const double* d = j.asDouble()) {
      char buf[32];
      auto r = std::to_chars(buf, buf + sizeof buf, *d);
      number.assign(buf, r.ptr);
    } else if (const std::uint64_t* u = j.asUInt64()) {
      number = std::to_string(*u);
    } else if (const std::int64_t* i = j.asInt64()) {
      number = std::to_string(*i);
    }
  }
  throwDataCorrupted(
      "Parsed JSON number <" + number + "> does not fit in " + std::string(typeName) + ".", path);
}

// Any number that has a double value; a big number does not fit, anything else is no number.
double decodeDouble(const JsonValue& j, const CodingPath& path, std::string_view typeName) {
  double d = 0;
  if (j.toDouble(d)) return d;
  if (!j.isNumber()) throwTypeMismatch(typeName, j, path);
  throwDoesNotFit(j, path, typeName);
}
}  // namespace

std::int64_t decodeInt64(const JsonValue& j, const CodingPath& path, std::string_view typeName) {
  if (const std::int64_t* i = j.asInt64()) return *i;
  if (!j.isNumber()) throwTypeMismatch(typeName, j, path);
  throwDoesNotFit(j, path, typeName);
}

std::uint64_t decodeUInt64(const JsonValue& j, const CodingPath& path, std::string_view typeName) {
  if (const std::int64_t* i = j.asInt64()) {
    if (*i >= 0) return static_cast<std::uint64_t>(*i);
    throwDoesNotFit(j, path, typeName);
  }
  if (const std::uint64_t* u = j.asUInt64()) return *u;
  if (!j.isNumber()) throwTypeMismatch(typeName, j, path);
  throwDoesNotFit(j, path, typeName);
}

}  // namespace detail

void JsonCoder<double>::decode(const JsonValue& j, double& out, const CodingPath& path) {
  out = detail::decodeDouble(j, path, "Double");
}

void JsonCoder<float>::decode(const JsonValue& j, float& out, const CodingPath& path) {
  const double d = detail::decodeDouble(j, path, "Float");
  if (std::fabs(d) > std::numeric_limits<float>::max()) detail::throwDoesNotFit(j, path, "Float");
  out = static_cast<float>(d);
}

void JsonCoder<std::string>::decode(const JsonValue& j, std::string& out, const CodingPath& path) {
  const std::string* s = j.asString();
  if (s == nullptr) throwTypeMismatch("String", j, path);
  out = *s;
}

// ---- dates ------------------------------------------------------------------------------------

namespace {
using namespace std::chrono_literals;

// The dates that have a four-digit year in UTC.
constexpr Date kFirstDate = std::chrono::sys_days{std::chrono::year{0} / 1 / 1};
constexpr Date kLastDate = std::chrono::sys_days{std::chrono::year{9999} / 12 / 31} + 86399s;

constexpr std::string_view kDatePattern = "0000-00-00T00:00:00Z";

// Writes the text of a date within [kFirstDate, kLastDate] into `buf`.
void formatISO8601(Date d, char (&buf)[kDatePattern.size()]) {
  using namespace std::chrono;
  if (d < kFirstDate || d > kLastDate) {
    throw EncodingError("Unable to encode Date " + std::to_string(d.time_since_epoch().count()) +
                        " s since 1970: its year is not between 0000 and 9999.");
  }
  const auto days = floor<std::chrono::days>(d);
  const year_month_day ymd{days};
  const hh_mm_ss<seconds> time{d - days};
  // Every stored adjustment carries a date: digits are put in place without printf.
  std::copy(kDatePattern.begin(), kDatePattern.end(), buf);
  auto put = [&](std::size_t end, int v) {
    for (std::size_t i = end; v > 0; v /= 10)
      buf[--i] = static_cast<char>('0' + v % 10);
  };
  put(4, int(ymd.year()));
  put(7, int(unsigned(ymd.month())));
  put(10, int(unsigned(ymd.day())));
  put(13, int(time.hours().count()));
  put(16, int(time.minutes().count()));
  put(19, int(time.seconds().count()));
}
}  // namespace

std::string formatISO8601(Date d) {
  char buf[kDatePattern.size()];
  formatISO8601(d, buf);
  return std::string(buf, sizeof buf);
}

namespace {
bool digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
  if (pos + count > s.size()) return false;
  int v = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}
}  // namespace

std::optional<Date> parseISO8601(std::string_view s) {
  using namespace std::chrono;
  // yyyy-mm-ddThh:mm:ss then Z or ±hh:mm
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
  if (s.size() < 20) return std::nullopt;
  if (!digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' ||
      !digits(s, 8, 2, d) || s[10] != 'T' || !digits(s, 11, 2, h) || s[13] != ':' ||
      !digits(s, 14, 2, mi) || s[16] != ':' || !digits(s, 17, 2, se)) {
    return std::nullopt;
  }
  const year_month_day ymd{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
  if (!ymd.ok() || h > 23 || mi > 59 || se > 59) return std::nullopt;
  int offsetMinutes = 0;
  std::string_view zone = s.substr(19);
  if (zone == "Z") {
    offsetMinutes = 0;
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int oh = 0, om = 0;
    if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) {
      return std::nullopt;
    }
    offsetMinutes = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  const Date utc = sys_days{ymd} + hours{h} + minutes{mi} + seconds{se} - minutes{offsetMinutes};
  // An offset can carry the first or last day of the range into a year of five digits or none,
  // which could not be written back.
  if (utc < kFirstDate || utc > kLastDate) return std::nullopt;
  return utc;
}

void JsonCoder<Date>::encode(JsonWriter& w, const Date& v) {
  char buf[kDatePattern.size()];
  formatISO8601(v, buf);
  w.plainString({buf, sizeof buf});
}

void JsonCoder<Date>::decode(const JsonValue& j, Date& out, const CodingPath& path) {
  const std::string* s = j.asString();
  if (s == nullptr) throwTypeMismatch("String", j, path);
  std::optional<Date> d = parseISO8601(*s);
  if (!d) throwDataCorrupted("Expected date string to be ISO8601-formatted.", path);
  out = *d;
}

// ---- bytes ------------------------------------------------------------------------------------

namespace {
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> makeBase64Table() {
  std::array<signed char, 256> t{};
  for (auto& v : t)
    v = -1;
  for (int i = 0; i < 64; ++i)
    t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
  return t;
}
constexpr auto kBase64Table = makeBase64Table();
}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = (unsigned(static_cast<unsigned char>(bytes[i])) << 16) |
                       (unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                       unsigned(static_cast<unsigned char>(bytes[i + 2]));
    out.push_back(kBase64Alphabet[(v >> 18) & 63]);
    out.push_back(kBase64Alphabet[(v >> 12) & 63]);
    out.push_back(kBase64Alphabet[(v >> 6) & 63]);
    out.push_back(kBase64Alphabet[v & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = unsigned(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out.push_back(kBase64Alphabet[(v >> 18) & 63]);
    out.push_back(kBase64Alphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int vals[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        vals[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      vals[k] = kBase64Table[static_cast<unsigned char>(c)];
      if (vals[k] < 0) return std::nullopt;
    }
    const unsigned v = (unsigned(vals[0]) << 18) | (unsigned(vals[1]) << 12) |
                       (unsigned(vals[2]) << 6) | unsigned(vals[3]);
    out.push_back(static_cast<char>((v >> 16) & 0xFF));
    if (padding < 2) out.push_back(static_cast<char>((v >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

void JsonCoder<Bytes>::encode(JsonWriter& w, const Bytes& v) {
  w.string(base64Encode(v.data));
}

void JsonCoder<Bytes>::decode(const JsonValue& j, Bytes& out, const CodingPath& path) {
  const std::string* s = j.asString();
  if (s == nullptr) throwTypeMismatch("String", j, path);
  std::optional<std::string> bytes = base64Decode(*s);
  if (!bytes) throwDataCorrupted("Encountered Data is not valid Base64.", path);
  out.data = std::move(*bytes);
}

// ---- UUIDs, geometry --------------------------------------------------------------------------

void JsonCoder<Uuid>::encode(JsonWriter& w, const Uuid& v) {
  w.string(v.string());
}

void JsonCoder<Uuid>::decode(const JsonValue& j, Uuid& out, const CodingPath& path) {
  const std::string* s = j.asString();
  if (s == nullptr) throwTypeMismatch("String", j, path);
  std::optional<Uuid> u = Uuid::parse(*s);
  if (!u) throwDataCorrupted("Attempted to decode UUID from invalid UUID string.", path);
  out = *u;
}

}  // namespace tarno::core
