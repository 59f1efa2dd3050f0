// The JSON-RPC envelope: request and response lines, their fallbacks, ids and the method table.
#include "tarno/protocol/rpc.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <set>
#include <variant>

#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/query_records.hpp"

using namespace tarno::protocol;
using tarno::core::DecodingError;

namespace {

struct Probe {
  double x = 0;
  static constexpr auto jsonFields = std::tuple{tarno::core::required("x", &Probe::x)};
  friend bool operator==(const Probe&, const Probe&) = default;
};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

DecodingError failure(auto decode) {
  try {
    decode();
  } catch (const DecodingError& e) {
    return e;
  }
  ADD_FAILURE() << "decoded unexpectedly";
  return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

}  // namespace

TEST(RPC, EncodesLinesWithTheirFallbacks) {
  const std::pair<std::string, std::string_view> rows[] = {
      {RPC::encodeRequest(RPCID::number(1), IPCMethod::ping),
       R"({"jsonrpc":"2.0","id":1,"method":"system.ping"})"},
      {RPC::encodeRequest(RPCID::string("a\n"), IPCMethod::delete_, Probe{.x = 0.5}),
       R"({"jsonrpc":"2.0","id":"a\n","method":"photo.delete","params":{"x":0.5}})"},
      {RPC::encodeRequest(RPCID::number(-2), IPCMethod::importAssets, std::optional<Probe>()),
       R"({"jsonrpc":"2.0","id":-2,"method":"library.import"})"},
      {RPC::encodeResult(RPCID::number(3), std::vector{Probe{.x = 1}}),
       R"({"jsonrpc":"2.0","id":3,"result":[{"x":1}]})"},
      {RPC::encodeResult(std::nullopt, true), R"({"jsonrpc":"2.0","result":true})"},
      {RPC::encodeResult(RPCID::string("r1"), Probe{.x = kNaN}),
       R"({"jsonrpc":"2.0","id":"r1","error":{"code":-32603,"message":"result encoding failed"}})"},
      {RPC::encodeError(std::nullopt, RPCErrorCode::methodNotFound, "x"),
       R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"x"}})"},
      {RPC::encodeError(RPCID::number(9), RPCErrorCode::storeUnavailable, "gone"),
       R"({"jsonrpc":"2.0","id":9,"error":{"code":-32001,"message":"gone"}})"},
  };
  for (const auto& [line, expected] : rows)
    EXPECT_EQ(line, expected);
  EXPECT_THROW(RPC::encodeRequest(RPCID::number(1), IPCMethod::rate, Probe{.x = -kNaN}),
               tarno::core::EncodingError);

  // Strings of any bytes still make lines the other side reads; a date beyond year 9999 has no
  // text, so its result falls back like a NaN.
  const std::string r = "\xEF\xBF\xBD";
  const std::string cut =
      RPC::encodeResult(RPCID::string("r\xFF"), std::string("caf\xE9 \xF0\x9F\x98"));
  EXPECT_EQ(cut, R"({"jsonrpc":"2.0","id":"r)" + r + R"(","result":"caf)" + r + " " + r + "\"}");
  EXPECT_EQ(RPC::decodeResponse<std::string>(cut), RPCResult<std::string>("caf" + r + " " + r));
  EXPECT_EQ(RPC::encodeError(std::nullopt, RPCErrorCode::internalError, "\xC0\xAF"),
            R"({"jsonrpc":"2.0","error":{"code":-32603,"message":")" + r + r + "\"}}");
  EXPECT_EQ(
      RPC::encodeResult(RPCID::number(4), tarno::core::Date{std::chrono::seconds{253402300800}}),
      R"({"jsonrpc":"2.0","id":4,"error":{"code":-32603,"message":"result encoding failed"}})");
}

TEST(RPC, DecodesResponsesErrorFirst) {
  const RPCError neither{-32603, "response carried neither result nor error"};
  const std::pair<std::string_view, RPCResult<std::int64_t>> rows[] = {
      {R"({"jsonrpc":"2.0","id":1,"result":5})", 5},
      {R"({"result":5,"error":{"code":-32001,"message":"m"}})", RPCError{-32001, "m"}},
      {R"({"id":"x","error":{"code":7,"message":"","data":[1]}})", RPCError{7, ""}},
      {R"({"jsonrpc":"2.0","id":1})", neither},
      {R"({"result":null,"error":null})", neither},
      {RPC::errorEncodingFailedLine, RPCError{-32603, "encoding failed"}},
  };
  for (const auto& [line, expected] : rows)
    EXPECT_EQ(RPC::decodeResponse<std::int64_t>(line), expected) << line;
  EXPECT_EQ(RPC::errorEncodingFailedLine.size(), 79u);

  const std::pair<std::string_view, std::string_view> bad[] = {
      {"not json", ""},
      {R"({"result":"5"})", "result"},
      {R"({"error":{"code":1}})", "error.message"},
      {"[]", ""},
  };
  for (const auto& row : bad) {
    EXPECT_EQ(failure([&] { (void)RPC::decodeResponse<std::int64_t>(row.first); }).path(),
              row.second)
        << row.first;
  }
}

TEST(RPC, DecodesParamsAndTheEnvelope) {
  EXPECT_EQ(RPC::decodeParams<Probe>(R"({"id":1,"params":{"x":2,"y":0}})"), Probe{.x = 2});
  EXPECT_EQ(RPC::decodeParams<Probe>(R"({"id":1,"method":"system.ping"})"), std::nullopt);
  EXPECT_EQ(RPC::decodeParams<Probe>(R"({"params":null})"), std::nullopt);
  EXPECT_EQ(failure([] { (void)RPC::decodeParams<Probe>(R"({"params":{"x":"2"}})"); }).path(),
            "params.x");
  (void)failure([] { (void)RPC::decodeParams<Probe>("{\"params\":"); });

  const auto envelope = RPC::decode<RPCEnvelope>(R"({"jsonrpc":null,"method":"no.such","id":7})");
  EXPECT_EQ(envelope.jsonrpc, std::nullopt);
  EXPECT_EQ(envelope.method, "no.such");
  EXPECT_EQ(envelope.id, RPCID::number(7));
  EXPECT_EQ(RPC::decode<RPCEnvelope>(R"({"method":"m","id":"7"})").id, RPCID::string("7"));
  EXPECT_NE(RPCID::number(1), RPCID::string("1"));
  for (std::string_view bad : {R"({"method":"m","id":true})", R"({"method":"m","id":7.5})",
                               R"({"method":"m","id":[7]})", R"({"id":7})"}) {
    EXPECT_FALSE(failure([&] { (void)RPC::decode<RPCEnvelope>(bad); }).path().empty()) << bad;
  }
}

// The typed decoders of listed records read the parsed document directly; on any line they must
// give what the value-tree decoder gives: the same value, or the same error at the same path.
template <class T>
void expectDecodersAgree(std::initializer_list<std::string_view> lines) {
  const auto outcome = [](auto decode) -> std::string {
    try {
      return RPC::encode(decode());
    } catch (const DecodingError& e) {
      return e.description() + " at " + e.path();
    }
  };
  for (std::string_view line : lines) {
    EXPECT_EQ(outcome([&] { return RPC::decode<T>(line); }),
              outcome([&] { return tarno::core::decodeFromString<T>(line); }))
        << line;
  }
}

TEST(RPC, TypedDecodingAgreesWithTheValueTree) {
  expectDecodersAgree<RPC::detail::ParamsBox<EditSetParams>>({
      R"({"params":{"id":"a","ops":[{"kind":"exposure","scalar":0.5}],"preview":true}})",
      R"({"params":{"preview":null,"x":{"id":1},"ops":[],"id":"a","agent":"c"}})",
      R"({"params":{"ops":[],"id":"a","preview":true,"id":"b"}})",
      R"({"params":{"id":"a","id":"b","ops":[],"ops":7}})",
      R"({"params":{"id":"a","ops":[{"kind":"exposure","curve":[[0,0],[1]]}]}})",
      R"({"params":{"id":"a","ops":[{"kind":"exposure","rect":[[0,0],[1,1,9]]}]}})",
      R"({"params":{"id":"a","ops":[],"previewLongEdge":1e400}})",
      R"({"params":{"id":"a","ops":[],"expectedVersion":2.0}})",
      R"({"params":{"id":"a","ops":[{"kind":"nope"}]}})",
      R"({"params":{"id":null,"ops":[]}})",
      R"({"params":{"id":"a","ops":[],"maskOps":[{"action":"add","shape":{"linear":{}}}]}})",
      R"({"params":{"id":"a","ops":[],"maskOps":[{"action":"add","id":"x"}]}})",
  });
  expectDecodersAgree<RPC::detail::ResultBox<QueryResult>>({
      R"({"result":{"ids":["a"],"count":1,"shown":false,"sample":[{"id":"a","pixelWidth":1,)"
      R"("pixelHeight":2,"isFavorite":true,"isHidden":false,"durationSeconds":0,"sourceType":1,)"
      R"("playbackStyle":4,"representsBurst":false,"canEditContent":true,"canDelete":true,)"
      R"("canEditProperties":true,"hasAdjustments":false,"creationDate":"2024-06-01T10:00:00+02:00",)"
      R"("latitude":null,"longitude":-9.5}]}})",
      R"({"result":{"ids":["a"],"count":1,"shown":false,"sample":[{"id":"a","pixelWidth":1,)"
      R"("pixelHeight":2,"creationDate":"2024-06-01T10:00:00+02:00","isFavorite":true}]}})",
      R"({"result":{"ids":[],"count":0,"shown":true,"sample":[{"id":"a","pixelWidth":1,)"
      R"("pixelHeight":2,"creationDate":"2024-06-01T10:00:00.5Z"}]}})",
      R"({"error":{"message":"m","code":-1},"result":{"ids":1}})",
  });
}

TEST(RPC, ErrorCodesMapOnlyTheirOwnIntegers) {
  using enum RPCErrorCode;
  const std::pair<std::int64_t, std::optional<RPCErrorCode>> rows[] = {
      {-32700, parseError},       {-32600, invalidRequest}, {-32601, methodNotFound},
      {-32602, invalidParams},    {-32603, internalError},  {-32000, versionConflict},
      {-32001, storeUnavailable}, {-32002, std::nullopt},   {0, std::nullopt},
      {4, std::nullopt},
  };
  for (const auto& [code, expected] : rows)
    EXPECT_EQ(tarno::core::caseWithRawValue<RPCErrorCode>(code), expected) << code;
}

TEST(IPCMethod, MapsExactTextsBothWays) {
  const auto& cases = tarno::core::allCases<IPCMethod>;
  ASSERT_EQ(cases.size(), 46u);
  EXPECT_EQ(cases.front(), IPCMethod::ping);
  EXPECT_EQ(cases.back(), IPCMethod::movieList);
  std::set<std::string_view> texts;
  for (IPCMethod m : cases) {
    texts.insert(tarno::core::rawValue(m));
    EXPECT_EQ(tarno::core::caseWithRawValue<IPCMethod>(tarno::core::rawValue(m)), m);
  }
  EXPECT_EQ(texts.size(), 46u);

  const std::pair<std::string_view, std::optional<IPCMethod>> rows[] = {
      {"library.list", IPCMethod::list},
      {"album.list", IPCMethod::albumList},
      {"snapshot.list", IPCMethod::snapshotList},
      {"movie.list", IPCMethod::movieList},
      {"photo.delete", IPCMethod::delete_},
      {"library.import", IPCMethod::importAssets},
      {"Library.list", std::nullopt},
      {" library.list", std::nullopt},
      {"library", std::nullopt},
      {"list", std::nullopt},
  };
  for (const auto& [text, expected] : rows)
    EXPECT_EQ(tarno::core::caseWithRawValue<IPCMethod>(text), expected) << text;
}
