// Decodes arbitrary bytes as a stored edit stack. The fast decoder the codec uses and the generic
// one must agree on every input; decoding fails only with DecodingError, never stores an empty
// mask list, and what decodes reads back equal from its own encoding.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/simdjson_decoder.hpp"
#include "tarno/core/adjustment_data_codec.hpp"

using namespace tarno::core;

namespace {
template <class F>
std::optional<std::string> outcome(F decode) {
  try {
    return encodeToString(decode());
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto generic = outcome([&] { return decodeFromString<EditStack>(text); });
  const auto fast = outcome([&] { return simdjson_decoder::decode<EditStack>(text); });
  if (generic != fast) std::abort();

  const std::optional<EditStack> stack = AdjustmentDataCodec::decode(text);
  if (stack.has_value() != fast.has_value()) std::abort();
  if (!stack) return 0;
  if (stack->maskList && stack->maskList->empty()) std::abort();
  const std::optional<EditStack> again = AdjustmentDataCodec::decode(*fast);
  if (!again || !(*again == *stack)) std::abort();
  return 0;
}
