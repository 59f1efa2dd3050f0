// JSON text checked, searched and compacted without a value tree: it must accept exactly what
// the core parser accepts, and carry values through unchanged but for whitespace.
#include <gtest/gtest.h>

#include "tarno/assistant/native/json_text.hpp"
#include "tarno/core/json_value.hpp"

namespace tarno::assistant {
namespace {

TEST(NativeJsonText, AcceptsWhatTheCoreParserAccepts) {
  const std::string deepest = std::string(1024, '[') + std::string(1024, ']');
  const std::string tooDeep = std::string(1025, '[') + std::string(1025, ']');
  const std::string texts[] = {
      "0", "-0", "-0.5e+3", "1E9", "9e15", "1e400", "123456789012345678901234567890", " true ",
      "false", "null", R"("")", R"("a\"\\\/\b\f\n\r\tz")", R"("\u00e9\uD83D\uDE00")",
      "\"caf\xc3\xa9\"", R"({ "a" : [ 1 , {"b":null} ] , "a":"" })", "[]", "{}", "[[],{}]", deepest,
      "\t\r\n{}\n",
      // and what it refuses
      "", " ", "01", "-", "1.", ".5", "1e", "+1", "0x10", "tru", "truex", "nul", "NaN", "[1,]",
      "[,1]", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{a:1}", "{'a':1}", "[1 2]", "[1]]", "[[1]",
      "{\"a\":1}}", "\"abc", "\"a\tb\"", "\"\\x\"", "\"\\u12G4\"", "\"\\uD800\"", "\"\\uDC00\"",
      "\"\\uD800\\u0041\"", "\"\xff\"", "\"\xc3\"", "1 2", "{} []", tooDeep,
      std::string("\"a\0b\"", 5), std::string("[1]\0", 4)};
  for (const std::string& text : texts) {
    EXPECT_EQ(JsonText::isValid(text), core::parseJsonIfValid(text).has_value()) << text;
  }
}

TEST(NativeJsonText, FindsMembersDecodesStringsAndCompactsAsWritten) {
  const std::string object =
      R"( { "id" : -4.50 , "n\u0061me" : "caf\u00e9 \"x\" \uD83D\uDE00\n" ,
            "args" : { "ids" : [ "a b" , 9e15 ] , "empty" : [ ] } , "id" : 2 } )";
  ASSERT_TRUE(JsonText::isValid(object));
  EXPECT_EQ(JsonText::member(object, "id"), "-4.50");  // the first of two
  EXPECT_EQ(JsonText::member(object, "name"), R"("caf\u00e9 \"x\" \uD83D\uDE00\n")");
  EXPECT_EQ(JsonText::member(object, "nme"), std::nullopt);
  EXPECT_EQ(JsonText::member("[1]", "id"), std::nullopt);
  EXPECT_EQ(JsonText::member("{}", "id"), std::nullopt);
  EXPECT_EQ(JsonText::decoded(*JsonText::member(object, "name")),
            "caf\xc3\xa9 \"x\" \xf0\x9f\x98\x80\n");
  EXPECT_EQ(JsonText::decoded(R"("\/\\\b\f\r\t")"), "/\\\b\f\r\t");

  const std::string args(*JsonText::member(object, "args"));
  EXPECT_EQ(JsonText::compact(args), R"({"ids":["a b",9e15],"empty":[]})");
  EXPECT_EQ(JsonText::compact(object),
            R"({"id":-4.50,"n\u0061me":"caf\u00e9 \"x\" \uD83D\uDE00\n",)"
            R"("args":{"ids":["a b",9e15],"empty":[]},"id":2})");
  // What compacting keeps means the same to the core parser.
  EXPECT_EQ(core::parseJson(JsonText::compact(object)), core::parseJson(object));
}

}  // namespace
}  // namespace tarno::assistant
