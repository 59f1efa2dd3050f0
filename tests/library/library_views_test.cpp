// The view state (selection, focus, editor), the query's flag filters, video trims, LUTs and
// what the store does with the scanner's reports.
#include "library/library_test_support.hpp"
#include "library/place_names.hpp"

namespace tarno::library::testing {
namespace {

using namespace protocol;

class LibraryViewsTest : public LibraryFixture {};

TEST_F(LibraryViewsTest, SelectionPrimaryFocusAndEditorFollowEachOther) {
  const std::string a = addPhoto("a.jpg", 10);
  const std::string b = addPhoto("b.jpg", 20);
  EXPECT_EQ(error("editor.open").code, -32602);  // nothing selected, nothing to open

  // An unknown primary is not taken: the first selected photo is.
  EXPECT_EQ(call<SelectResult>("library.select",
                               R"({"ids":[")" + b + R"(","x",")" + a + R"("],"primary":"x"})"),
            (SelectResult{2, b}));
  EXPECT_EQ(call<SelectionResult>("library.selection"), (SelectionResult{{b, a}, b}));
  EXPECT_EQ(call<SelectResult>("library.select", R"({"ids":[")" + b + R"(",")" + a +
                                                     R"("],"primary":")" + a + R"("})"),
            (SelectResult{2, a}));
  EXPECT_EQ(call<OpenEditorResult>("editor.open"), (OpenEditorResult{true, a}));
  ContextResult context = call<ContextResult>("app.context");
  EXPECT_TRUE(context.editorOpen);
  EXPECT_EQ(context.focusID, a);
  EXPECT_EQ(context.focus->id, a);
  EXPECT_FALSE(context.focusStack);  // never edited

  EXPECT_EQ(call<OpenEditorResult>("editor.open", R"({"id":")" + b + R"("})"),
            (OpenEditorResult{true, b}));
  EXPECT_EQ(call<OpenEditorResult>("editor.open", R"({"open":false})"), (OpenEditorResult{false}));
  context = call<ContextResult>("app.context");
  EXPECT_FALSE(context.editorOpen);
  EXPECT_EQ(context.focusID, b);  // the last photo opened stays focused
  EXPECT_EQ(context.primarySelectionID, a);

  // A photo that leaves the library leaves the selection too.
  call<UpdatedResult>("photo.delete", R"({"ids":[")" + a + R"("]})");
  EXPECT_EQ(call<SelectionResult>("library.selection").ids, std::vector<std::string>{b});
  EXPECT_EQ(call<SelectResult>("library.select", R"({"ids":[]})"), (SelectResult{0, {}}));
}

TEST_F(LibraryViewsTest, QueryFiltersByFlagFavouriteEditAndVideo) {
  const std::string still = addPhoto("still.jpg", 100);
  const std::string video = addPhoto("clip.mov", 200, "moov", std::nullopt, true);
  const std::string other = addPhoto("other.jpg", 300);
  call<UpdatedResult>("photo.flag",
                      R"({"ids":[")" + still + R"(",")" + video + R"("],"flag":"pick"})");
  call<UpdatedResult>("photo.favorite", R"({"ids":[")" + other + R"("],"favorite":true})");
  call<EditSetResult>("edit.set",
                      R"({"id":")" + still + R"(","ops":[{"kind":"exposure","scalar":1}]})");
  const auto ids = [&](const std::string& params) {
    return call<QueryResult>("library.query", params).ids;
  };
  EXPECT_EQ(ids(R"({"flag":"pick"})"), (std::vector<std::string>{video, still}));
  EXPECT_EQ(ids(R"({"flag":"none"})"), std::vector<std::string>{other});
  EXPECT_EQ(ids(R"({"favoritesOnly":true})"), std::vector<std::string>{other});
  EXPECT_EQ(ids(R"({"editedOnly":true})"), std::vector<std::string>{still});
  EXPECT_EQ(ids(R"({"videoOnly":true})"), std::vector<std::string>{video});
  EXPECT_EQ(ids(R"({"videoOnly":false,"favoritesOnly":false})").size(), 3u);
  EXPECT_EQ(error("library.query", R"({"flag":"starred"})").code, -32602);
  EXPECT_EQ(error("library.query", R"({"latitude":1})").code, -32602);

  // Removing the edit takes the photo out of the edited ones; hiding takes it out of all.
  call<EditGetResult>("edit.reset", R"({"id":")" + still + R"("})");
  EXPECT_TRUE(ids(R"({"editedOnly":true})").empty());
  call<UpdatedResult>("photo.hide", R"({"ids":[")" + other + R"("],"hidden":true})");
  EXPECT_TRUE(ids(R"({"favoritesOnly":true})").empty());
}

TEST_F(LibraryViewsTest, VideoCommitKeepsTheTrimAsTheVideosEdit) {
  const std::string video = addPhoto("clip.mov", 200, "moov", std::nullopt, true);
  const std::string still = addPhoto("still.jpg", 100);
  EXPECT_EQ(
      error("video.commit", R"({"id":")" + video + R"(","startSeconds":5,"endSeconds":2})").code,
      -32602);
  EXPECT_EQ(call<UpdatedResult>("video.commit",
                                R"({"id":")" + video + R"(","startSeconds":4,"endSeconds":99})"),
            (UpdatedResult{1, {}}));
  EXPECT_EQ(readBytes(folder() / "clip.mov"), "moov");
  EXPECT_TRUE(call<GetResult>("photo.get", R"({"id":")" + video + R"("})").photo.hasAdjustments);
  // The movie takes the trimmed range: 12 s cut to 4…12, and a 3 s still.
  const MovieInfo movie =
      call<MovieInfo>("movie.make", R"({"ids":[")" + video + R"(",")" + still + R"("]})");
  EXPECT_EQ(movie.name, "Untitled Movie");
  EXPECT_EQ(movie.clipCount, 2);
  EXPECT_DOUBLE_EQ(movie.durationSeconds, 8 + 3);
  EXPECT_EQ(error("movie.make", R"({"ids":["x"]})").code, -32602);
}

TEST_F(LibraryViewsTest, LutsAreListedFromTheLibraryAndSupportFolders) {
  std::filesystem::create_directories(storeDir() / "luts");
  writeBytes(storeDir() / "luts/Film_Look.cube", "");
  std::filesystem::create_directories(support() / "luts");
  writeBytes(support() / "luts/Teal.CUBE", "");
  writeBytes(support() / "luts/Film_Look.cube", "");
  writeBytes(support() / "luts/readme.txt", "");
  EXPECT_EQ(call<LUTListResult>("lut.list").luts,
            (std::vector<LUTInfo>{{"Film_Look.cube", "Film Look"}, {"Teal.CUBE", "Teal"}}));
}

TEST_F(LibraryViewsTest, ScanReportsKeepIDsAndHashesInStep) {
  const std::string id = addPhoto("a.jpg", 10);
  ScanSink& sink = library().scanSink();
  EXPECT_EQ(sink.filesWithoutHash(), std::vector<std::string>{"a.jpg"});
  sink.hashComputed("a.jpg", 0xF0F0);
  EXPECT_TRUE(sink.filesWithoutHash().empty());
  EXPECT_EQ(sink.knownFiles().at("a.jpg"), (FileStamp{17, 10'000'000'000}));

  sink.fileRemoved("a.jpg");
  EXPECT_TRUE(sink.knownFiles().empty());
  EXPECT_EQ(error("photo.get", R"({"id":")" + id + R"("})").code, -32602);
  // Back with other content: the same id, and its hash is computed again.
  EXPECT_EQ(addPhoto("a.jpg", 10, "other bytes"), id);
  EXPECT_EQ(sink.filesWithoutHash(), std::vector<std::string>{"a.jpg"});
}

TEST_F(LibraryViewsTest, GroupsCountOnlyPhotosInTheLibraryAndKeywordsAreSearchable) {
  const std::string a = addPhoto("a.jpg", 10);
  const std::string b = addPhoto("b.jpg", 20);
  const KeywordInfo animals = call<KeywordInfo>("keyword.create", R"({"name":"Animals"})");
  const KeywordInfo cat =
      call<KeywordInfo>("keyword.create", R"({"name":"Cat","parentID":")" + animals.id +
                                              R"(","ids":[")" + a + R"(",")" + b + R"("]})");
  EXPECT_EQ(cat, (KeywordInfo{cat.id, "Cat", 2, animals.id}));
  EXPECT_EQ(
      call<KeywordInfo>("keyword.create", R"({"name":"cat","parentID":")" + animals.id + R"("})")
          .id,
      cat.id);
  call<UpdatedResult>("photo.delete", R"({"ids":[")" + b + R"("]})");
  EXPECT_EQ(
      call<KeywordListResult>("keyword.list").keywords,
      (std::vector<KeywordInfo>{{animals.id, "Animals", 0, {}}, {cat.id, "Cat", 1, animals.id}}));
  EXPECT_EQ(call<QueryResult>("library.query", R"({"text":"CAT"})").ids,
            std::vector<std::string>{a});
  call<UpdatedResult>("keyword.remove", R"({"id":")" + cat.id + R"(","ids":[")" + a + R"("]})");
  EXPECT_TRUE(call<QueryResult>("library.query", R"({"text":"cat"})").ids.empty());
  EXPECT_EQ(error("keyword.remove", R"({"ids":[")" + a + R"("]})").code, -32602);
}

TEST(PlaceNames, ReadTheTablesCoordinateForms) {
  const auto minutes = parseISO6709("+4852+00220");
  ASSERT_TRUE(minutes);
  EXPECT_NEAR(minutes->latitude, 48 + 52 / 60.0, 1e-9);
  EXPECT_NEAR(minutes->longitude, 2 + 20 / 60.0, 1e-9);
  const auto seconds = parseISO6709("+404251-0740023");
  ASSERT_TRUE(seconds);
  EXPECT_NEAR(seconds->latitude, 40 + 42 / 60.0 + 51 / 3600.0, 1e-9);
  EXPECT_NEAR(seconds->longitude, -(74 + 0 / 60.0 + 23 / 3600.0), 1e-9);
  EXPECT_FALSE(parseISO6709("+4852"));
  EXPECT_FALSE(parseISO6709("+9952+00220"));
  EXPECT_FALSE(parseISO6709("4852+00220"));
  EXPECT_NEAR(placeCoordinate("  New York ")->latitude, seconds->latitude, 1e-9);
  EXPECT_TRUE(placeCoordinate("europe/paris"));
  EXPECT_FALSE(placeCoordinate(""));
}

}  // namespace
}  // namespace tarno::library::testing
