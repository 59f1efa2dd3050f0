// The page of tarno-headless --web in a real headless Chromium, driven over WebDriver: one app,
// one helper (in its sandbox, fake-claude as its CLI) and one browser session for the whole
// suite, over a copy of the sample library plus one photo with a hostile file name. Each test
// leaves a screenshot of the state it reached under the build folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "fakes/fake_claude_script.hpp"
#include "helper_sandbox.hpp"
#include "tarno/protocol/annotation_records.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/library_records.hpp"
#include "web_driver.hpp"
#include "web_headless.hpp"

namespace tarno::testing {
namespace {

namespace fs = std::filesystem;
using Array = core::JsonValue::Array;
using Object = core::JsonValue::Object;

const std::string hostileName = "<img src=x onerror=window.pwned=1>.jpg";
const std::string hostileCaption = "<script>window.pwned=2</script>Dunes at dusk";

std::int64_t sampleMediaCount() {
  std::int64_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(TARNO_SAMPLE_LIBRARY))
    if (entry.is_regular_file() && entry.path().extension() != ".xmp") ++count;
  return count;
}

// A JavaScript string literal holding `text`.
std::string jsString(const std::string& text) {
  return jsonText(core::JsonValue(text));
}

Array idValues(const std::vector<std::string>& ids) {
  return Array(ids.begin(), ids.end());
}

// Everything the suite shares, started once.
struct Stage {
  Stage() {
    fs::copy(TARNO_SAMPLE_LIBRARY, photos(), fs::copy_options::recursive);
    fs::copy_file(photos() + "/2016/IMG_1000.jpg", photos() + "/2016/" + hostileName);
    if (HelperSandbox::isolated()) {
      sandbox.makeSupportDir();
      sandbox.script.status().out(fakes::authStatusJSON(true));
      sandbox.installScript();
      helper.emplace(sandbox.start(TARNO_ASSISTANT_PATH, {"serve"}));
      for (int i = 0; i < 200 && !fs::exists(sandbox.socketPath()); ++i)
        std::this_thread::sleep_for(50ms);
    }
    app = std::make_unique<WebHeadless>(dir.path(), photos(), sandbox.socketPath());
    scanned = app->awaitPhotoCount(photoCount);
    browser = std::make_unique<WebDriver>(dir.path());
    browser->navigate(app->pageURL());
  }
  std::string photos() const { return dir.path() + "/photos"; }

  const std::int64_t photoCount = sampleMediaCount() + 1;
  fakes::TempDir dir;
  HelperSandbox sandbox;
  std::optional<Started> helper;
  std::unique_ptr<WebHeadless> app;
  bool scanned = false;
  std::unique_ptr<WebDriver> browser;
};

class TarnoHeadlessWebPage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      stage_ = std::make_unique<Stage>();
    } catch (const std::exception& e) {
      failure_ = e.what();
    }
  }
  static void TearDownTestSuite() { stage_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(stage_) << failure_;
    ASSERT_TRUE(stage_->scanned) << "the first scan did not end";
  }
  void TearDown() override {
    if (!stage_) return;
    browser().screenshot(
        fs::path(TARNO_WEB_SCREENSHOTS) /
        (::testing::UnitTest::GetInstance()->current_test_info()->name() + std::string(".png")));
  }

  WebHeadless& app() { return *stage_->app; }
  WebDriver& browser() { return *stage_->browser; }

  // The page's grid once it shows `title` with `count` tiles.
  void awaitView(const std::string& title, std::size_t count) {
    const bool shown = browser().waitFor(
        "document.querySelector('#view-title')?.textContent === " + jsString(title) +
        " && document.querySelectorAll('#grid .tile').length === " + std::to_string(count));
    ASSERT_TRUE(shown) << "the page shows "
                       << jsonText(browser().execute(
                              "return [document.querySelector('#view-title')?.textContent, "
                              "document.querySelectorAll('#grid .tile').length];"));
  }

  std::vector<std::string> tileIds() {
    std::vector<std::string> ids;
    const core::JsonValue found = browser().execute(
        "return [...document.querySelectorAll('#grid .tile')].map(t => t.dataset.id);");
    for (const core::JsonValue& id : *found.asArray())
      ids.push_back(*id.asString());
    return ids;
  }

  // The library's newest photos, as library.list gives them.
  std::vector<std::string> newest(int count) {
    std::vector<std::string> ids;
    for (const auto& photo :
         app().result<protocol::ListResult>("library.list", Object{{"limit", count}}).photos)
      ids.push_back(photo.id);
    return ids;
  }

  // Shows `ids` under `title` from our own socket connection, as any other client would.
  void show(const std::vector<std::string>& ids, const std::string& title) {
    app().call("library.show", Object{{"ids", idValues(ids)}, {"title", title}});
    awaitView(title, ids.size());
  }

  static std::unique_ptr<Stage> stage_;
  static std::string failure_;
};
std::unique_ptr<Stage> TarnoHeadlessWebPage::stage_;
std::string TarnoHeadlessWebPage::failure_;

TEST_F(TarnoHeadlessWebPage, ThePageOpensWithItsTokenOnlyAndShowsTheWholeLibrary) {
  // The user's other tools find the token beside the socket, readable by the user alone.
  const fs::path tokenFile = fs::path(stage_->dir.path()) / "headless-web-token";
  EXPECT_EQ(fakes::readFile(tokenFile.string()).substr(0, 32), app().token());
  EXPECT_EQ(fs::status(tokenFile).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  HttpClient stranger;
  EXPECT_EQ(stranger.request("GET", app().origin() + "/").status, 403);
  EXPECT_EQ(stranger.request("GET", app().origin() + "/?token=" + std::string(32, '0')).status,
            403);
  EXPECT_EQ(stranger.request("GET", app().origin() + "/app.js").status, 403);
  // A browser without the cookie is turned away too.
  browser().command("DELETE", browser().sessionPath() + "/cookie");
  browser().navigate(app().origin() + "/");
  EXPECT_TRUE(browser().findAll("#grid").empty());

  browser().navigate(app().pageURL());
  awaitView("Library", static_cast<std::size_t>(stage_->photoCount));
  // The address bar no longer carries the token: the page answered it with a redirect.
  EXPECT_EQ(browser().currentURL(), app().origin() + "/");
  const core::JsonValue page = browser().execute("return window.tarnoPage;");
  EXPECT_EQ(*page.find("count"), core::JsonValue(stage_->photoCount));
  EXPECT_EQ(*page.find("viewTitle"), core::JsonValue("Library"));
  const std::vector<std::string> ids = tileIds(),
                                 all = newest(static_cast<int>(stage_->photoCount));
  EXPECT_EQ(std::set(ids.begin(), ids.end()), std::set(all.begin(), all.end()));
  // The first screen's thumbnails arrive (the sample video has no frame to show).
  const std::string firstScreen =
      "[...document.querySelectorAll('#grid .tile:not(.video) img')].filter(i => { const r = "
      "i.getBoundingClientRect(); return r.bottom > 0 && r.top < innerHeight; })";
  EXPECT_TRUE(browser().waitFor(firstScreen + ".every(i => i.complete && i.naturalWidth > 0)", 20s))
      << jsonText(browser().execute("return " + firstScreen +
                                    ".map(i => [i.src, i.complete, i.naturalWidth]);"));
}

TEST_F(TarnoHeadlessWebPage, AShowFromAnotherClientRedrawsTheGridWithoutAReload) {
  browser().execute("window.sameDocument = true;");
  const std::vector<std::string> ids = newest(9);
  const std::vector<std::string> three = {ids[7], ids[2], ids[4]};
  show(three, "Three from the socket");
  EXPECT_EQ(tileIds(), three) << "the view's order is the order it was shown in";
  EXPECT_EQ(browser().execute("return window.sameDocument === true;"), core::JsonValue(true));
  EXPECT_EQ(*browser().execute("return window.tarnoPage.count;").asInt64(), 3);

  // A change to a photo on screen reaches its tile too.
  app().call("photo.rate", Object{{"ids", Array{ids[2]}}, {"rating", 2}});
  EXPECT_TRUE(browser().waitFor("document.querySelector('.tile[data-id=" + jsString(ids[2]) +
                                "] .stars[data-rating=\"2\"]')"));
}

TEST_F(TarnoHeadlessWebPage, ClicksAndKeysSelectForEveryClientAndDigitsRate) {
  const std::vector<std::string> ids = newest(5);
  show(ids, "Culling");
  app().call("photo.rate", Object{{"ids", idValues(ids)}, {"rating", 0}});
  const auto tile = [&](int i) {
    return browser().find(".tile[data-id=" + jsString(ids[i]) + "]");
  };
  // The library's selection as a set, once it equals `expected` (or as it is after 5 s).
  const auto selectionBecomes = [&](std::set<std::string> expected) {
    std::set<std::string> selected;
    for (int i = 0; i < 100 && selected != expected; ++i) {
      const auto now = app().result<protocol::SelectionResult>("library.selection");
      selected = std::set(now.ids.begin(), now.ids.end());
      if (selected != expected) std::this_thread::sleep_for(50ms);
    }
    return selected;
  };
  const auto ratings = [&] {
    std::vector<std::int64_t> values;
    for (const std::string& id : ids)
      values.push_back(
          app().result<protocol::GetResult>("photo.get", Object{{"id", id}}).metadata->rating);
    return values;
  };
  const auto ratingsBecome = [&](std::vector<std::int64_t> expected) {
    std::vector<std::int64_t> now = ratings();
    for (int i = 0; i < 100 && now != expected; ++i, now = ratings())
      std::this_thread::sleep_for(50ms);
    return now;
  };

  browser().click(tile(3));
  EXPECT_EQ(selectionBecomes({ids[3]}), std::set{ids[3]});
  EXPECT_EQ(app().result<protocol::SelectionResult>("library.selection").primary, ids[3]);
  EXPECT_TRUE(browser().waitFor(
      "document.querySelector('.tile.selected.primary.focused')?.dataset.id === " +
      jsString(ids[3])));
  browser().pressKeys("4");
  EXPECT_EQ(ratingsBecome({0, 0, 0, 4, 0}), (std::vector<std::int64_t>{0, 0, 0, 4, 0}));
  EXPECT_TRUE(browser().waitFor("document.querySelector('.tile[data-id=" + jsString(ids[3]) +
                                "] .stars[data-rating=\"4\"]')"));

  // The arrow moves the focus and the selection with it; Shift-click extends from there.
  browser().pressKeys(WebDriver::rightKey);
  EXPECT_EQ(selectionBecomes({ids[4]}), std::set{ids[4]});
  browser().shiftClick(tile(1));
  EXPECT_EQ(selectionBecomes({ids[1], ids[2], ids[3], ids[4]}),
            (std::set{ids[1], ids[2], ids[3], ids[4]}));
  browser().pressKeys("2");
  EXPECT_EQ(ratingsBecome({0, 2, 2, 2, 2}), (std::vector<std::int64_t>{0, 2, 2, 2, 2}));
}

TEST_F(TarnoHeadlessWebPage, APromptStreamsTheAssistantsTextAndToolCallsIntoThePanel) {
  if (!stage_->helper) GTEST_SKIP() << "the helper needs its sandbox, which this system refuses";
  stage_->sandbox.script.print()
      .out(R"({"type":"system","subtype":"init","session_id":"web-1","model":"claude-sonnet"})")
      .out(
          R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"Looking for "}}})")
      .out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"beaches."}}})")
      .sleepMs(1500)
      .out(
          R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"toolu_1",)"
          R"("name":"mcp__tarno__library_query","input":{"text":"beach"}}]},"session_id":"web-1"})")
      .out(R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"toolu_1",)"
           R"("content":"3 photos"}]},"session_id":"web-1"})")
      .out(R"({"type":"result","result":"Found 3 beach photos.","session_id":"web-1"})");
  stage_->sandbox.installScript();

  // From whatever view the tests left, the whole library is one click away.
  browser().click(browser().find("#library"));
  awaitView("Library", static_cast<std::size_t>(stage_->photoCount));

  const std::string prompt = browser().find("#prompt");
  browser().click(prompt);
  browser().sendKeys(prompt, "Find my beach photos");
  browser().click(browser().find("#send"));
  // Streamed: the first words are on screen while the CLI is still at work.
  EXPECT_TRUE(browser().waitFor(
      "document.querySelector('#conversation .turn .text')?.textContent.includes('Looking for "
      "beaches.') && !document.querySelector('#conversation .turn .final')",
      20s));
  // It was given the prompt and the page's state of the app. (Read now: the status checks
  // after the turn start the fake again.)
  const fakes::FakeClaudeRecord record = stage_->sandbox.record();
  const auto has = [&](std::string_view text) {
    return std::any_of(record.args.begin(), record.args.end(),
                       [&](const std::string& a) { return a.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(has("Find my beach photos"));
  EXPECT_TRUE(has("CURRENT APP STATE"));

  EXPECT_TRUE(browser().waitFor(
      "document.querySelector('#conversation .turn .final')?.textContent.includes('Found 3 beach "
      "photos.')",
      20s));
  const core::JsonValue tools = browser().execute(
      "return [...document.querySelectorAll('#conversation .turn .tool')].map(t => "
      "t.textContent);");
  ASSERT_EQ(tools.asArray()->size(), 1u) << jsonText(tools);
  EXPECT_NE(tools.asArray()->front().asString()->find("library"), std::string::npos)
      << jsonText(tools);
}

TEST_F(TarnoHeadlessWebPage, HostileFileNamesAndCaptionsShowAsText) {
  std::string id;
  for (const std::string& candidate : newest(static_cast<int>(stage_->photoCount))) {
    const HttpAnswer photo = app().api("GET", "/api/photos/" + candidate);
    if (photo.body.find("onerror") != std::string::npos) id = candidate;
  }
  ASSERT_FALSE(id.empty()) << "no photo carries the hostile name";
  app().result<protocol::AnnotateSetResult>(
      "annotate.set", Object{{"id", id},
                             {"annotation", Object{{"caption", hostileCaption},
                                                   {"longDescription", "<b>bold</b> claims"},
                                                   {"keywords", Array{"<i>kw</i>"}},
                                                   {"subjects", Array{}},
                                                   {"palette", Array{}}}}});
  show({id}, "<i>Hostile</i>");
  browser().click(browser().find(".tile[data-id=" + jsString(id) + "]"));
  browser().pressKeys(WebDriver::enterKey);
  ASSERT_TRUE(browser().waitFor("document.querySelector('#info')?.textContent.includes(" +
                                jsString(hostileCaption) + ")"));
  const std::string info = browser().text(browser().find("#info"));
  EXPECT_NE(info.find(hostileName), std::string::npos) << info;
  EXPECT_NE(info.find("<b>bold</b> claims"), std::string::npos) << info;
  EXPECT_EQ(browser().execute("return [typeof window.pwned, document.querySelectorAll("
                              "'#info script, #info b, #info i, img[src=\"x\"], #view-title i')"
                              ".length];"),
            core::JsonValue(Array{"undefined", 0}));
}

}  // namespace
}  // namespace tarno::testing
