// The app's JSON-RPC 2.0 envelope: ids, error objects and codes, and the functions that turn
// typed parameters and results into request and response lines and back. Lines carry no line
// feed: FrameCodec adds and strips it.
//
// Every function here is stateless and may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"
#include "tarno/protocol/ipc_method.hpp"

namespace tarno::protocol {

// A request id, written as a bare JSON integer or string; number(1) and string("1") differ.
class RPCID : public core::OneOf<std::int64_t, std::string> {
 public:
  using OneOf::OneOf;
  static RPCID number(std::int64_t n) { return RPCID(n); }
  static RPCID string(std::string s) { return RPCID(std::move(s)); }
};
void toJSON(core::JsonWriter& w, const RPCID& id);
// Anything but an integer or a string is a type mismatch.
void fromJSON(const core::JsonValue& j, RPCID& out, const core::CodingPath& path);

// The error object of a response. A received `data` member is ignored.
struct RPCError {
  std::int64_t code = 0;
  std::string message;
  static constexpr auto jsonFields = std::tuple{core::required("code", &RPCError::code),
                                                core::required("message", &RPCError::message)};
  friend bool operator==(const RPCError&, const RPCError&) = default;
};

// The codes put in RPCError::code: JSON-RPC 2.0's own and two of the app's.
// core::integerRawValue gives a case's code; core::caseWithRawValue<RPCErrorCode> gives nothing
// for any other integer.
enum class RPCErrorCode {
  parseError,
  invalidRequest,
  methodNotFound,
  invalidParams,
  internalError,     // also every failure the envelope functions report themselves
  versionConflict,   // a version the request relied on no longer holds
  storeUnavailable,  // the photo store cannot be used
};
constexpr std::array<std::pair<RPCErrorCode, std::int64_t>, 7> jsonRawValues(RPCErrorCode) {
  using enum RPCErrorCode;
  return {{{parseError, -32700},
           {invalidRequest, -32600},
           {methodNotFound, -32601},
           {invalidParams, -32602},
           {internalError, -32603},
           {versionConflict, -32000},
           {storeUnavailable, -32001}}};
}

// A server's first look at a request line. `method` stays text: an unknown method still decodes,
// and core::caseWithRawValue<IPCMethod> maps it in a separate step. Other members are ignored.
struct RPCEnvelope {
  std::optional<std::string> jsonrpc;
  std::string method;
  std::optional<RPCID> id;
  static constexpr auto jsonFields = std::tuple{core::optional("jsonrpc", &RPCEnvelope::jsonrpc),
                                                core::required("method", &RPCEnvelope::method),
                                                core::optional("id", &RPCEnvelope::id)};
};

// The outcome a response line carries: the result, or the error the peer sent.
template <class R>
using RPCResult = core::OneOf<R, RPCError>;

namespace RPC {

// The shared coders every record of the protocol travels through: compact JSON, members in
// declared order, no key sorting, dates as ISO 8601 text with whole seconds and a zone.
// encode throws core::EncodingError for values with no JSON form (NaN, infinities); decode
// throws core::DecodingError.
namespace detail {

// Decodes a whole text into *out, which points at a default-constructed value.
using TextDecoder = void (*)(std::string_view text, void* out);
// The protocol library's fast decoder of a listed type (protocol_types.hpp: as itself, as
// request parameters and as a response result), or null. It reads the parsed document directly,
// guided by the type's own declaration, and leaves every input it does not accept to the generic
// decoder, so values and errors are the generic decoder's.
TextDecoder fastDecoder(const std::type_info& type);

}  // namespace detail

template <class T>
std::string encode(const T& value) {
  return core::encodeToString(value);
}
template <class T>
T decode(std::string_view text) {
  static const detail::TextDecoder fast = detail::fastDecoder(typeid(T));
  if (fast == nullptr) return core::decodeFromString<T>(text);
  T out{};
  fast(text, &out);
  return out;
}

// What a response whose encoding failed becomes, byte for byte; the request's id is dropped.
inline constexpr std::string_view errorEncodingFailedLine =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32603,"message":"encoding failed"}})";

namespace detail {

// Writes {"jsonrpc":"2.0" and, when there is one, the id; the caller adds the rest and closes.
void beginEnvelope(core::JsonWriter& w, const RPCID* id);

// The calling thread's empty line buffer. Lines are written there and copied out once at their
// size: a new string would double its way up to a large line, touching about twice its size in
// fresh pages. A buffer that grew past 1 MiB is let go instead of kept.
std::string& lineBuffer();

template <class Write>
std::string writeLine(const RPCID* id, Write write) {
  std::string& buffer = lineBuffer();
  core::JsonWriter w(buffer);
  beginEnvelope(w, id);
  write(w);
  w.endObject();
  return buffer;
}

struct NoParams {};

template <class P>
std::string request(const RPCID& id, IPCMethod method, const P* params) {
  return writeLine(&id, [&](core::JsonWriter& w) {
    w.member("method", method);
    if constexpr (!std::is_same_v<P, NoParams>) {
      if (params != nullptr) w.member("params", *params);
    }
  });
}

template <class P>
struct ParamsBox {
  std::optional<P> params;
  static constexpr auto jsonFields = std::tuple{core::optional("params", &ParamsBox::params)};
};

RPCError missingOutcomeError();

template <class R>
struct ResultBox {
  std::optional<R> result;
  std::optional<RPCError> error;
  static constexpr auto jsonFields = std::tuple{core::optional("result", &ResultBox::result),
                                                core::optional("error", &ResultBox::error)};
};

}  // namespace detail

// A request line; a request always has an id. Throws core::EncodingError when the parameters
// cannot be encoded.
inline std::string encodeRequest(const RPCID& id, IPCMethod method) {
  return detail::request<detail::NoParams>(id, method, nullptr);
}
template <class P>
std::string encodeRequest(const RPCID& id, IPCMethod method, const P& params) {
  return detail::request(id, method, &params);
}
template <class P>
std::string encodeRequest(const RPCID& id, IPCMethod method, const std::optional<P>& params) {
  return detail::request(id, method, params ? &*params : nullptr);
}

// The request's parameters; absent when `params` is missing or null. Throws core::DecodingError
// when the line is not JSON or the parameters do not fit P.
template <class P>
std::optional<P> decodeParams(std::string_view line) {
  return decode<detail::ParamsBox<P>>(line).params;
}

// An error response line; the id is left out when there is none. Never fails.
std::string encodeError(const std::optional<RPCID>& id, RPCErrorCode code,
                        std::string_view message);

// A success response line; when the result cannot be encoded, the internalError response
// "result encoding failed" for the same id instead. Never fails.
template <class R>
std::string encodeResult(const std::optional<RPCID>& id, const R& result) {
  try {
    return detail::writeLine(id ? &*id : nullptr,
                             [&](core::JsonWriter& w) { w.member("result", result); });
  } catch (const core::EncodingError&) {
    return encodeError(id, RPCErrorCode::internalError, "result encoding failed");
  }
}

// The outcome a response line carries. The error wins when both are present; neither gives the
// internalError "response carried neither result nor error". Ids are not compared. Throws
// core::DecodingError when the line is not JSON or a member has the wrong shape.
template <class R>
RPCResult<R> decodeResponse(std::string_view line) {
  detail::ResultBox<R> box = decode<detail::ResultBox<R>>(line);
  if (box.error) return std::move(*box.error);
  if (box.result) return std::move(*box.result);
  return detail::missingOutcomeError();
}

}  // namespace RPC

}  // namespace tarno::protocol
