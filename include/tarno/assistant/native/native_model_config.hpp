// Where the native engine's local model server is, which model it asks for and which key it
// sends. Whoever starts a native turn supplies it; nothing here reads settings or files.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "tarno/core/json_record.hpp"

namespace tarno::assistant {

// A plain value. All three members are required in JSON and written in this order.
struct NativeModelConfig {
  // Base URL of an OpenAI-compatible server; "/chat/completions" is appended to it.
  std::string endpoint{};
  std::string model{};
  // Bearer token; empty sends none.
  std::string apiKey{};

  // The engine id under which the native engine is known (compare AssistantRunRequest).
  static constexpr std::string_view engineID = "local";

  static constexpr auto jsonFields =
      std::tuple{core::required("endpoint", &NativeModelConfig::endpoint),
                 core::required("model", &NativeModelConfig::model),
                 core::required("apiKey", &NativeModelConfig::apiKey)};
  friend bool operator==(const NativeModelConfig&, const NativeModelConfig&) = default;
};

// Whether `key` can go into the Authorization header as it is: a control character (a line
// feed, say) would end the header line early and let the key add headers of its own.
inline bool isSendableAPIKey(std::string_view key) {
  return std::none_of(key.begin(), key.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

}  // namespace tarno::assistant
