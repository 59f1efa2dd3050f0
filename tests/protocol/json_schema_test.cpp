// Schemas derived from record declarations: their form for each kind of member, and their
// agreement with the decoder the same declaration gives (what "required" lists is exactly what
// a document may not leave out; what the schema admits, the decoder takes).
#include "tarno/core/json_schema.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/smallest_document.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/mask_shape.hpp"
#include "tarno/core/photo_summary.hpp"
#include "tarno/protocol/method_params.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::sample {

enum class Mood { calm, stormy };

struct Inner {
  double weight = 0;
  static constexpr auto jsonFields = std::tuple{core::required("weight", &Inner::weight)};
};

struct Outer {
  std::string name;
  std::optional<std::int64_t> count;
  bool flag = false;
  std::vector<Inner> inners;
  std::optional<core::Date> when;
  Mood mood = Mood::calm;
  std::map<Mood, double> byMood;
  core::Point at;
  std::optional<std::vector<core::Uuid>> ids;
  static constexpr auto jsonFields =
      std::tuple{core::required("name", &Outer::name),     core::optional("count", &Outer::count),
                 core::withDefault("flag", &Outer::flag),  core::required("inners", &Outer::inners),
                 core::optional("when", &Outer::when),     core::required("mood", &Outer::mood),
                 core::required("byMood", &Outer::byMood), core::required("at", &Outer::at),
                 core::lenientElements("ids", &Outer::ids)};
};

// Coded by hand (as a "#rrggbb" text, say): it states its own schema.
struct Colour {
  std::uint32_t rgb = 0;
};
core::JsonValue jsonSchema(core::SchemaTag<Colour>) {
  return core::JsonValue::Object{{"type", "string"}, {"pattern", "^#[0-9a-f]{6}$"}};
}

struct Swatch {
  std::vector<Colour> colours;
  static constexpr auto jsonFields = std::tuple{core::required("colours", &Swatch::colours)};
};

}  // namespace tarno::sample

namespace tarno::testing {
namespace {

using core::JsonValue;

std::string compact(const JsonValue& v) {
  std::string out;
  core::JsonWriter(out).value(v);
  return out;
}

TEST(JsonSchema, ARecordsMembersBecomePropertiesAndOnlyRequiredOnesAreRequired) {
  EXPECT_EQ(
      compact(core::jsonSchema<sample::Outer>()),
      R"({"type":"object","properties":{)"
      R"("name":{"type":"string"},)"
      R"("count":{"type":"integer"},)"
      R"("flag":{"type":"boolean"},)"
      R"("inners":{"type":"array","items":{"type":"object","properties":{"weight":{"type":"number"}},"required":["weight"]}},)"
      R"("when":{"type":"string","format":"date-time"},)"
      R"("mood":{"type":"string","enum":["calm","stormy"]},)"
      R"("byMood":{"type":"object","propertyNames":{"type":"string","enum":["calm","stormy"]},"additionalProperties":{"type":"number"}},)"
      R"("at":{"type":"array","prefixItems":[{"type":"number"},{"type":"number"}],"minItems":2},)"
      R"("ids":{"type":"array","items":{"type":"string","format":"uuid"}}},)"
      R"("required":["name","inners","mood","byMood","at"]})");
  EXPECT_EQ(compact(core::jsonSchema<sample::Swatch>()),
            R"({"type":"object","properties":{"colours":{"type":"array","items":)"
            R"({"type":"string","pattern":"^#[0-9a-f]{6}$"}}},"required":["colours"]})");
  EXPECT_EQ(compact(core::jsonSchema<protocol::NoParameters>()),
            R"({"type":"object","properties":{}})");
}

TEST(JsonSchema, EnumerationsListTheirRawValuesAndCasesBecomeOneMemberAlternatives) {
  EXPECT_EQ(compact(core::jsonSchema<core::PhotoSourceType>()),
            R"({"type":"integer","enum":[0,1,2,3]})");
  const JsonValue methods = core::jsonSchema<protocol::IPCMethod>();
  ASSERT_EQ(methods.find("enum")->asArray()->size(), 46u);
  EXPECT_EQ(methods.find("enum")->asArray()->at(0), JsonValue("system.ping"));
  EXPECT_EQ(methods.find("enum")->asArray()->at(45), JsonValue("movie.list"));

  const JsonValue shape = core::jsonSchema<core::Shape>();
  const JsonValue::Array& alternatives = *shape.find("oneOf")->asArray();
  std::vector<std::string> names;
  for (const JsonValue& alternative : alternatives) {
    const JsonValue::Object& properties = *alternative.find("properties")->asObject();
    ASSERT_EQ(properties.size(), 1u);
    names.push_back(properties.front().first);
    EXPECT_EQ(*alternative.find("required"), JsonValue(JsonValue::Array{names.back()}));
    EXPECT_EQ(*alternative.find("additionalProperties"), JsonValue(false));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"linear", "radial", "luminanceRange", "colorRange",
                                             "brush", "aiSubject", "aiPeople"}));
  EXPECT_EQ(compact(*alternatives[1].find("properties")->find("radial")->find("required")),
            R"(["center","radius","feather","inverted"])");
}

template <class P>
bool decodes(const JsonValue& params) {
  try {
    (void)protocol::RPC::decodeParams<P>(R"({"params":)" + compact(params) + "}");
    return true;
  } catch (const core::DecodingError&) {
    return false;
  }
}

// Every method's record: the smallest document decodes, and leaving out any one member it
// requires does not.
template <std::size_t... I>
void expectSchemasAgreeWithDecoders(std::index_sequence<I...>) {
  (
      [] {
        constexpr protocol::IPCMethod method = core::allCases<protocol::IPCMethod>[I];
        using P = protocol::MethodParams<method>;
        SCOPED_TRACE(std::string(core::rawValue(method)));
        const JsonValue schema = core::jsonSchema<P>();
        const JsonValue document = smallestDocument(schema);
        EXPECT_TRUE(decodes<P>(document)) << compact(document);
        const JsonValue::Object& members = *document.asObject();
        for (std::size_t leftOut = 0; leftOut < members.size(); ++leftOut) {
          JsonValue::Object fewer = members;
          fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(leftOut));
          EXPECT_FALSE(decodes<P>(fewer)) << "without " << members[leftOut].first;
        }
      }(),
      ...);
}

TEST(JsonSchema, EveryMethodsSchemaAgreesWithItsDecoder) {
  expectSchemasAgreeWithDecoders(
      std::make_index_sequence<core::allCases<protocol::IPCMethod>.size()>{});
}

}  // namespace
}  // namespace tarno::testing
