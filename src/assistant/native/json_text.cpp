// A strict JSON scanner that walks the text once per question and keeps only a stack of the
// containers it is in.
#include "tarno/assistant/native/json_text.hpp"

#include <cstdint>
#include <vector>

#include "tarno/core/json_value.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {

namespace {

constexpr std::size_t npos = std::string_view::npos;
// As deep as the core parser goes.
constexpr std::size_t maxDepth = 1024;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

std::size_t skipSpace(std::string_view text, std::size_t at) {
  while (at < text.size() && isSpace(text[at]))
    ++at;
  return at;
}

// The four hexadecimal digits at `at`.
std::optional<std::uint32_t> hex4(std::string_view text, std::size_t at) {
  if (at > text.size() || text.size() - at < 4) return std::nullopt;
  std::uint32_t unit = 0;
  for (const char c : text.substr(at, 4)) {
    unit <<= 4;
    if (isDigit(c)) {
      unit |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      unit |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      unit |= static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return unit;
}

bool isHighSurrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Where the string that opens at `at` (a quote) ends, past its closing quote; npos when it is
// malformed. A \u escape of a high surrogate must be followed by one of a low surrogate.
std::size_t stringEnd(std::string_view text, std::size_t at) {
  for (++at; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '"') return at + 1;
    if (c < 0x20) return npos;
    if (c != '\\') {
      ++at;
      continue;
    }
    if (++at == text.size()) return npos;
    switch (text[at]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        ++at;
        break;
      case 'u': {
        const std::optional<std::uint32_t> unit = hex4(text, at + 1);
        if (!unit || isLowSurrogate(*unit)) return npos;
        at += 5;
        if (isHighSurrogate(*unit)) {
          const std::optional<std::uint32_t> low =
              text.substr(at, 2) == "\\u" ? hex4(text, at + 2) : std::nullopt;
          if (!low || !isLowSurrogate(*low)) return npos;
          at += 6;
        }
        break;
      }
      default:
        return npos;
    }
  }
  return npos;
}

std::size_t digitsEnd(std::string_view text, std::size_t at) {
  while (at < text.size() && isDigit(text[at]))
    ++at;
  return at;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
std::size_t numberEnd(std::string_view text, std::size_t at) {
  if (text[at] == '-') ++at;
  if (at == text.size() || !isDigit(text[at])) return npos;
  at = text[at] == '0' ? at + 1 : digitsEnd(text, at);
  if (at < text.size() && text[at] == '.') {
    const std::size_t fraction = at + 1;
    at = digitsEnd(text, fraction);
    if (at == fraction) return npos;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    std::size_t exponent = at + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    at = digitsEnd(text, exponent);
    if (at == exponent) return npos;
  }
  return at;
}

std::size_t scalarEnd(std::string_view text, std::size_t at) {
  const char c = text[at];
  if (c == '"') return stringEnd(text, at);
  if (c == '-' || isDigit(c)) return numberEnd(text, at);
  for (const std::string_view literal : {"true", "false", "null"}) {
    if (text.substr(at, literal.size()) == literal) return at + literal.size();
  }
  return npos;
}

// Past the colon of the member whose name starts at `at`; npos when malformed.
std::size_t memberValueStart(std::string_view text, std::size_t at) {
  if (at >= text.size() || text[at] != '"') return npos;
  at = stringEnd(text, at);
  if (at == npos) return npos;
  at = skipSpace(text, at);
  return at < text.size() && text[at] == ':' ? at + 1 : npos;
}

// Where the value that starts at `at` (after whitespace) ends; npos when it is malformed.
// Iterative: no input can exhaust the stack.
std::size_t valueEnd(std::string_view text, std::size_t at) {
  std::vector<char> closers;  // of the containers the scan is in, innermost last
  for (;;) {
    at = skipSpace(text, at);
    if (at >= text.size()) return npos;
    const char c = text[at];
    bool valueDone = true;
    if (c == '{' || c == '[') {
      if (closers.size() == maxDepth) return npos;
      closers.push_back(c == '{' ? '}' : ']');
      at = skipSpace(text, at + 1);
      if (at < text.size() && text[at] == closers.back()) {
        closers.pop_back();
        ++at;
      } else {
        if (c == '{') at = memberValueStart(text, at);
        valueDone = false;
      }
    } else {
      at = scalarEnd(text, at);
    }
    if (at == npos) return npos;
    // After a value: close what ends here, or move on to the next element.
    while (valueDone) {
      if (closers.empty()) return at;
      at = skipSpace(text, at);
      if (at >= text.size()) return npos;
      if (text[at] == closers.back()) {
        closers.pop_back();
        ++at;
      } else if (text[at] == ',') {
        at = skipSpace(text, at + 1);
        if (closers.back() == '}') at = memberValueStart(text, at);
        if (at == npos) return npos;
        valueDone = false;
      } else {
        return npos;
      }
    }
  }
}

bool nameIs(std::string_view quotedName, std::string_view name) {
  const std::string_view inside = quotedName.substr(1, quotedName.size() - 2);
  if (inside.find('\\') == std::string_view::npos) return inside == name;
  return JsonText::decoded(quotedName) == name;
}

}  // namespace

bool JsonText::isValid(std::string_view text) {
  if (!core::isValidUTF8(text)) return false;
  const std::size_t end = valueEnd(text, 0);
  return end != npos && skipSpace(text, end) == text.size();
}

JsonText::Kind JsonText::kind(std::string_view value) {
  const std::size_t at = skipSpace(value, 0);
  switch (at < value.size() ? value[at] : 'n') {
    case 'n':
      return Kind::null;
    case 't':
    case 'f':
      return Kind::boolean;
    case '"':
      return Kind::string;
    case '[':
      return Kind::array;
    case '{':
      return Kind::object;
    default:
      return Kind::number;
  }
}

std::optional<std::string_view> JsonText::member(std::string_view object, std::string_view name) {
  if (kind(object) != Kind::object) return std::nullopt;
  std::size_t at = skipSpace(object, skipSpace(object, 0) + 1);
  while (at < object.size() && object[at] == '"') {
    const std::size_t nameEnd = stringEnd(object, at);
    const std::string_view quotedName = object.substr(at, nameEnd - at);
    const std::size_t start = skipSpace(object, memberValueStart(object, at));
    const std::size_t end = valueEnd(object, start);
    if (end == npos) return std::nullopt;
    if (nameIs(quotedName, name)) return object.substr(start, end - start);
    at = skipSpace(object, end);
    if (at >= object.size() || object[at] != ',') break;
    at = skipSpace(object, at + 1);
  }
  return std::nullopt;
}

std::string JsonText::decoded(std::string_view string) {
  const std::size_t first = skipSpace(string, 0);
  const std::size_t end = stringEnd(string, first);
  if (end == npos) return {};
  const std::string_view token = string.substr(first, end - first);
  const std::string_view inside = token.substr(1, token.size() - 2);
  if (inside.find('\\') == npos) return std::string(inside);
  // Escapes are rare in the few members that are read: the core parser decodes them.
  const std::optional<core::JsonValue> value = core::parseJsonIfValid(token);
  const std::string* text = value ? value->asString() : nullptr;
  return text ? *text : std::string();
}

void JsonText::appendCompact(std::string& out, std::string_view value) {
  out.reserve(out.size() + value.size());
  for (std::size_t at = 0; at < value.size();) {
    if (value[at] == '"') {
      const std::size_t end = stringEnd(value, at);
      if (end == npos) return;
      out.append(value.substr(at, end - at));
      at = end;
    } else {
      const std::size_t space = value.find_first_of(" \t\n\r\"", at);
      out.append(value.substr(at, space - at));
      at = space == npos ? value.size() : skipSpace(value, space);
    }
  }
}

}  // namespace tarno::assistant
