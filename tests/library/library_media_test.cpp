// The library's methods that read or write real image files: a scan of generated photos, their
// tags, previews, exports, similarity, committed edits and imports.
#include <algorithm>

#include "library/library_test_support.hpp"
#include "tarno/core/adjustment_data_codec.hpp"

namespace tarno::library::testing {
namespace {

using namespace protocol;

class LibraryMediaTest : public LibraryFixture {
 protected:
  // Three photos, two of them the same picture, scanned by the library's own scanner.
  void SetUp() override {
    LibraryFixture::SetUp();
    std::filesystem::create_directories(folder() / "trip");
    writeImage(folder() / "trip/lake.jpg", 320, 200, 1);
    writeImage(folder() / "trip/lake copy.jpg", 320, 200, 1);
    writeImage(folder() / "city.jpg", 200, 320, 9);
    setTags(folder() / "trip/lake.jpg", {{"Exif.Image.Model", "Test Camera"},
                                         {"Exif.Photo.DateTimeOriginal", "2023:07:14 10:00:00"}});
    library().start();
    library().waitUntilScanned();
    for (const auto& p : call<ListResult>("library.list").photos)
      ids_.push_back(p.id);
  }

  // The photo whose relative path holds `text`.
  std::string idOf(const std::string& text) {
    const auto found = call<QueryResult>("library.query", R"({"text":")" + text + R"("})");
    EXPECT_EQ(found.ids.size(), 1u) << text;
    return found.ids.empty() ? std::string() : found.ids[0];
  }

  std::vector<std::string> ids_;
};

TEST_F(LibraryMediaTest, ScannedPhotosCarryTheirTagsAndRenderPreviews) {
  ASSERT_EQ(ids_.size(), 3u);
  EXPECT_EQ(call<PingResult>("system.ping").photoCount, 3);
  const std::string lake = idOf("trip/lake.jpg");
  const auto tags = call<core::JsonValue>("photo.exif", R"({"id":")" + lake + R"("})");
  ASSERT_NE(tags.find("Exif.Image.Model"), nullptr);
  EXPECT_EQ(*tags.find("Exif.Image.Model")->asString(), "Test Camera");
  EXPECT_EQ(call<QueryResult>("library.query", R"({"text":"test camera"})").ids,
            std::vector<std::string>{lake});

  const EditSetResult edited = call<EditSetResult>(
      "edit.set",
      R"({"id":")" + lake +
          R"(","ops":[{"kind":"exposure","scalar":1}],"preview":true,"previewLongEdge":32})");
  ASSERT_TRUE(edited.preview);
  EXPECT_EQ(std::max(edited.preview->width, edited.preview->height), 32);
  EXPECT_EQ(edited.preview->appliedStackVersion, edited.newVersion);
  const PreviewResult preview =
      call<PreviewResult>("preview.render", R"({"id":")" + lake + R"(","longEdge":64})");
  EXPECT_EQ(std::max(preview.width, preview.height), 64);
  EXPECT_EQ(preview.appliedStackVersion, 1);
  EXPECT_TRUE(preview.basedOnOriginal);
  EXPECT_EQ(core::base64Decode(preview.pngBase64)->substr(1, 3), "PNG");
}

TEST_F(LibraryMediaTest, SimilarFindPutsTheSamePictureFirst) {
  const std::string lake = idOf("trip/lake.jpg");
  const std::string copy = idOf("lake copy");
  const auto found =
      call<SimilarFindResult>("similar.find", R"({"id":")" + lake + R"(","limit":5})");
  EXPECT_EQ(found.indexed, 3);
  ASSERT_FALSE(found.matches.empty());
  EXPECT_EQ(found.matches[0], (SimilarMatch{copy, 0}));
  const std::string bytes = core::base64Encode(readBytes(folder() / "city.jpg"));
  const auto byImage =
      call<SimilarFindResult>("similar.find", R"({"imageBase64":")" + bytes + R"("})");
  ASSERT_FALSE(byImage.matches.empty());
  EXPECT_EQ(byImage.matches[0], (SimilarMatch{idOf("city.jpg"), 0}));
  EXPECT_EQ(error("similar.find", "{}").code, -32602);
}

TEST_F(LibraryMediaTest, CommitWritesTheStackBesideTheUntouchedOriginal) {
  const std::string lake = idOf("trip/lake.jpg");
  const std::string original = readBytes(folder() / "trip/lake.jpg");
  EXPECT_EQ(call<CommitResult>("edit.commit", R"({"id":")" + lake + R"("})"),
            (CommitResult{false, 0}));
  call<EditSetResult>("edit.set",
                      R"({"id":")" + lake + R"(","ops":[{"kind":"contrast","scalar":3}]})");
  EXPECT_EQ(call<CommitResult>("edit.commit", R"({"id":")" + lake + R"("})"),
            (CommitResult{true, 1}));
  const auto sidecar = core::decodeFromString<core::JsonValue>(
      readBytes(folder() / "trip/lake.jpg.tarno-edit.json"));
  EXPECT_EQ(*sidecar.find("formatIdentifier")->asString(), "com.tarno.app.editstack");
  const auto stack = core::decodeJSON<core::EditStack>(*sidecar.find("stack"));
  EXPECT_EQ(stack.scalar(core::AdjustmentKind::contrast), 3.0);
  EXPECT_EQ(readBytes(folder() / "trip/lake.jpg"), original);
}

TEST_F(LibraryMediaTest, ExportsGoToTheExchangeFolder) {
  const std::string city = idOf("city.jpg");
  const auto out = call<ExportRenderResult>(
      "export.render", R"({"id":")" + city + R"(","format":"PNG","longEdge":100})");
  EXPECT_EQ(out.format, "png");
  EXPECT_EQ(out.suggestedFilename, "city.png");
  EXPECT_EQ(std::filesystem::path(out.path).parent_path(), support() / "exchange");
  EXPECT_EQ(out.bytes, static_cast<std::int64_t>(std::filesystem::file_size(out.path)));
  EXPECT_EQ(error("export.render", R"({"id":")" + city + R"(","format":"gif"})").code, -32602);
}

TEST_F(LibraryMediaTest, ImportCopiesPhotosInAndListsWhatItCouldNot) {
  writeImage(dir_.path() / "new.png", 50, 40, 3);
  writeBytes(dir_.path() / "notes.jpg", "just text");
  const std::string outside = (dir_.path() / "new.png").string();
  const auto result =
      call<ImportResult>("library.import", R"({"paths":[")" + outside + R"(",")" +
                                               (dir_.path() / "notes.jpg").string() +
                                               R"(","/no/such/file.jpg","relative.jpg"]})");
  ASSERT_EQ(result.importedIDs.size(), 1u);
  EXPECT_EQ(result.failed.size(), 3u);
  EXPECT_EQ(readBytes(folder() / "Imported/new.png"), readBytes(outside));
  EXPECT_EQ(
      call<GetResult>("photo.get", R"({"id":")" + result.importedIDs[0] + R"("})").photo.pixelWidth,
      50);
  // Importing again keeps both copies, the second under a new name.
  call<ImportResult>("library.import", R"({"paths":[")" + outside + R"("]})");
  EXPECT_TRUE(std::filesystem::exists(folder() / "Imported/new (2).png"));
  EXPECT_EQ(call<PingResult>("system.ping").photoCount, 5);
  EXPECT_EQ(error("video.commit", R"({"id":")" + result.importedIDs[0] + R"("})").code, -32602);
}

}  // namespace
}  // namespace tarno::library::testing
