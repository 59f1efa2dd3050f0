// What the library gives a page: the changes it reports (every request that changed the store,
// with the photos it named, and the folder's changes; nothing for reads and failures), and the
// thumbnails it keeps.
#include <mutex>

#include "library/library_test_support.hpp"
#include "library/media_fixture.hpp"

namespace tarno::library::testing {
namespace {

using namespace protocol;
using Strings = std::vector<std::string>;

class LibraryPageTest : public LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    library().setChangeListener([this](const LibraryChange& change) {
      std::lock_guard lock(mutex_);
      changes_.push_back(change);
    });
  }
  // The changes reported since the last call, as "method:id,id".
  Strings takeChanges() {
    std::lock_guard lock(mutex_);
    Strings out;
    for (const LibraryChange& c : changes_) {
      std::string text = c.method + ":";
      for (const std::string& id : c.ids)
        text += (text.back() == ':' ? "" : ",") + id;
      out.push_back(text);
    }
    changes_.clear();
    return out;
  }
  static std::string lower(std::string text) {
    for (char& c : text)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  std::mutex mutex_;
  std::vector<LibraryChange> changes_;
};

TEST_F(LibraryPageTest, ReportsWhatChangedTheStoreAndNothingElse) {
  const std::string a = addPhoto("a.jpg", 10);
  const std::string b = addPhoto("b.jpg", 20);
  EXPECT_EQ(takeChanges(), (Strings{"scan:", "scan:", "scan:", "scan:"}));

  // Ids come back canonical, whatever case the request used.
  call<UpdatedResult>("photo.rate", R"({"ids":[")" + lower(a) + R"("],"rating":3})");
  call<UpdatedResult>("photo.flag", R"({"ids":[")" + a + R"(",")" + b + R"("],"flag":"pick"})");
  call<EditSetResult>("edit.set",
                      R"({"id":")" + b + R"(","ops":[{"kind":"exposure","scalar":1}]})");
  EXPECT_EQ(takeChanges(),
            (Strings{"photo.rate:" + a, "photo.flag:" + a + "," + b, "edit.set:" + b}));

  // Reads, a search that shows nothing and a failed request change nothing.
  call<ListResult>("library.list");
  call<QueryResult>("library.query", R"({"text":"a"})");
  call<EditGetResult>("edit.get", R"({"id":")" + a + R"("})");
  error("photo.rate", R"({"ids":[")" + a + R"("],"rating":9})");
  EXPECT_EQ(takeChanges(), Strings{});

  // Changes of what is looked at are not about photos.
  call<QueryResult>("library.query", R"({"text":"a","show":true})");
  call<SelectResult>("library.select", R"({"ids":[")" + a + R"("]})");
  EXPECT_EQ(takeChanges(), (Strings{"library.query:", "library.select:"}));
}

// Grid thumbnails outlive the app: after a restart they come from the store, not from the
// original; an edit replaces the kept one of its size instead of adding another.
TEST_F(LibraryPageTest, KeepsThumbnailsAcrossARestartAndReplacesThemOnAnEdit) {
  const std::filesystem::path scratch = folder().parent_path() / "scratch.jpg";
  writeImage(scratch, 600, 400, 3);
  const std::string original = readBytes(scratch);
  const std::string id = addPhoto("a.jpg", 10, original);
  RenderError failure;

  const std::optional<Rendering> before = library().thumbnailJPEG(id, 256, &failure);
  ASSERT_TRUE(before) << failure.message;
  EXPECT_EQ(before->bytes.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(std::max(before->width, before->height), 256);
  call<EditSetResult>("edit.set",
                      R"({"id":")" + id + R"(","ops":[{"kind":"exposure","scalar":1}]})");
  const std::optional<Rendering> edited = library().thumbnailJPEG(id, 256, &failure);
  ASSERT_TRUE(edited) << failure.message;
  EXPECT_NE(edited->bytes, before->bytes);
  std::size_t kept = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(storeDir() / "thumbnails"))
    kept += entry.is_regular_file();
  EXPECT_EQ(kept, 1u);

  // The original now decodes to nothing, with the same size and time: only the kept thumbnail
  // can answer.
  const auto stamp = std::filesystem::last_write_time(folder() / "a.jpg");
  writeBytes(folder() / "a.jpg", std::string(original.size(), 'x'));
  std::filesystem::last_write_time(folder() / "a.jpg", stamp);
  open();
  const std::optional<Rendering> after = library().thumbnailJPEG(id, 256, &failure);
  ASSERT_TRUE(after) << failure.message;
  EXPECT_EQ(after->bytes, edited->bytes);
  EXPECT_EQ(after->width, edited->width);
  EXPECT_FALSE(library().thumbnailJPEG(id, 300, &failure));
}

}  // namespace
}  // namespace tarno::library::testing
