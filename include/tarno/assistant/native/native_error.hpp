// The chat client's own failures; what() is the description shown to the user.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tarno::assistant {

class NativeError : public std::runtime_error {
 public:
  enum class Kind : std::uint8_t { http, badEndpoint, badResponse };

  // The server answered with an error status; `text` is the start of its body.
  static NativeError http(std::string text) { return {Kind::http, std::move(text)}; }
  // "invalid endpoint URL"
  static NativeError badEndpoint() { return {Kind::badEndpoint, "invalid endpoint URL"}; }
  // "unexpected response shape"
  static NativeError badResponse() { return {Kind::badResponse, "unexpected response shape"}; }

  Kind kind() const noexcept { return kind_; }

 private:
  NativeError(Kind kind, const std::string& description)
      : std::runtime_error(description), kind_(kind) {}

  Kind kind_;
};

}  // namespace tarno::assistant
