// Every record of the protocol against its wire form: member names and order, which members are
// required, optional members never written as null, unknown members ignored, strict dates.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "tarno/protocol/protocol_types.hpp"

using namespace tarno::protocol;
using tarno::core::DecodingError;
using tarno::core::JsonValue;

namespace {

// One record: a document with every member set, exactly as the app writes it, and the members
// that must be present ("*" for all of them).
struct Row {
  std::string_view type;
  std::string full;
  std::string_view required;
};

// Model records as they are embedded; their own rules are the model's tests' business.
const std::string kSummary =
    R"({"id":"p","pixelWidth":4032,"pixelHeight":3024,"isFavorite":false,"isHidden":false,)"
    R"("durationSeconds":0,"playbackStyle":1,"sourceType":1,"representsBurst":false,)"
    R"("canEditContent":true,"canEditProperties":true,"canDelete":true,"hasAdjustments":false})";
const std::string kAnnotation =
    R"({"caption":"Tram","longDescription":"A tram","keywords":["tram"],"subjects":["tram"],)"
    R"("palette":["#FFCC00"]})";
const std::string kMetadata = R"({"rating":4,"flag":1,"colorLabel":2,"hasEditStack":false})";
const std::string kStack = R"({"values":{},"version":3})";

const Row kRows[] = {
    {"RPCError", R"({"code":-32601,"message":"x"})", "*"},
    {"RPCEnvelope", R"({"jsonrpc":"2.0","method":"photo.get","id":"7"})", "method"},
    {"PingResult",
     R"({"appVersion":"2.1","buildStamp":"b7","protocolVersion":1,"libraryAuthorized":true,"photoCount":1200})",
     "*"},
    {"ListParams", R"({"limit":50,"cursor":100})", ""},
    {"ListResult", R"({"photos":[)" + kSummary + R"(],"nextCursor":50})", "photos"},
    {"GetResult",
     R"({"photo":)" + kSummary + R"(,"metadata":)" + kMetadata + R"(,"annotation":)" + kAnnotation +
         "}",
     "photo"},
    {"GetParams", R"({"id":"p1"})", "*"},
    {"PhotoMetadataDTO", R"({"rating":4,"flag":1,"colorLabel":2,"hasEditStack":false})", "*"},
    {"RateParams", R"({"ids":["a"],"rating":3})", "*"},
    {"FlagParams", R"({"ids":["a","b"],"flag":"pick"})", "*"},
    {"LabelParams", R"({"ids":[],"color":"red"})", "*"},
    {"FavoriteParams", R"({"ids":["a"],"favorite":true})", "*"},
    {"HideParams", R"({"ids":["a"],"hidden":false})", "*"},
    {"DeleteParams", R"({"ids":["a"]})", "*"},
    {"UpdatedResult", R"({"updated":2,"skipped":["c"]})", "*"},
    {"EditGetParams", R"({"id":"p"})", "*"},
    {"EditGetResult", R"({"stack":{"values":{},"version":3},"version":3})", "*"},
    {"EditSetParams",
     R"({"id":"p","ops":[{"kind":"exposure","scalar":0.5}],"maskOps":[{"action":"add","shape":)"
     R"({"linear":{"start":[0.5,0],"end":[0.5,0.4]}},"name":"Sky"}],"expectedVersion":3,)"
     R"("agent":"claude","sessionId":"s1","preview":true,"previewLongEdge":512})",
     "id ops"},
    {"EditSetResult",
     R"({"newVersion":4,"stack":{"values":{},"version":4},"preview":{"pngBase64":"iVBORw==",)"
     R"("width":2,"height":1,"appliedStackVersion":4,"basedOnOriginal":false}})",
     "newVersion stack"},
    {"CommitParams", R"({"id":"p"})", "*"},
    {"CommitResult", R"({"committed":true,"version":7})", "*"},
    {"EditResetParams", R"({"id":"p"})", "*"},
    {"PreviewParams", R"({"id":"p","longEdge":1024})", "id"},
    {"PreviewResult",
     R"({"pngBase64":"iVBORw==","width":640,"height":480,"appliedStackVersion":3,"basedOnOriginal":false})",
     "*"},
    {"ContextResult",
     R"({"editorOpen":true,"editorPhotoID":"p","focusID":"p","selectionIDs":["p"],)"
     R"("primarySelectionID":"p","focus":)" +
         kSummary + R"(,"focusMetadata":)" + kMetadata + R"(,"focusStack":)" + kStack +
         R"(,"focusAnnotation":)" + kAnnotation + "}",
     "editorOpen selectionIDs"},
    {"SelectionResult", R"({"ids":["a","b"],"primary":"b"})", "ids"},
    {"AnnotatePendingParams", R"({"limit":20})", ""},
    {"AnnotatePendingResult", R"({"ids":["a"],"remaining":41})", "*"},
    {"AnnotateSetParams", R"({"id":"p","annotation":)" + kAnnotation + R"(,"model":"m"})",
     "id annotation"},
    {"AnnotateSetResult", R"({"annotation":)" + kAnnotation + "}", "*"},
    {"SimilarFindParams", R"({"imageBase64":"/9j/4A==","id":"p","limit":5})", ""},
    {"SimilarMatch", R"({"id":"q","distance":0.125})", "*"},
    {"SimilarFindResult", R"({"matches":[{"id":"q","distance":0.5}],"indexed":900})", "*"},
    {"QueryParams",
     R"({"dateFrom":"2024-06-01T00:00:00Z","dateTo":"2024-06-30T23:59:59Z","latitude":38.72,)"
     R"("longitude":-9.14,"radiusMeters":5000,"minRating":3,"flag":"pick","editedOnly":true,)"
     R"("videoOnly":false,"favoritesOnly":true,"text":"tram","limit":100,"show":true,"title":"Lisbon"})",
     ""},
    {"QueryResult", R"({"ids":["p"],"count":1,"sample":[)" + kSummary + R"(],"shown":false})", "*"},
    {"ShowParams", R"({"ids":["a"],"title":"T"})", "ids"},
    {"ShowResult", R"({"shown":1,"title":"T"})", "*"},
    {"SelectParams", R"({"ids":["a"],"primary":"a"})", "ids"},
    {"SelectResult", R"({"selected":1,"primary":"a"})", "selected"},
    {"OpenEditorParams", R"({"id":"p","open":false})", ""},
    {"OpenEditorResult", R"({"open":true,"photoID":"p"})", "open"},
    {"GroupMembershipParams", R"({"id":"g","name":"Trip","ids":["a"]})", "ids"},
    {"GroupCreateParams", R"({"name":"Trip","parentID":"g0","ids":["a"]})", "name"},
    {"CollectionInfo", R"({"id":"c","name":"Trip","count":3,"isSmart":false,"parentID":"c0"})",
     "id name count isSmart"},
    {"CollectionListResult", R"({"collections":[{"id":"c","name":"n","count":0,"isSmart":true}]})",
     "*"},
    {"KeywordInfo", R"({"id":"k","name":"tram","count":2,"parentID":"k0"})", "id name count"},
    {"KeywordListResult", R"({"keywords":[]})", "*"},
    {"AlbumInfo", R"({"id":"al","title":"Summer","count":9})", "*"},
    {"AlbumListResult", R"({"albums":[{"id":"al","title":"S","count":1}]})", "*"},
    {"SnapshotListParams", R"({"id":"p"})", "*"},
    {"SnapshotRefParams", R"({"id":"p","name":"before"})", "*"},
    {"SnapshotInfo", R"({"name":"before","createdAt":"2025-01-31T08:00:00Z"})", "*"},
    {"SnapshotListResult", R"({"snapshots":[]})", "*"},
    {"ExportRenderParams",
     R"({"id":"p","format":"jpeg","longEdge":2048,"quality":0.85,"colorSpace":"sRGB"})", "id"},
    {"ExportRenderResult",
     R"({"path":"/x/p.jpg","format":"jpeg","suggestedFilename":"p.jpg","bytes":123456})", "*"},
    {"ImportParams", R"({"paths":["/x/a.heic"]})", "*"},
    {"ImportResult", R"({"importedIDs":["n1"],"failed":["/x/b"]})", "*"},
    {"VideoCommitParams", R"({"id":"v","startSeconds":1.5,"endSeconds":12})", "id"},
    {"LUTInfo", R"({"id":"l","name":"Film"})", "*"},
    {"LUTListResult", R"({"luts":[{"id":"l","name":"Film"}]})", "*"},
    {"GeotagParams",
     R"({"ids":["a"],"latitude":38.7,"longitude":-9.1,"place":"Lisbon","clear":false})", "ids"},
    {"GeotagResult", R"({"updated":1,"skipped":[],"latitude":38.7,"longitude":-9.1})",
     "updated skipped"},
    {"MovieMakeParams", R"({"ids":["a","v"],"name":"Trip"})", "ids"},
    {"MovieInfo", R"({"id":"m","name":"Trip","clipCount":4,"durationSeconds":31.5})", "*"},
    {"MovieListResult", R"({"movies":[]})", "*"},
};

std::string reencode(std::string_view type, std::string_view json) {
  const std::optional<std::string> out = reencodeAs(ProtocolTypes{}, type, json);
  if (!out) ADD_FAILURE() << "no type " << type;
  return out.value_or("");
}

std::string text(const JsonValue& v) {
  std::string out;
  tarno::core::JsonWriter(out).value(v);
  return out;
}

// The object with `key` removed, or set to `value` when one is given.
std::string edited(const JsonValue& object, const std::string& key,
                   std::optional<JsonValue> value = std::nullopt) {
  JsonValue::Object members;
  for (const auto& member : *object.asObject()) {
    if (member.first != key) members.push_back(member);
  }
  if (value) members.emplace_back(key, *value);
  return text(JsonValue(std::move(members)));
}

bool isRequired(const Row& row, const std::string& key) {
  std::istringstream words{std::string(row.required)};
  for (std::string w; words >> w;) {
    if (w == key) return true;
  }
  return row.required == "*";
}

DecodingError::Kind failureKind(std::string_view type, const std::string& json, std::string& path) {
  try {
    (void)reencode(type, json);
  } catch (const DecodingError& e) {
    path = e.path();
    return e.kind();
  }
  ADD_FAILURE() << "decoded: " << json;
  return DecodingError::Kind::dataCorrupted;
}

}  // namespace

TEST(ProtocolRecords, EachRecordReadsAndWritesItsOwnWireForm) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.type);
    EXPECT_EQ(reencode(row.type, row.full), row.full);
    EXPECT_EQ(reencode(row.type, edited(tarno::core::parseJson(row.full), "unknownMember", 1)),
              row.full);

    const JsonValue full = tarno::core::parseJson(row.full);
    JsonValue minimal = full;
    for (const auto& [key, value] : *full.asObject()) {
      if (isRequired(row, key)) continue;
      // Null reads as absent, and absent is left out.
      EXPECT_EQ(reencode(row.type, edited(full, key, nullptr)), edited(full, key)) << key;
      minimal = tarno::core::parseJson(edited(minimal, key));
    }
    EXPECT_EQ(reencode(row.type, text(minimal)), text(minimal));
    for (const auto& [key, value] : *minimal.asObject()) {
      std::string path;
      EXPECT_EQ(failureKind(row.type, edited(minimal, key), path),
                DecodingError::Kind::keyNotFound);
      EXPECT_EQ(path, key);
      EXPECT_EQ(failureKind(row.type, edited(minimal, key, nullptr), path),
                DecodingError::Kind::valueNotFound)
          << key;
    }
  }
}

TEST(ProtocolRecords, OptionalMembersStartOutAbsent) {
  const std::pair<std::string, std::string_view> rows[] = {
      {RPC::encode(QueryParams{}), "{}"},
      {RPC::encode(OpenEditorParams{}), "{}"},
      {RPC::encode(ListParams{}), "{}"},
      {RPC::encode(GeotagParams{.ids = {"a"}, .clear = true}), R"({"ids":["a"],"clear":true})"},
      {RPC::encode(GroupCreateParams{.name = "n"}), R"({"name":"n"})"},
  };
  for (const auto& [encoded, expected] : rows)
    EXPECT_EQ(encoded, expected);
  // A result without coordinates is also an UpdatedResult.
  EXPECT_EQ(reencode("UpdatedResult", RPC::encode(GeotagResult{.updated = 1, .skipped = {"x"}})),
            R"({"updated":1,"skipped":["x"]})");
}

TEST(ProtocolRecords, DatesAreInternetDateTimesWithWholeSecondsAndAZone) {
  using namespace std::chrono;
  const auto june = sys_days{year{2024} / 6 / 1};
  EXPECT_EQ(RPC::decode<QueryParams>(R"({"dateFrom":"2024-06-01T00:00:00Z"})").dateFrom, june);
  EXPECT_EQ(RPC::decode<QueryParams>(R"({"dateTo":"2024-06-01T02:00:00+02:00"})").dateTo, june);
  // A model's "no bound" reaches to the ends of the calendar, and is written back as read.
  const std::string open = R"({"dateFrom":"0001-01-01T00:00:00Z","dateTo":"9999-12-31T23:59:59Z"})";
  const QueryParams unbounded = RPC::decode<QueryParams>(open);
  EXPECT_EQ(unbounded.dateFrom, sys_days{year{1} / 1 / 1});
  EXPECT_EQ(unbounded.dateTo, sys_days{year{9999} / 12 / 31} + 86399s);
  EXPECT_EQ(RPC::encode(unbounded), open);
  for (std::string_view bad :
       {R"({"dateFrom":"2024-06-01T00:00:00.5Z"})", R"({"dateFrom":"2024-06-01T00:00:00"})",
        R"({"dateFrom":"2024-06-01"})", R"({"dateFrom":1717200000})"}) {
    std::string path;
    (void)failureKind("QueryParams", std::string(bad), path);
    EXPECT_EQ(path, "dateFrom") << bad;
  }
}
