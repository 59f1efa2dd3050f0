// A small strict JSON parser for the rare document that simdjson cannot hold: one with a number
// beyond 64 bits or beyond double range. Speed matters little here; agreement does: every
// number simdjson can hold is handed to simdjson, so both parsers give the same tree.
#include "json_text_parser.hpp"

#include <simdjson.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarno::core::detail {
namespace {

using simdjson::error_code;

constexpr std::size_t kMaxDepth = simdjson::DEFAULT_MAX_DEPTH;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A number token that simdjson cannot hold is kept as text; any other goes through simdjson's
// own number parser, so "-0", "1e-400" and rounding come out as on the fast path.
JsonValue numberValue(std::string_view token) {
  thread_local simdjson::dom::parser parser;
  thread_local std::string padded;
  padded.assign(token);
  padded.append(simdjson::SIMDJSON_PADDING, ' ');
  simdjson::dom::element e;
  if (parser.parse(padded.data(), token.size(), false).get(e) != simdjson::SUCCESS) {
    return JsonValue(JsonValue::BigNumber{std::string(token)});
  }
  switch (e.type()) {
    case simdjson::dom::element_type::INT64:
      return JsonValue(std::int64_t(e.get_int64().value_unsafe()));
    case simdjson::dom::element_type::UINT64:
      return JsonValue(std::uint64_t(e.get_uint64().value_unsafe()));
    default:
      // Documents that reach this parser are rare: each such number keeps its own text.
      return JsonValue(double(e.get_double().value_unsafe()),
                       std::make_shared<const std::string>(token), 0);
  }
}

class TextParser {
 public:
  explicit TextParser(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  error_code parse(JsonValue& out) {
    skipSpace();
    if (p_ == end_) return simdjson::EMPTY;
    // Open containers, innermost last; an object frame keeps the key of its pending member.
    struct Frame {
      JsonValue value;
      std::string key;
    };
    std::vector<Frame> stack;
    JsonValue done;
    while (true) {
      // A value starts here.
      skipSpace();
      if (p_ == end_) return simdjson::TAPE_ERROR;
      const char c = *p_;
      bool opened = false;
      if (c == '{' || c == '[') {
        ++p_;
        stack.push_back(
            Frame{c == '{' ? JsonValue(JsonValue::Object{}) : JsonValue(JsonValue::Array{}), {}});
        skipSpace();
        if (p_ < end_ && *p_ == (c == '{' ? '}' : ']')) {
          ++p_;
          done = std::move(stack.back().value);
          stack.pop_back();
        } else if (stack.size() == kMaxDepth) {
          // Like simdjson: a container may sit at the deepest level only if it is empty.
          return simdjson::DEPTH_ERROR;
        } else if (c == '{') {
          if (error_code e = memberKey(stack.back().key)) return e;
          continue;
        } else {
          continue;
        }
        opened = true;
      }
      if (!opened) {
        if (error_code e = scalar(done)) return e;
      }
      // A value is complete: hand it to its container, closing containers as they end.
      while (true) {
        if (stack.empty()) {
          skipSpace();
          if (p_ != end_) return simdjson::TAPE_ERROR;
          out = std::move(done);
          return simdjson::SUCCESS;
        }
        Frame& top = stack.back();
        if (JsonValue::Array* a = top.value.asArray()) {
          a->push_back(std::move(done));
        } else {
          top.value.asObject()->emplace_back(std::move(top.key), std::move(done));
        }
        skipSpace();
        if (p_ == end_) return simdjson::TAPE_ERROR;
        const bool isObject = top.value.isObject();
        if (*p_ == ',') {
          ++p_;
          if (isObject) {
            skipSpace();
            if (error_code e = memberKey(top.key)) return e;
          }
          break;  // the next element's value
        }
        if (*p_ != (isObject ? '}' : ']')) return simdjson::TAPE_ERROR;
        ++p_;
        done = std::move(top.value);
        stack.pop_back();
      }
    }
  }

 private:
  void skipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
      ++p_;
  }

  // "name" followed by ":", at the current position.
  error_code memberKey(std::string& key) {
    if (p_ == end_ || *p_ != '"') return simdjson::TAPE_ERROR;
    key.clear();
    if (error_code e = string(key)) return e;
    skipSpace();
    if (p_ == end_ || *p_ != ':') return simdjson::TAPE_ERROR;
    ++p_;
    return simdjson::SUCCESS;
  }

  error_code scalar(JsonValue& out) {
    switch (*p_) {
      case '"': {
        std::string s;
        if (error_code e = string(s)) return e;
        out = JsonValue(std::move(s));
        return simdjson::SUCCESS;
      }
      case 't':
        out = JsonValue(true);
        return word("true", simdjson::T_ATOM_ERROR);
      case 'f':
        out = JsonValue(false);
        return word("false", simdjson::F_ATOM_ERROR);
      case 'n':
        out = JsonValue();
        return word("null", simdjson::N_ATOM_ERROR);
      default:
        if (*p_ == '-' || isDigit(*p_)) return number(out);
        return simdjson::TAPE_ERROR;
    }
  }

  error_code word(std::string_view w, error_code fault) {
    if (static_cast<std::size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w) {
      return fault;
    }
    p_ += w.size();
    // "truex", "null1": the word must end where a value may end.
    if (p_ < end_ && !isDelimiter(*p_)) return fault;
    return simdjson::SUCCESS;
  }

  static bool isDelimiter(char c) {
    return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  error_code number(JsonValue& out) {
    const char* start = p_;
    if (*p_ == '-') ++p_;
    if (p_ == end_ || !isDigit(*p_)) return simdjson::NUMBER_ERROR;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ < end_ && isDigit(*p_))
        ++p_;
    }
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      if (p_ == end_ || !isDigit(*p_)) return simdjson::NUMBER_ERROR;
      while (p_ < end_ && isDigit(*p_))
        ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !isDigit(*p_)) return simdjson::NUMBER_ERROR;
      while (p_ < end_ && isDigit(*p_))
        ++p_;
    }
    if (p_ < end_ && !isDelimiter(*p_)) return simdjson::NUMBER_ERROR;
    out = numberValue(std::string_view(start, static_cast<std::size_t>(p_ - start)));
    return simdjson::SUCCESS;
  }

  // Four hex digits after "\u".
  bool hex4(std::uint32_t& out) {
    if (end_ - p_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = hexValue(p_[i]);
      if (h < 0) return false;
      out = (out << 4) | static_cast<std::uint32_t>(h);
    }
    p_ += 4;
    return true;
  }

  // At the opening quote; the text is known to be valid UTF-8.
  error_code string(std::string& out) {
    ++p_;
    while (true) {
      const char* run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20)
        ++p_;
      out.append(run, p_);
      if (p_ == end_) return simdjson::UNCLOSED_STRING;
      const char c = *p_++;
      if (c == '"') return simdjson::SUCCESS;
      if (c != '\\') return simdjson::UNESCAPED_CHARS;
      if (p_ == end_) return simdjson::UNCLOSED_STRING;
      switch (*p_++) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!hex4(cp)) return simdjson::STRING_ERROR;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return simdjson::STRING_ERROR;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return simdjson::STRING_ERROR;
            p_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return simdjson::STRING_ERROR;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          appendUTF8(out, cp);
          break;
        }
        default:
          return simdjson::STRING_ERROR;
      }
    }
  }

  const char* p_;
  const char* end_;
};

}  // namespace

bool parseJsonText(std::string_view text, JsonValue& out, std::string_view& reason) {
  error_code e = simdjson::validate_utf8(text.data(), text.size()) ? TextParser(text).parse(out)
                                                                   : simdjson::UTF8_ERROR;
  if (e == simdjson::SUCCESS) return true;
  reason = simdjson::error_message(e);
  return false;
}

}  // namespace tarno::core::detail
