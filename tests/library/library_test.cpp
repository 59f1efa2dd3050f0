// The library through its request lines: envelope errors, per-photo changes, edits and their
// versions under concurrency, the trash, restarts, and a store that cannot be used.
#include <algorithm>
#include <atomic>
#include <latch>
#include <thread>

#include "library/library_test_support.hpp"

namespace tarno::library::testing {
namespace {

using namespace protocol;

class LibraryTest : public LibraryFixture {};

TEST_F(LibraryTest, EnvelopeErrorsAreAnsweredAndLeaveTheLibraryServing) {
  const std::optional<std::string> notJSON = library().handleLine("{\"jsonrpc\":");
  ASSERT_TRUE(notJSON);
  const auto parsed = core::decodeFromString<core::JsonValue>(*notJSON);
  EXPECT_EQ(parsed.find("id"), nullptr);
  EXPECT_EQ(RPC::decodeResponse<core::JsonValue>(*notJSON).as<RPCError>()->code, -32700);

  EXPECT_EQ(error("photo.explode").code, -32601);
  const RPCError badParams = error("photo.rate", R"({"ids":["a"],"rating":"five"})");
  EXPECT_EQ(badParams.code, -32602);
  EXPECT_NE(badParams.message.find("rating"), std::string::npos) << badParams.message;
  EXPECT_EQ(error("photo.rate").code, -32602);  // no params at all: ids and rating missing

  // A request without an id is carried out and not answered.
  EXPECT_FALSE(library().handleLine(R"({"jsonrpc":"2.0","method":"system.ping"})"));
  EXPECT_EQ(call<PingResult>("system.ping").protocolVersion, 1);
}

TEST_F(LibraryTest, RatingFlagAndLabelAreKeptPerPhotoAndUnknownIDsSkipped) {
  const std::string a = addPhoto("a.jpg", 1'700'000'000);
  const std::string b = addPhoto("b.jpg", 1'700'000'100);
  EXPECT_EQ(call<UpdatedResult>("photo.rate", R"({"ids":[")" + a + R"(","nope"],"rating":4})"),
            (UpdatedResult{1, {"nope"}}));
  EXPECT_EQ(error("photo.rate", R"({"ids":[")" + a + R"("],"rating":6})").code, -32602);
  call<UpdatedResult>("photo.flag", R"({"ids":[")" + a + R"("],"flag":"reject"})");
  call<UpdatedResult>("photo.label", R"({"ids":[")" + a + R"("],"color":"Green"})");
  EXPECT_EQ(error("photo.flag", R"({"ids":[")" + a + R"("],"flag":"maybe"})").code, -32602);

  const GetResult got = call<GetResult>("photo.get", R"({"id":")" + a + R"("})");
  EXPECT_EQ(got.photo.id, a);
  EXPECT_EQ(got.metadata, (PhotoMetadataDTO{4, -1, 4, false}));
  EXPECT_EQ(call<GetResult>("photo.get", R"({"id":")" + b + R"("})").metadata->rating, 0);
  EXPECT_EQ(error("photo.get", R"({"id":"no-such-photo"})").code, -32602);
}

TEST_F(LibraryTest, ListPagesNewestFirstAndLeavesHiddenPhotosOut) {
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i)
    ids.push_back(addPhoto(std::to_string(i) + ".jpg", 1'000 + i));
  call<UpdatedResult>("photo.hide", R"({"ids":[")" + ids[2] + R"("],"hidden":true})");
  const ListResult first = call<ListResult>("library.list", R"({"limit":3})");
  ASSERT_EQ(first.photos.size(), 3u);
  EXPECT_EQ(first.photos[0].id, ids[4]);
  EXPECT_EQ(first.photos[2].id, ids[1]);
  ASSERT_TRUE(first.nextCursor);
  const ListResult second = call<ListResult>(
      "library.list", R"({"limit":3,"cursor":)" + std::to_string(*first.nextCursor) + "}");
  ASSERT_EQ(second.photos.size(), 1u);
  EXPECT_EQ(second.photos[0].id, ids[0]);
  EXPECT_FALSE(second.nextCursor);
}

TEST_F(LibraryTest, EditSetWithAStaleVersionConflictsAndChangesNothing) {
  const std::string id = addPhoto("a.jpg", 1);
  const std::string set = R"({"id":")" + id +
                          R"(","ops":[{"kind":"exposure","scalar":0.5}],"expectedVersion":0,)"
                          R"("agent":"claude","sessionId":"s1"})";
  EXPECT_EQ(call<EditSetResult>("edit.set", set).newVersion, 1);
  const RPCError conflict = error("edit.set", set);
  EXPECT_EQ(conflict.code, -32000);

  const EditGetResult got = call<EditGetResult>("edit.get", R"({"id":")" + id + R"("})");
  EXPECT_EQ(got.version, 1);
  EXPECT_EQ(got.stack.scalar(core::AdjustmentKind::exposure), 0.5);
  EXPECT_EQ(got.stack.values.at(core::AdjustmentKind::exposure).lastModifiedBy,
            core::EditOrigin::ai("claude", "s1"));
  EXPECT_TRUE(call<GetResult>("photo.get", R"({"id":")" + id + R"("})").photo.hasAdjustments);

  // A mask op naming a missing mask fails after the value ops: the whole change is undone.
  EXPECT_EQ(
      error("edit.set", R"({"id":")" + id +
                            R"(","ops":[{"kind":"contrast","scalar":1}],"maskOps":[)"
                            R"({"action":"remove","id":"6F9619FF-8B86-D011-B42D-00C04FC964FF"}]})")
          .code,
      -32602);
  EXPECT_EQ(call<EditGetResult>("edit.get", R"({"id":")" + id + R"("})").stack, got.stack);

  // A preview that cannot be rendered (this file is no image) does not undo the edit.
  const EditSetResult withPreview = call<EditSetResult>(
      "edit.set",
      R"({"id":")" + id + R"(","ops":[{"kind":"contrast","scalar":1}],"preview":true})");
  EXPECT_EQ(withPreview.newVersion, 2);
  EXPECT_FALSE(withPreview.preview);
  EXPECT_EQ(error("preview.render", R"({"id":")" + id + R"("})").code, -32603);
}

TEST_F(LibraryTest, ConcurrentEditsOfOnePhotoHaveExactlyOneWinnerPerVersion) {
  const std::string id = addPhoto("a.jpg", 1);
  constexpr int threads = 6;
  constexpr int rounds = 8;
  std::atomic<int> wins[rounds] = {};
  std::atomic<int> conflicts = 0;
  for (int round = 0; round < rounds; ++round) {
    std::latch ready(threads);
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        const std::string request =
            line("edit.set", R"({"id":")" + id + R"(","ops":[{"kind":"exposure","scalar":)" +
                                 std::to_string(t) + R"(}],"expectedVersion":)" +
                                 std::to_string(round) + "}");
        ready.arrive_and_wait();
        const auto outcome = RPC::decodeResponse<EditSetResult>(*library().handleLine(request));
        if (const auto* r = outcome.as<EditSetResult>()) {
          if (r->newVersion == round + 1) ++wins[round];
        } else if (outcome.as<RPCError>()->code == -32000) {
          ++conflicts;
        }
      });
    }
  }
  for (int round = 0; round < rounds; ++round)
    EXPECT_EQ(wins[round], 1) << "round " << round;
  EXPECT_EQ(conflicts, rounds * (threads - 1));
  EXPECT_EQ(call<EditGetResult>("edit.get", R"({"id":")" + id + R"("})").version, rounds);
}

TEST_F(LibraryTest, ResetAndSnapshotsKeepTheVersionCounting) {
  const std::string id = addPhoto("a.jpg", 1);
  const std::string ref = R"({"id":")" + id + R"(","name":"warm"})";
  call<EditSetResult>("edit.set",
                      R"({"id":")" + id + R"(","ops":[{"kind":"exposure","scalar":1}]})");
  call<SnapshotInfo>("snapshot.save", ref);
  const EditGetResult reset = call<EditGetResult>("edit.reset", R"({"id":")" + id + R"("})");
  EXPECT_TRUE(reset.stack.isEmpty());
  EXPECT_EQ(reset.version, 2);
  const EditGetResult restored = call<EditGetResult>("snapshot.restore", ref);
  EXPECT_EQ(restored.version, 3);
  EXPECT_EQ(restored.stack.scalar(core::AdjustmentKind::exposure), 1.0);
  EXPECT_EQ(call<SnapshotListResult>("snapshot.list", R"({"id":")" + id + R"("})").snapshots.size(),
            1u);
  EXPECT_EQ(error("snapshot.restore", R"({"id":")" + id + R"(","name":"cold"})").code, -32602);
}

TEST_F(LibraryTest, DeleteMovesTheFileIntoTheTrashWithItsBytesIntact) {
  const std::string bytes(100'000, '\x7f');
  const std::string id = addPhoto("2024/June/beach.jpg", 5, bytes);
  const UpdatedResult result =
      call<UpdatedResult>("photo.delete", R"({"ids":[")" + id + R"(","gone"]})");
  EXPECT_EQ(result, (UpdatedResult{1, {"gone"}}));
  EXPECT_FALSE(std::filesystem::exists(folder() / "2024/June/beach.jpg"));
  EXPECT_EQ(readBytes(storeDir() / "trash/2024/June/beach.jpg"), bytes);
  EXPECT_EQ(error("photo.get", R"({"id":")" + id + R"("})").code, -32602);
  EXPECT_TRUE(call<ListResult>("library.list").photos.empty());

  // Put back where it was, the file is the same photo again.
  std::filesystem::rename(storeDir() / "trash/2024/June/beach.jpg",
                          folder() / "2024/June/beach.jpg");
  EXPECT_EQ(addPhoto("2024/June/beach.jpg", 5, bytes), id);
}

TEST_F(LibraryTest, AFileNameThatIsNotUTF8IsFoundSearchedAndDeleted) {
  const std::string id = addPhoto("caf\xE9.jpg", 42, "bytes");
  EXPECT_EQ(call<QueryResult>("library.query", R"({"text":"CAF\uFFFD.JPG"})").ids,
            std::vector<std::string>{id});
  EXPECT_EQ(call<UpdatedResult>("photo.delete", R"({"ids":[")" + id + R"("]})").updated, 1);
  EXPECT_EQ(readBytes(storeDir() / "trash" / "caf\xE9.jpg"), "bytes");
}

TEST_F(LibraryTest, EverythingSurvivesARestart) {
  const std::string id = addPhoto("a.jpg", 1'600'000'000);
  call<UpdatedResult>("photo.rate", R"({"ids":[")" + id + R"("],"rating":5})");
  call<UpdatedResult>("photo.favorite", R"({"ids":[")" + id + R"("],"favorite":true})");
  call<EditSetResult>("edit.set",
                      R"({"id":")" + id + R"(","ops":[{"kind":"contrast","scalar":2}]})");
  const CollectionInfo trip =
      call<CollectionInfo>("collection.create", R"({"name":"Trip","ids":[")" + id + R"("]})");
  call<UpdatedResult>("keyword.assign", R"({"name":"sunset","ids":[")" + id + R"("]})");
  call<SelectResult>("library.select", R"({"ids":[")" + id + R"("]})");
  call<AnnotateSetResult>("annotate.set",
                          R"({"id":")" + id +
                              R"(","annotation":{"caption":"Red boat","longDescription":"",)"
                              R"("keywords":[],"subjects":[],"palette":[]}})");
  open();
  EXPECT_EQ(addPhoto("a.jpg", 1'600'000'000), id);  // rescanned: the id stays
  const GetResult got = call<GetResult>("photo.get", R"({"id":")" + id + R"("})");
  EXPECT_EQ(got.metadata, (PhotoMetadataDTO{5, 0, 0, true}));
  EXPECT_TRUE(got.photo.isFavorite);
  EXPECT_EQ(got.annotation->caption, "Red boat");
  EXPECT_EQ(call<EditGetResult>("edit.get", R"({"id":")" + id + R"("})").version, 1);
  const auto collections = call<CollectionListResult>("collection.list").collections;
  EXPECT_EQ(collections, (std::vector<CollectionInfo>{{trip.id, "Trip", 1, false, {}}}));
  EXPECT_EQ(call<KeywordListResult>("keyword.list").keywords.at(0).count, 1);
  const ContextResult context = call<ContextResult>("app.context");
  EXPECT_EQ(context.selectionIDs, std::vector<std::string>{id});
  EXPECT_EQ(context.focusID, id);
  EXPECT_EQ(context.focusAnnotation->caption, "Red boat");
}

TEST_F(LibraryTest, AMillionIDsAreAnsweredWithEachUnknownOneSkipped) {
  const std::string id = addPhoto("a.jpg", 1);
  std::string ids = "[\"" + id + "\"";
  for (int i = 0; i < 1'000'000; ++i)
    ids += ",\"" + std::to_string(i % 10) + "\"";
  ids += "]";
  EXPECT_EQ(call<ShowResult>("library.show", R"({"title":"Many","ids":)" + ids + "}"),
            (ShowResult{1, "Many"}));
  const UpdatedResult rated =
      call<UpdatedResult>("photo.rate", R"({"rating":2,"ids":)" + ids + "}");
  EXPECT_EQ(rated.updated, 1);
  EXPECT_EQ(rated.skipped.size(), 1'000'000u);
}

TEST_F(LibraryTest, ADamagedStoreAnswersStoreUnavailableUntilItIsRepaired) {
  library_.reset();
  std::filesystem::create_directories(storeDir());
  writeBytes(storeDir() / "library.sqlite", std::string(8192, 'x'));
  open();
  EXPECT_EQ(error("system.ping").code, -32001);
  EXPECT_EQ(error("photo.rate", R"({"ids":["a"],"rating":1})").code, -32001);
  EXPECT_EQ(error("photo.rate", R"({"ids":"a"})").code, -32602);  // bad params still say so
  std::filesystem::rename(storeDir() / "library.sqlite", dir_.path() / "damaged.sqlite");
  EXPECT_EQ(call<PingResult>("system.ping").photoCount, 0);
  EXPECT_EQ(readBytes(dir_.path() / "damaged.sqlite"), std::string(8192, 'x'));
}

TEST_F(LibraryTest, QueryCombinesDateRatingAndEveryWordOfTheText) {
  const std::string boat = addPhoto("harbour/IMG_1.jpg", 1'717'200'000, "1", "Canon EOS R5");
  const std::string car = addPhoto("street/IMG_2.jpg", 1'717'300'000, "2", "Canon EOS R5");
  const std::string old = addPhoto("harbour/IMG_3.jpg", 1'500'000'000, "3", "Canon EOS R5");
  for (const auto& id : {boat, car, old}) {
    call<UpdatedResult>("photo.rate", R"({"ids":[")" + id + R"("],"rating":4})");
  }
  call<AnnotateSetResult>("annotate.set", R"({"id":")" + boat +
                                              R"(","annotation":{"caption":"Red Sailboat",)"
                                              R"("longDescription":"","keywords":[],)"
                                              R"("subjects":[],"palette":[]}})");
  call<AnnotateSetResult>("annotate.set", R"({"id":")" + old +
                                              R"(","annotation":{"caption":"red sailboat",)"
                                              R"("longDescription":"","keywords":[],)"
                                              R"("subjects":[],"palette":[]}})");
  const std::string filter =
      R"("dateFrom":"2024-05-01T00:00:00Z","dateTo":"2024-12-31T00:00:00Z","minRating":3)";
  QueryResult found = call<QueryResult>(
      "library.query", "{" + filter + R"(,"text":"SAILBOAT canon","show":true,"title":"Boats"})");
  EXPECT_EQ(found.ids, std::vector<std::string>{boat});
  EXPECT_EQ(found.count, 1);
  EXPECT_TRUE(found.shown);
  found = call<QueryResult>("library.query", "{" + filter + R"(,"text":"harbour"})");
  EXPECT_EQ(found.ids, std::vector<std::string>{boat});
  found = call<QueryResult>("library.query", "{" + filter + R"(,"text":"sailboat bicycle"})");
  EXPECT_TRUE(found.ids.empty());
  call<UpdatedResult>("keyword.assign", R"({"name":"Commute","ids":[")" + car + R"("]})");
  found = call<QueryResult>("library.query", R"({"text":"commute"})");
  EXPECT_EQ(found.ids, std::vector<std::string>{car});
  EXPECT_EQ(call<QueryResult>("library.query", R"({"limit":2})").count, 3);
}

TEST_F(LibraryTest, AnnotationsAreLaidOverTheStoredOne) {
  const std::string id = addPhoto("a.jpg", 1);
  call<AnnotateSetResult>("annotate.set",
                          R"({"id":")" + id +
                              R"(","annotation":{"caption":"A dog","longDescription":"",)"
                              R"("keywords":["Dog"],"subjects":[],"palette":[]},"model":"m1"})");
  EXPECT_EQ(call<AnnotatePendingResult>("annotate.pending").remaining, 0);
  const auto merged = call<AnnotateSetResult>(
      "annotate.set",
      R"({"id":")" + id +
          R"(","annotation":{"caption":"","longDescription":"On grass",)"
          R"("keywords":["dog","Park"],"subjects":[],"palette":[],"peopleCount":0}})");
  EXPECT_EQ(merged.annotation.caption, "A dog");
  EXPECT_EQ(merged.annotation.longDescription, "On grass");
  EXPECT_EQ(merged.annotation.keywords, (std::vector<std::string>{"Dog", "Park"}));
  EXPECT_EQ(merged.annotation.peopleCount, 0);
}

TEST_F(LibraryTest, GeotagResolvesPlaceNamesOfTheZoneTables) {
  const std::string id = addPhoto("a.jpg", 1);
  const GeotagResult paris =
      call<GeotagResult>("photo.geotag", R"({"ids":[")" + id + R"("],"place":"paris, France"})");
  EXPECT_EQ(paris.updated, 1);
  EXPECT_NEAR(*paris.latitude, 48.8667, 0.001);
  EXPECT_NEAR(*paris.longitude, 2.3333, 0.001);
  EXPECT_NEAR(*call<GetResult>("photo.get", R"({"id":")" + id + R"("})").photo.latitude, 48.8667,
              0.001);
  const RPCError unknown = error("photo.geotag", R"({"ids":[")" + id + R"("],"place":"Atlantis"})");
  EXPECT_EQ(unknown.code, -32602);
  EXPECT_NE(unknown.message.find("Atlantis"), std::string::npos);
  const QueryResult near = call<QueryResult>(
      "library.query", R"({"latitude":48.85,"longitude":2.35,"radiusMeters":5000})");
  EXPECT_EQ(near.ids, std::vector<std::string>{id});
  EXPECT_TRUE(call<QueryResult>("library.query",
                                R"({"latitude":51.5,"longitude":-0.12,"radiusMeters":5000})")
                  .ids.empty());
}

TEST_F(LibraryTest, GroupsNestAndNameTheirMembers) {
  const std::string a = addPhoto("a.jpg", 1);
  const CollectionInfo parent = call<CollectionInfo>("collection.create", R"({"name":"2024"})");
  const CollectionInfo child = call<CollectionInfo>(
      "collection.create", R"({"name":"Rome","parentID":")" + parent.id + R"("})");
  EXPECT_EQ(child.parentID, parent.id);
  EXPECT_EQ(error("collection.create", R"({"name":"X","parentID":"nope"})").code, -32602);
  EXPECT_EQ(call<UpdatedResult>("collection.add", R"({"name":"rome","ids":[")" + a + R"(","z"]})"),
            (UpdatedResult{1, {"z"}}));
  EXPECT_EQ(error("collection.add", R"({"name":"Paris","ids":[")" + a + R"("]})").code, -32602);
  const AlbumInfo album =
      call<AlbumInfo>("album.create", R"({"name":"Best","ids":[")" + a + R"("]})");
  EXPECT_EQ(album.count, 1);
  call<UpdatedResult>("album.remove", R"({"id":")" + album.id + R"(","ids":[")" + a + R"("]})");
  EXPECT_EQ(call<AlbumListResult>("album.list").albums,
            (std::vector<AlbumInfo>{{album.id, "Best", 0}}));
  const MovieInfo movie =
      call<MovieInfo>("movie.make", R"({"name":"Summer","ids":[")" + a + R"(","z"]})");
  EXPECT_EQ(movie.clipCount, 1);
  EXPECT_EQ(call<MovieListResult>("movie.list").movies, std::vector<MovieInfo>{movie});
}

}  // namespace
}  // namespace tarno::library::testing
