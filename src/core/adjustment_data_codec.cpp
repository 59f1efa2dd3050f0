// Stored edit stacks: format check, encoding and forgiving decoding (through the fast decoder:
// stacks are read whenever the app shows a photo).
#include "tarno/core/adjustment_data_codec.hpp"

#include <charconv>

#include "core/simdjson_decoder.hpp"

namespace tarno::core::AdjustmentDataCodec {

bool canHandle(std::string_view identifier, std::string_view version) {
  if (identifier != formatIdentifier) return false;
  // The first non-empty piece between dots is the major version.
  std::string_view major;
  for (std::size_t start = 0; start <= version.size() && major.empty();) {
    const std::size_t dot = std::min(version.find('.', start), version.size());
    major = version.substr(start, dot - start);
    start = dot + 1;
  }
  if (major.empty()) return false;
  // One optional sign: from_chars reads a minus itself but not a plus.
  if (major.front() == '+' && major.size() > 1 && major[1] != '-') major.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(major.data(), major.data() + major.size(), value);
  if (ec != std::errc() || end != major.data() + major.size() || major.empty()) return false;
  return value <= currentMajorVersion;
}

std::string encode(const EditStack& stack) {
  return encodeToString(stack);
}

std::optional<EditStack> decode(std::string_view data) {
  try {
    return simdjson_decoder::decode<EditStack>(data);
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

}  // namespace tarno::core::AdjustmentDataCodec
