// Arbitrary bytes as a JSON-RPC line, read the way a server and a client read them: the
// envelope, the parameters, the response. Decoding may fail only with DecodingError; whatever
// decodes must survive its own response or request line unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tarno/protocol/protocol_types.hpp"

using namespace tarno::protocol;
using tarno::core::DecodingError;

namespace {

template <class P>
void checkParams(std::string_view line) {
  std::optional<P> params;
  try {
    params = RPC::decodeParams<P>(line);
  } catch (const DecodingError&) {
    return;
  }
  if (!params) return;
  const std::string request = RPC::encodeRequest(RPCID::number(1), IPCMethod::ping, *params);
  if (RPC::encodeRequest(RPCID::number(1), IPCMethod::ping, *RPC::decodeParams<P>(request)) !=
      request) {
    std::abort();
  }
}

template <class R>
void checkResponse(std::string_view line) {
  try {
    const RPCResult<R> outcome = RPC::decodeResponse<R>(line);
    if (const RPCError* e = outcome.template as<RPCError>()) {
      const auto again = RPC::decodeResponse<R>(
          RPC::encodeError(std::nullopt, RPCErrorCode::internalError, e->message));
      if (again.template as<RPCError>()->message != e->message) std::abort();
    } else {
      const std::string encoded = RPC::encodeResult(RPCID::string("x"), *outcome.template as<R>());
      if (RPC::encodeResult(RPCID::string("x"),
                            *RPC::decodeResponse<R>(encoded).template as<R>()) != encoded) {
        std::abort();
      }
    }
  } catch (const DecodingError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  try {
    const auto envelope = RPC::decode<RPCEnvelope>(line);
    // A server answers an unknown method with an error echoing the id.
    const std::string answer =
        RPC::encodeError(envelope.id, RPCErrorCode::methodNotFound, envelope.method);
    const auto outcome = RPC::decodeResponse<std::int64_t>(answer);
    if (outcome.as<RPCError>() == nullptr || outcome.as<RPCError>()->message != envelope.method) {
      std::abort();
    }
  } catch (const DecodingError&) {
  }
  checkParams<QueryParams>(line);
  checkParams<GroupMembershipParams>(line);
  checkParams<GeotagParams>(line);
  checkParams<EditSetParams>(line);
  checkResponse<SimilarFindResult>(line);
  checkResponse<SnapshotListResult>(line);
  return 0;
}
