// UUIDs through libuuid: random v4 generation and canonical text.
#include "tarno/core/uuid.hpp"

#include <uuid/uuid.h>

#include <cstring>

namespace tarno::core {

Uuid Uuid::random() {
  Uuid u;
  uuid_generate_random(u.bytes.data());
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  char buf[37];
  std::memcpy(buf, text.data(), 36);
  buf[36] = '\0';
  Uuid u;
  if (uuid_parse(buf, u.bytes.data()) != 0) return std::nullopt;
  return u;
}

std::string Uuid::string() const {
  char buf[37];
  uuid_unparse_upper(bytes.data(), buf);
  return std::string(buf, 36);
}

}  // namespace tarno::core
