// JSON text checked and carried as it is written, without a value tree: for hosts that pass a
// document on (a tool's arguments, the app's answer) and look at only a few of its members. A
// tree costs many times its text; these functions hold nothing beyond the text they are given
// and what they return.
//
// Pure functions, safe from any thread. All but isValid() take text that isValid() accepted
// (or a value taken from such text).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarno::assistant::JsonText {

// Whether `text` is one complete JSON text: RFC 8259, valid UTF-8, no lone surrogate escape,
// nesting at most 1024 deep, whitespace around it allowed.
bool isValid(std::string_view text);

enum class Kind { null, boolean, number, string, array, object };

// The kind of a value (whitespace around it allowed).
Kind kind(std::string_view value);

// The value of the first member of `object` whose name, decoded, is `name`: as written, without
// the whitespace around it. Nothing when there is none or `object` is not an object.
std::optional<std::string_view> member(std::string_view object, std::string_view name);

// The characters of a string value, its escapes decoded.
std::string decoded(std::string_view string);

// A value without the whitespace between its tokens, everything else as written (numbers keep
// their digits, strings their escapes), appended to `out`: never longer than the value.
void appendCompact(std::string& out, std::string_view value);
inline std::string compact(std::string_view value) {
  std::string out;
  appendCompact(out, value);
  return out;
}

}  // namespace tarno::assistant::JsonText
