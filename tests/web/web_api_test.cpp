// The page's endpoints without HTTP: a WebApi over a library in a temporary folder, its answers,
// its refusals, and a native run. (Streams over HTTP: tests/tool/tarno_headless_web_test.cpp.)
#include "tarno/web/web_api.hpp"

#include <gtest/gtest.h>

#include "fakes/fake-chat-server/fake_chat_server.hpp"
#include "library/library_test_support.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::web {
namespace {

using assistant::AssistantEvent;
using namespace std::chrono_literals;

constexpr std::string_view token = "feedfacefeedfacefeedfacefeedface";

class WebApiTest : public library::testing::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    library().setChangeListener([this](const library::LibraryChange& c) { feed_.publish(c); });
    makeApi({});
  }
  void makeApi(std::optional<assistant::NativeModelConfig> native) {
    api_.reset();
    api_ = std::make_unique<WebApi>(
        library(), feed_,
        WebApiOptions{.token = std::string(token),
                      .helperSocket = (dir_.path() / "no-helper.sock").string(),
                      .native = std::move(native)});
  }
  void TearDown() override {
    api_.reset();
    library().setChangeListener({});
  }

  WebResponse ask(std::string_view method, std::string_view path, std::string_view body = {},
                  std::map<std::string, std::string> query = {}) {
    return api_->handle(
        WebRequest{.method = method,
                   .path = path,
                   .query = [query](std::string_view key) -> std::optional<std::string> {
                     const auto found = query.find(std::string(key));
                     if (found == query.end()) return std::nullopt;
                     return found->second;
                   },
                   .body = body});
  }
  static std::string lower(std::string text) {
    for (char& c : text)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }
  core::JsonValue json(const WebResponse& r) {
    EXPECT_EQ(r.contentType, "application/json");
    return core::parseJson(r.body);
  }
  // Everything a stream gives until it ends (or 20 s pass).
  static std::string drain(ResponseStream& stream) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::optional<std::string> chunk = stream.next();
      if (!chunk) break;
      out += *chunk;
    }
    return out;
  }
  static std::vector<AssistantEvent> events(const std::string& ndjson) {
    std::vector<AssistantEvent> out;
    std::size_t start = 0;
    for (std::size_t end = ndjson.find('\n'); end != std::string::npos;
         start = end + 1, end = ndjson.find('\n', start))
      out.push_back(core::decodeFromString<AssistantEvent>(ndjson.substr(start, end - start)));
    EXPECT_EQ(start, ndjson.size()) << "a line without its line feed";
    return out;
  }

  ChangeFeed feed_;
  std::unique_ptr<WebApi> api_;
};

TEST_F(WebApiTest, RefusesWhatItCannotServe) {
  const std::string tooMany = [] {
    std::string ids = R"({"ids":["x")";
    for (int i = 0; i < 500; ++i)
      ids += R"(,"x")";
    return ids + "]}";
  }();
  struct Case {
    std::string_view method, path, body;
    int status;
  };
  for (const Case& c : {
           Case{"GET", "/index.html", "", 404},  // the page only with its token filled in
           Case{"GET", "/app.js/", "", 404},
           Case{"GET", "/api/nothing", "", 404},
           Case{"GET", "/api/photos/a/b/image", "", 404},
           Case{"GET", "/api/photos/nope/image", "", 404},
           Case{"POST", "/", "", 405},
           Case{"GET", "/api/tiles", "", 405},
           Case{"DELETE", "/api/rpc", "", 405},
           Case{"POST", "/api/tiles", R"({"ids":"x"})", 400},
           Case{"POST", "/api/tiles", tooMany, 400},
           Case{"POST", "/api/assistant/run", "{}", 400},
           Case{"POST", "/api/assistant/run", R"({"prompt":"hi","model":"gpt"})", 400},
           Case{"POST", "/api/assistant/run", R"({"prompt":"hi","engine":"gpt"})", 400},
           Case{"POST", "/api/assistant/run", R"({"prompt":"hi","engine":"native"})", 400},
           Case{"POST", "/api/assistant/login/code", "[]", 400},
       }) {
    const WebResponse r = ask(c.method, c.path, c.body);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 30);
    const core::JsonValue answer = json(r);
    ASSERT_TRUE(answer.find("error") && answer.find("error")->asString()) << r.body;
  }
  const WebResponse page = ask("GET", "/");
  EXPECT_NE(
      page.body.find(R"(<meta name="tarno-token" content="feedfacefeedfacefeedfacefeedface">)"),
      std::string::npos);
  EXPECT_EQ(page.body.find("{{TOKEN}}"), std::string::npos);
}

TEST_F(WebApiTest, StateAndTilesFollowTheLibrary) {
  const std::string old = addPhoto("old.jpg", 10);
  const std::string hidden = addPhoto("hidden.jpg", 15);
  const std::string recent = addPhoto("recent.jpg", 20);
  const auto rpc = [&](std::string method, std::string params) {
    return ask("POST", "/api/rpc",
               R"({"jsonrpc":"2.0","id":3,"method":")" + method + R"(","params":)" + params + "}");
  };
  rpc("photo.hide", R"({"ids":[")" + hidden + R"("],"hidden":true})");
  const auto state = [&] { return ask("GET", "/api/state").body; };
  const std::string seq = "{\"seq\":" + std::to_string(feed_.seq());
  // Nothing shown yet: the library, newest first, hidden photos left out.
  EXPECT_EQ(state(), seq + R"(,"view":{"title":"Library","ids":[")" + recent + R"(",")" + old +
                         R"("],"isLibrary":true},"selection":[],"primary":null,"focus":null,)"
                         R"("editorPhotoID":null,"libraryCount":2})");

  const std::int64_t before = feed_.seq();
  const WebResponse rated = rpc("photo.rate", R"({"ids":[")" + lower(old) + R"("],"rating":5})");
  EXPECT_EQ(*json(rated).find("id")->asInt64(), 3);
  EXPECT_EQ(feed_.waitAfter(before, 0ms), (std::vector<Change>{{before + 1, "photo.rate", {old}}}));
  rpc("photo.flag", R"({"ids":[")" + old + R"("],"flag":"reject"})");
  rpc("photo.label", R"({"ids":[")" + old + R"("],"color":"green"})");
  // A notification is carried out and not answered.
  EXPECT_EQ(ask("POST", "/api/rpc",
                R"({"jsonrpc":"2.0","method":"photo.favorite","params":{"ids":[")" + old +
                    R"("],"favorite":true}})")
                .status,
            204);
  const WebResponse tiles =
      ask("POST", "/api/tiles", R"({"ids":[")" + old + R"(","nope",")" + recent + R"("]})");
  EXPECT_EQ(tiles.body, R"({"tiles":[{"id":")" + old +
                            R"(","fileName":"old.jpg","isVideo":false,"width":640,"height":480,)"
                            R"("rating":5,"flag":-1,"label":4,"favorite":true,"stackVersion":0},)"
                            R"({"id":")" +
                            recent +
                            R"(","fileName":"recent.jpg","isVideo":false,"width":640,)"
                            R"("height":480,"rating":0,"flag":0,"label":0,"favorite":false,)"
                            R"("stackVersion":0}]})");

  rpc("library.show", R"({"ids":[")" + old + R"("],"title":"Old"})");
  rpc("library.select", R"({"ids":[")" + old + R"("]})");
  EXPECT_NE(state().find(R"("view":{"title":"Old","ids":[")" + old +
                         R"("],"isLibrary":false},)"
                         R"("selection":[")" +
                         old + R"("],"primary":")" + old + R"(","focus":")" + old + "\""),
            std::string::npos)
      << state();
  const core::JsonValue shown = json(ask("POST", "/api/view/library"));
  EXPECT_TRUE(*shown.find("view")->find("isLibrary")->asBool());
  EXPECT_EQ(feed_.waitAfter(feed_.seq() - 1, 0ms).at(0).method, "library.show");

  const core::JsonValue photo = json(ask("GET", "/api/photos/" + old));
  EXPECT_EQ(*photo.find("capturedAt")->asString(), "1970-01-01T00:00:10Z");
  EXPECT_EQ(*photo.find("dimensions")->asString(), "640 × 480");
  EXPECT_TRUE(photo.find("annotation")->isNull());
  EXPECT_EQ(ask("GET", "/api/photos/nope").status, 404);
  for (const char* size : {"63", "4097", "1e3", ""})
    EXPECT_EQ(ask("GET", "/api/photos/" + old + "/image", {}, {{"size", size}}).status, 400);
}

TEST_F(WebApiTest, NativeRunActsOnTheLibraryWithThePagesStateAsContext) {
  const std::string a = addPhoto("a.jpg", 10);
  addPhoto("b.jpg", 20);
  library().handleLine(R"({"jsonrpc":"2.0","id":1,"method":"library.select","params":{"ids":[")" +
                       a + R"("]}})");
  fakes::FakeChatServer chat({fakes::ChatReply::toolCalls({fakes::toolCall(
                                  "c1", "tarno_rate", R"({"ids":[")" + a + R"("],"rating":4})")}),
                              fakes::ChatReply::content("Rated.")});
  const auto engines = [&] {
    return json(ask("GET", "/api/assistant/models")).find("engines")->asArray()->at(1);
  };
  EXPECT_FALSE(*engines().find("available")->asBool());
  makeApi(assistant::NativeModelConfig{.endpoint = chat.endpoint(), .model = "m", .apiKey = ""});
  EXPECT_TRUE(*engines().find("available")->asBool());

  WebResponse run = ask("POST", "/api/assistant/run", R"({"prompt":"rate it","engine":"native"})");
  ASSERT_TRUE(run.stream);
  const std::vector<AssistantEvent> got = events(drain(*run.stream));
  ASSERT_FALSE(got.empty());
  const auto* finished = got.back().as<AssistantEvent::Finished>();
  ASSERT_TRUE(finished);
  EXPECT_FALSE(finished->isError) << finished->text;
  EXPECT_EQ(finished->text, "Rated.");
  EXPECT_EQ(library().tiles({a}).at(0).rating, 4);

  const std::vector<fakes::ReceivedRequest> requests = chat.requests();
  ASSERT_FALSE(requests.empty());
  const std::string& body = requests[0].body;
  EXPECT_NE(body.find("CURRENT APP STATE"), std::string::npos);
  EXPECT_NE(body.find(R"(Displayed view: \"Library\" (2 photos))"), std::string::npos) << body;
  EXPECT_NE(body.find("Selection: 1 photo, primary " + a), std::string::npos);
  EXPECT_NE(body.find("Focused photo: " + a + " (a.jpg)"), std::string::npos);
}

}  // namespace
}  // namespace tarno::web
