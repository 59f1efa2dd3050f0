// The library's rendering methods with edit stacks: previews and exports of an edited photo
// developed (basedOnOriginal false), untouched ones read from the original, edit.commit's
// rendered copy beside the original, and the bounded cache of renderings.
#include "library/develop/render_cache.hpp"
#include "library/library_test_support.hpp"

namespace tarno::library::testing {
namespace {

using namespace protocol;

class DevelopLibraryTest : public LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    writeImage(folder() / "lake.jpg", 240, 160, 3);
    library().start();
    library().waitUntilScanned();
    const auto photos = call<ListResult>("library.list").photos;
    ASSERT_EQ(photos.size(), 1u);
    id_ = photos[0].id;
  }

  PreviewResult preview() {
    return call<PreviewResult>("preview.render", R"({"id":")" + id_ + R"(","longEdge":120})");
  }

  void edit(const std::string& ops) {
    call<EditSetResult>("edit.set", R"({"id":")" + id_ + R"(","ops":)" + ops + "}");
  }

  std::string id_;
};

TEST_F(DevelopLibraryTest, PreviewsRenderTheStackOnlyWhenItChangesSomething) {
  const PreviewResult plain = preview();
  EXPECT_TRUE(plain.basedOnOriginal);
  edit(R"([{"kind":"exposure","scalar":0}])");
  EXPECT_TRUE(preview().basedOnOriginal);  // neutral: still the original

  edit(R"([{"kind":"exposure","scalar":1.5},{"kind":"flipHorizontal","boolean":true}])");
  const PreviewResult edited = preview();
  EXPECT_FALSE(edited.basedOnOriginal);
  EXPECT_EQ(edited.appliedStackVersion, 3);  // one change per op
  EXPECT_EQ(edited.width, 120);
  EXPECT_EQ(edited.height, 80);
  EXPECT_NE(edited.pngBase64, plain.pngBase64);
  // Asked again, the same rendering.
  EXPECT_EQ(preview().pngBase64, edited.pngBase64);

  // edit.set's own preview is the developed one too.
  const auto result = call<EditSetResult>(
      "edit.set",
      R"({"id":")" + id_ +
          R"(","ops":[{"kind":"saturation","scalar":-1}],"preview":true,"previewLongEdge":60})");
  ASSERT_TRUE(result.preview);
  EXPECT_FALSE(result.preview->basedOnOriginal);
  EXPECT_EQ(result.preview->appliedStackVersion, 4);
  EXPECT_EQ(result.preview->width, 60);
}

TEST_F(DevelopLibraryTest, ExportOfAnEditedPhotoIsDeveloped) {
  const auto plain =
      call<ExportRenderResult>("export.render", R"({"id":")" + id_ + R"(","format":"png"})");
  const std::string plainBytes = readBytes(plain.path);
  edit(R"([{"kind":"crop","rect":[[0,0],[0.5,0.5]]}])");
  const auto edited =
      call<ExportRenderResult>("export.render", R"({"id":")" + id_ + R"(","format":"png"})");
  EXPECT_NE(readBytes(edited.path), plainBytes);
  initialiseVips();
  const vips::VImage image = vips::VImage::new_from_file(edited.path.c_str());
  EXPECT_EQ(image.width(), 120);
  EXPECT_EQ(image.height(), 80);
}

TEST_F(DevelopLibraryTest, CommitWritesAHiddenRenderedCopyBesideTheOriginal) {
  const std::string original = readBytes(folder() / "lake.jpg");
  const std::filesystem::path copy = folder() / ".lake.jpg.tarno-edit.jpg";
  edit(R"([{"kind":"rotation","scalar":90}])");
  EXPECT_EQ(call<CommitResult>("edit.commit", R"({"id":")" + id_ + R"("})"),
            (CommitResult{true, 1}));
  ASSERT_TRUE(std::filesystem::exists(copy));
  initialiseVips();
  const vips::VImage rendered = vips::VImage::new_from_file(copy.c_str());
  EXPECT_EQ(rendered.width(), 160);  // turned a quarter
  EXPECT_EQ(rendered.height(), 240);
  EXPECT_EQ(readBytes(folder() / "lake.jpg"), original);
  // The copy is no photo of the library, scanned afresh.
  open();
  library().start();
  library().waitUntilScanned();
  EXPECT_EQ(call<PingResult>("system.ping").photoCount, 1);

  // Reset and committed again: the stack renders to the original, the copy goes.
  call<EditGetResult>("edit.reset", R"({"id":")" + id_ + R"("})");
  call<CommitResult>("edit.commit", R"({"id":")" + id_ + R"("})");
  EXPECT_FALSE(std::filesystem::exists(copy));
  EXPECT_EQ(readBytes(folder() / "lake.jpg"), original);
}

TEST(RenderCache, KeepsTheMostRecentWithinItsEntriesAndBytes) {
  develop::RenderCache cache(3, 1000);
  auto key = [](std::int64_t version) { return develop::RenderKey{"p", version, 100, 10, 20}; };
  auto rendering = [](std::size_t bytes) { return Rendering{std::string(bytes, 'x'), 1, 1}; };
  cache.insert(key(1), rendering(100));
  cache.insert(key(2), rendering(100));
  cache.insert(key(3), rendering(100));
  ASSERT_TRUE(cache.find(key(1)));  // now the most recent
  cache.insert(key(4), rendering(100));
  EXPECT_FALSE(cache.find(key(2)));  // the least recent went
  EXPECT_TRUE(cache.find(key(1)));
  EXPECT_EQ(cache.size(), 3u);
  // Bytes bound it too, and what does not fit at all is not kept.
  cache.insert(key(5), rendering(900));
  EXPECT_TRUE(cache.find(key(5)));
  EXPECT_TRUE(cache.find(key(1)));  // read last before: 900 + 100 bytes fit exactly
  EXPECT_FALSE(cache.find(key(4)));
  EXPECT_EQ(cache.size(), 2u);
  cache.insert(key(6), rendering(1001));
  EXPECT_FALSE(cache.find(key(6)));
  // Another size, version or file state is another rendering.
  EXPECT_FALSE(cache.find(develop::RenderKey{"p", 5, 101, 10, 20}));
  EXPECT_FALSE(cache.find(develop::RenderKey{"p", 5, 100, 10, 21}));
}

}  // namespace
}  // namespace tarno::library::testing
