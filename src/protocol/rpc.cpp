// The non-generic parts of the JSON-RPC envelope: ids, error lines and their fallbacks.
#include "tarno/protocol/rpc.hpp"

namespace tarno::protocol {

void toJSON(core::JsonWriter& w, const RPCID& id) {
  if (const std::int64_t* n = id.as<std::int64_t>()) {
    w.integer(*n);
  } else {
    w.string(*id.as<std::string>());
  }
}

void fromJSON(const core::JsonValue& j, RPCID& out, const core::CodingPath& path) {
  if (const std::string* s = j.asString()) {
    out = RPCID::string(*s);
  } else if (j.isNumber()) {
    out = RPCID::number(core::decodeJSON<std::int64_t>(j, path));
  } else {
    core::throwTypeMismatch("Int64 or String", j, path);
  }
}

namespace RPC {

std::string& detail::lineBuffer() {
  constexpr std::size_t kKeptCapacity = 1024 * 1024;
  thread_local std::string buffer;
  if (buffer.capacity() > kKeptCapacity) {
    std::string().swap(buffer);
  } else {
    buffer.clear();
  }
  return buffer;
}

void detail::beginEnvelope(core::JsonWriter& w, const RPCID* id) {
  w.beginObject();
  w.key("jsonrpc");
  w.string("2.0");
  if (id != nullptr) w.member("id", *id);
}

std::string encodeError(const std::optional<RPCID>& id, RPCErrorCode code,
                        std::string_view message) {
  try {
    return detail::writeLine(id ? &*id : nullptr, [&](core::JsonWriter& w) {
      w.member("error",
               RPCError{.code = core::integerRawValue(code), .message = std::string(message)});
    });
  } catch (const core::EncodingError&) {
    return std::string(errorEncodingFailedLine);
  }
}

RPCError detail::missingOutcomeError() {
  return {.code = core::integerRawValue(RPCErrorCode::internalError),
          .message = "response carried neither result nor error"};
}

}  // namespace RPC

}  // namespace tarno::protocol
