// The fast decoders behind RPC::decode, decodeParams and decodeResponse: one per listed type,
// derived from its declaration like the generic one, found by type at a call's first use.
#include <typeindex>
#include <unordered_map>

#include "core/simdjson_decoder.hpp"
#include "tarno/protocol/protocol_types.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::protocol::RPC::detail {

namespace {

using Table = std::unordered_map<std::type_index, TextDecoder>;

template <class T>
void decodeFast(std::string_view text, void* out) {
  *static_cast<T*>(out) = core::simdjson_decoder::decode<T>(text);
}

template <class T>
void add(Table& table) {
  table.emplace(typeid(T), &decodeFast<T>);
}

// Model types travel inside the protocol's records and are checked on their own by tools.
template <class... T>
void addModelTypes(Table& table, TypeList<T...>) {
  (add<T>(table), ...);
}

// Protocol types also as the params of a request line and the result of a response line.
template <class... T>
void addProtocolTypes(Table& table, TypeList<T...>) {
  ((add<T>(table), add<ParamsBox<T>>(table), add<ResultBox<T>>(table)), ...);
}

}  // namespace

TextDecoder fastDecoder(const std::type_info& type) {
  static const Table table = [] {
    Table t;
    addProtocolTypes(t, ProtocolTypes{});
    addModelTypes(t, ModelTypes{});
    return t;
  }();
  const auto it = table.find(type);
  return it == table.end() ? nullptr : it->second;
}

}  // namespace tarno::protocol::RPC::detail
