// Where the native engine's local model server is, which model it asks for and which key it
// sends. Whoever starts a native turn supplies it; nothing here reads settings or files.
#pragma once

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

}  // namespace tarno::assistant
