// The tool catalog as the model sees it and as the loop maps names back to app methods.
#include "tarno/assistant/native/native_tool_catalog.hpp"

#include <gtest/gtest.h>

#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {
namespace {

using core::JsonValue;
using enum protocol::IPCMethod;

TEST(NativeToolCatalog, OffersEightFunctionsThatMapBackToTheirMethodsByExactName) {
  const std::optional<protocol::IPCMethod> methods[] = {list, query, context, get,
                                                        rate, flag,  show,    select};
  const JsonValue::Array& functions = *NativeToolCatalog::schema().asArray();
  ASSERT_EQ(functions.size(), 8u);
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const std::string& name = *functions[i].find("function")->find("name")->asString();
    EXPECT_EQ(NativeToolCatalog::method(name), methods[i]);
    EXPECT_EQ(NativeToolCatalog::method("mcp__tarno__" + name), std::nullopt);
  }
  EXPECT_EQ(
      core::encodeToString(functions[2]),
      R"({"type":"function","function":{"name":"tarno_context","description":"What the user )"
      R"(is looking at right now (selection + focused photo). Call first for 'this'/'these'.",)"
      R"("parameters":{"type":"object","properties":{}}}})");
  EXPECT_EQ(core::encodeToString(*functions[4].find("function")->find("parameters")),
            R"({"type":"object","properties":{"ids":{"type":"array","items":{"type":"string"}},)"
            R"("rating":{"type":"integer"}},"required":["ids","rating"]})");
  EXPECT_EQ(NativeToolCatalog::method("Tarno_Rate"), std::nullopt);
}

}  // namespace
}  // namespace tarno::assistant
