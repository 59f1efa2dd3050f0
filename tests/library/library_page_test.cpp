// The changes the library reports to a page: every request that changed the store, with the
// photos it named, and the folder's changes; nothing for reads and failures.
#include <mutex>

#include "library/library_test_support.hpp"

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

}  // namespace
}  // namespace tarno::library::testing
