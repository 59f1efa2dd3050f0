// The endpoints of the page's server.
#include "tarno/web/web_api.hpp"

#include <charconv>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/native/native_agent_runner.hpp"
#include "tarno/assistant/session/claude_model.hpp"
#include "tarno/assistant/transport/assistant_helper_client.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/web/app_state_context.hpp"
#include "tarno/web/page_files.hpp"

namespace tarno::web {

namespace {

using assistant::AssistantEvent;
using assistant::AssistantHelperClient;
using Clock = std::chrono::steady_clock;

constexpr std::size_t maxTileIDs = 500;
constexpr std::int64_t minImageEdge = 64;
constexpr std::int64_t maxImageEdge = 4096;
constexpr std::int64_t defaultImageEdge = 512;
constexpr std::string_view ndjson = "application/x-ndjson";
// How long the helper may take to answer `status`.
constexpr auto statusTimeout = std::chrono::seconds(10);
// How long a stream waits for news before it lets the server look at the connection.
constexpr auto pollInterval = std::chrono::milliseconds(500);

// The page's bodies.
struct TilesBody {
  std::vector<std::string> ids;
  static constexpr auto jsonFields = std::tuple{core::required("ids", &TilesBody::ids)};
};

struct RunBody {
  std::string prompt;
  assistant::ClaudeModel model = assistant::ClaudeModel::sonnet;
  bool allowCommit = false;
  std::string engine = "claude";
  std::optional<std::string> resumeSessionID;
  static constexpr auto jsonFields = std::tuple{
      core::required("prompt", &RunBody::prompt), core::withDefault("model", &RunBody::model),
      core::withDefault("allowCommit", &RunBody::allowCommit),
      core::withDefault("engine", &RunBody::engine),
      core::optional("resumeSessionID", &RunBody::resumeSessionID)};
};

struct LoginCodeBody {
  std::string code;
  static constexpr auto jsonFields = std::tuple{core::required("code", &LoginCodeBody::code)};
};

WebResponse json(int status, std::string body) {
  return WebResponse{.status = status, .body = htmlSafeJSON(std::move(body))};
}

WebResponse error(int status, std::string_view message) {
  return WebResponse{.status = status, .body = errorJSON(message)};
}

WebResponse notFound() {
  return error(404, "not found");
}

// The body decoded as T, or the 400 that says why not.
template <class T>
std::variant<T, WebResponse> decodeBody(std::string_view body) {
  try {
    return core::decodeFromString<T>(body);
  } catch (const core::DecodingError& e) {
    return error(400, e.what());
  }
}

template <class F>
std::string writeJSON(F&& write) {
  std::string out;
  core::JsonWriter w(out);
  write(w);
  return out;
}

void writeTileMembers(core::JsonWriter& w, const library::PhotoTile& t) {
  w.member("id", t.id);
  w.member("fileName", t.fileName);
  w.member("isVideo", t.isVideo);
  w.member("width", t.width);
  w.member("height", t.height);
  w.member("rating", t.rating);
  w.member("flag", t.flag);
  w.member("label", t.label);
  w.member("favorite", t.favorite);
  w.member("stackVersion", t.stackVersion);
}

std::string stateJSON(std::int64_t seq, const library::ViewState& s) {
  return writeJSON([&](core::JsonWriter& w) {
    w.beginObject();
    w.member("seq", seq);
    w.key("view");
    w.beginObject();
    w.member("title", s.title);
    w.member("ids", s.ids);
    w.member("isLibrary", s.isLibrary);
    w.endObject();
    w.member("selection", s.selection);
    w.member("primary", s.primary);
    w.member("focus", s.focus);
    w.member("editorPhotoID", s.editorPhotoID);
    w.member("libraryCount", s.libraryCount);
    w.endObject();
  });
}

std::optional<std::int64_t> integerOf(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Wakes a stream's reader when its producer has news.
class Waker {
 public:
  void notify() {
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
    }
    ready.notify_all();
  }
  void wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    ready.wait_for(lock, timeout, [&] { return ready_; });
    ready_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready;
  bool ready_ = false;
};

}  // namespace

class WebApi::Slot {
 public:
  // A place among `limit`, or nothing when all are taken.
  static std::unique_ptr<Slot> take(const std::shared_ptr<std::atomic<int>>& counter, int limit) {
    if (counter->fetch_add(1) >= limit) {
      counter->fetch_sub(1);
      return nullptr;
    }
    return std::make_unique<Slot>(Taken{}, counter);
  }
  // Only take() makes a Taken: a slot is always counted.
  struct Taken {
   private:
    Taken() = default;
    friend class Slot;
  };
  Slot(Taken, std::shared_ptr<std::atomic<int>> counter) : counter_(std::move(counter)) {}
  ~Slot() { counter_->fetch_sub(1); }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

 private:
  std::shared_ptr<std::atomic<int>> counter_;
};

namespace {

// text/event-stream of the feed's changes, with a comment line while nothing happens.
class ChangeStream final : public ResponseStream {
 public:
  ChangeStream(ChangeFeed& feed, std::unique_ptr<WebApi::Slot> slot, std::chrono::seconds keepAlive)
      : feed_(feed),
        slot_(std::move(slot)),
        keepAlive_(keepAlive),
        after_(feed.seq()),
        lastSent_(Clock::now()) {}

  std::optional<std::string> next() override {
    if (!opened_) {
      // Sent at once, so that the browser sees the stream open.
      opened_ = true;
      return std::string(": connected\n\n");
    }
    const std::vector<Change> changes = feed_.waitAfter(after_, pollInterval);
    if (feed_.isClosed()) return std::nullopt;
    std::string out;
    for (const Change& change : changes) {
      out += serverSentEvent(change);
      after_ = change.seq;
    }
    if (out.empty() && Clock::now() - lastSent_ >= keepAlive_) out = ": keep-alive\n\n";
    if (!out.empty()) lastSent_ = Clock::now();
    return out;
  }

 private:
  ChangeFeed& feed_;
  std::unique_ptr<WebApi::Slot> slot_;
  const std::chrono::seconds keepAlive_;
  std::int64_t after_;
  Clock::time_point lastSent_;
  bool opened_ = false;
};

// NDJSON of an assistant stream's events, one wire form a line. Dropping it cancels the stream:
// the helper connection is shut down, the native turn stops.
class AssistantStream final : public ResponseStream {
 public:
  AssistantStream(assistant::EventStream<AssistantEvent> events, std::unique_ptr<WebApi::Slot> slot)
      : events_(std::move(events)), slot_(std::move(slot)), waker_(std::make_shared<Waker>()) {
    events_.onReady([waker = waker_] { waker->notify(); });
  }
  ~AssistantStream() override {
    events_.onReady({});
    events_.cancel();
  }

  std::optional<std::string> next() override {
    std::optional<std::vector<AssistantEvent>> batch = events_.takeWaiting();
    if (batch && batch->empty()) {
      waker_->wait(pollInterval);
      batch = events_.takeWaiting();
    }
    if (!batch) return std::nullopt;
    std::string out;
    for (const AssistantEvent& event : *batch)
      out += core::encodeToString(event) + "\n";
    return out;
  }

 private:
  assistant::EventStream<AssistantEvent> events_;
  std::unique_ptr<WebApi::Slot> slot_;
  std::shared_ptr<Waker> waker_;
};

// Every event of a stream that ends by itself, or those that came before `timeout`.
std::vector<AssistantEvent> collect(assistant::EventStream<AssistantEvent> events,
                                    std::chrono::seconds timeout) {
  auto waker = std::make_shared<Waker>();
  events.onReady([waker] { waker->notify(); });
  const auto deadline = Clock::now() + timeout;
  std::vector<AssistantEvent> out;
  while (Clock::now() < deadline) {
    std::optional<std::vector<AssistantEvent>> batch = events.takeWaiting();
    if (!batch) break;
    if (batch->empty()) {
      waker->wait(pollInterval);
      continue;
    }
    for (AssistantEvent& event : *batch)
      out.push_back(std::move(event));
  }
  events.onReady({});
  return out;
}

}  // namespace

std::string htmlSafeJSON(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string errorJSON(std::string_view message) {
  return htmlSafeJSON(writeJSON([&](core::JsonWriter& w) {
    w.beginObject();
    w.member("error", std::string(message));
    w.endObject();
  }));
}

struct WebApi::LibraryGate {
  explicit LibraryGate(library::Library* l) : library(l) {}
  std::shared_mutex mutex;
  library::Library* library;
};

WebApi::WebApi(library::Library& library, ChangeFeed& feed, WebApiOptions options)
    : library_(library),
      feed_(feed),
      gate_(std::make_shared<LibraryGate>(&library)),
      options_(std::move(options)) {}

WebApi::~WebApi() {
  std::unique_lock lock(gate_->mutex);
  gate_->library = nullptr;
}

WebResponse WebApi::handle(const WebRequest& request) {
  const std::string_view path = request.path;
  const bool get = request.method == "GET" || request.method == "HEAD";
  const bool post = request.method == "POST";
  try {
    if (!path.starts_with("/api/")) return get ? page(path) : error(405, "method not allowed");
    constexpr std::string_view photos = "/api/photos/";
    if (path.starts_with(photos)) {
      std::string_view rest = path.substr(photos.size());
      const bool wantsImage = rest.ends_with("/image");
      if (wantsImage) rest.remove_suffix(std::string_view("/image").size());
      if (rest.empty() || rest.find('/') != std::string_view::npos) return notFound();
      if (!get) return error(405, "method not allowed");
      return wantsImage ? image(rest, request) : photo(rest);
    }
    struct Route {
      std::string_view path;
      bool post;
      WebResponse (WebApi::*withoutBody)();
      WebResponse (WebApi::*withBody)(std::string_view);
    };
    static constexpr Route routes[] = {
        {"/api/state", false, &WebApi::state, nullptr},
        {"/api/view/library", true, &WebApi::viewLibrary, nullptr},
        {"/api/tiles", true, nullptr, &WebApi::tiles},
        {"/api/events", false, &WebApi::events, nullptr},
        {"/api/rpc", true, nullptr, &WebApi::rpc},
        {"/api/assistant/models", false, &WebApi::models, nullptr},
        {"/api/assistant/status", false, &WebApi::status, nullptr},
        {"/api/assistant/run", true, nullptr, &WebApi::run},
        {"/api/assistant/login", true, &WebApi::login, nullptr},
        {"/api/assistant/login/code", true, nullptr, &WebApi::loginCode},
    };
    for (const Route& route : routes) {
      if (route.path != path) continue;
      if (route.post ? !post : !get) return error(405, "method not allowed");
      return route.withBody ? (this->*route.withBody)(request.body) : (this->*route.withoutBody)();
    }
    return notFound();
  } catch (const std::exception& e) {
    return error(500, e.what());
  }
}

WebResponse WebApi::page(std::string_view path) {
  const std::optional<PageFile> file = pageFile(path);
  if (!file) return notFound();
  WebResponse response{.contentType = std::string(contentTypeOf(file->name)),
                       .body = std::string(file->body)};
  if (file->name == "index.html") {
    constexpr std::string_view placeholder = "{{TOKEN}}";
    for (std::size_t at = response.body.find(placeholder); at != std::string::npos;
         at = response.body.find(placeholder, at + options_.token.size()))
      response.body.replace(at, placeholder.size(), options_.token);
  }
  return response;
}

WebResponse WebApi::state() {
  const std::int64_t seq = feed_.seq();
  return json(200, stateJSON(seq, library_.viewState()));
}

WebResponse WebApi::viewLibrary() {
  library::ViewState view = library_.showLibrary();
  return json(200, stateJSON(feed_.seq(), view));
}

WebResponse WebApi::tiles(std::string_view body) {
  auto decoded = decodeBody<TilesBody>(body);
  if (auto* failure = std::get_if<WebResponse>(&decoded)) return std::move(*failure);
  const std::vector<std::string>& ids = std::get<TilesBody>(decoded).ids;
  if (ids.size() > maxTileIDs)
    return error(400, "at most " + std::to_string(maxTileIDs) + " ids at a time");
  const std::vector<library::PhotoTile> tiles = library_.tiles(ids);
  return json(200, writeJSON([&](core::JsonWriter& w) {
                w.beginObject();
                w.key("tiles");
                w.beginArray();
                for (const library::PhotoTile& tile : tiles) {
                  w.beginObject();
                  writeTileMembers(w, tile);
                  w.endObject();
                }
                w.endArray();
                w.endObject();
              }));
}

WebResponse WebApi::photo(std::string_view id) {
  const std::optional<library::PhotoDetails> d = library_.photoDetails(id);
  if (!d) return notFound();
  return json(200, writeJSON([&](core::JsonWriter& w) {
                w.beginObject();
                writeTileMembers(w, d->tile);
                w.member("capturedAt", d->capturedAt);
                w.member("camera", d->camera);
                w.member("exposure", d->exposure);
                w.member("dimensions", d->dimensions);
                w.member("keywords", d->keywords);
                w.member("annotation", d->annotation);
                w.member("hasEdits", d->hasEdits);
                w.endObject();
              }));
}

WebResponse WebApi::image(std::string_view id, const WebRequest& request) {
  const std::optional<std::string> sizeText = request.query("size");
  const std::optional<std::int64_t> size =
      sizeText ? integerOf(sizeText) : std::optional(defaultImageEdge);
  if (!size || *size < minImageEdge || *size > maxImageEdge)
    return error(400, "size must be " + std::to_string(minImageEdge) + " to " +
                          std::to_string(maxImageEdge));
  library::RenderError failure;
  std::optional<library::Rendering> jpeg = library_.thumbnailJPEG(id, *size, &failure);
  if (!jpeg) {
    // Only a failure asks what the photo is: an unknown id or a video without a frame is 404.
    const std::vector<library::PhotoTile> tile = library_.tiles({std::string(id)});
    return tile.empty() || tile.front().isVideo ? notFound() : error(500, failure.message);
  }
  return WebResponse{.contentType = "image/jpeg",
                     .body = std::move(jpeg->bytes),
                     .headers = {{"Cache-Control", "private, max-age=3600"}}};
}

WebResponse WebApi::events() {
  std::unique_ptr<Slot> slot = Slot::take(eventStreams_, options_.maxEventStreams);
  if (!slot) return error(503, "too many event streams");
  return WebResponse{
      .contentType = "text/event-stream",
      .stream = std::make_unique<ChangeStream>(feed_, std::move(slot), options_.keepAliveInterval)};
}

WebResponse WebApi::rpc(std::string_view body) {
  if (!core::parseJsonIfValid(body)) return error(400, "the body is not JSON");
  const std::optional<std::string> response = library_.handleLine(body);
  if (!response) return WebResponse{.status = 204, .body = {}};
  return json(200, *response);
}

WebResponse WebApi::models() {
  const bool claude = AssistantHelperClient::isReachable(options_.helperSocket);
  return json(200, writeJSON([&](core::JsonWriter& w) {
                w.beginObject();
                w.key("models");
                w.beginArray();
                for (const assistant::ClaudeModel model : core::allCases<assistant::ClaudeModel>) {
                  w.beginObject();
                  w.member("id", std::string(assistant::alias(model)));
                  w.member("name", std::string(assistant::displayName(model)));
                  w.member("tagline", std::string(assistant::tagline(model)));
                  w.endObject();
                }
                w.endArray();
                w.key("engines");
                w.beginArray();
                w.beginObject();
                w.member("id", std::string("claude"));
                w.member("name", std::string("Claude"));
                w.member("available", claude);
                w.endObject();
                w.beginObject();
                w.member("id", std::string("native"));
                w.member("name", options_.native ? "Local model (" + options_.native->model + ")"
                                                 : std::string("Local model"));
                w.member("available", options_.native.has_value());
                w.endObject();
                w.endArray();
                w.endObject();
              }));
}

WebResponse WebApi::status() {
  const std::vector<AssistantEvent> events =
      collect(AssistantHelperClient::status(options_.helperSocket), statusTimeout);
  return json(200, writeJSON([&](core::JsonWriter& w) {
                w.beginObject();
                w.member("events", events);
                w.endObject();
              }));
}

WebResponse WebApi::run(std::string_view body) {
  auto decoded = decodeBody<RunBody>(body);
  if (auto* failure = std::get_if<WebResponse>(&decoded)) return std::move(*failure);
  RunBody& b = std::get<RunBody>(decoded);
  if (b.engine != "claude" && b.engine != "native")
    return error(400, "engine must be \"claude\" or \"native\"");
  if (b.engine == "native" && !options_.native)
    return error(400, "the native engine has no local model server configured");
  std::unique_ptr<Slot> slot = Slot::take(assistantStreams_, options_.maxAssistantStreams);
  if (!slot) return error(503, "too many assistant runs at once");

  const library::ViewState view = library_.viewState();
  const std::optional<std::string>& focus = view.editorPhotoID ? view.editorPhotoID : view.focus;
  assistant::AssistantRunRequest request{
      .prompt = std::move(b.prompt),
      .model = b.model,
      .resumeSessionID = std::move(b.resumeSessionID),
      .allowCommit = b.allowCommit,
      .context = appStateContext(view, focus ? library_.fileName(*focus) : std::nullopt),
      .engineID = "claude"};
  assistant::EventStream<AssistantEvent> events;
  if (b.engine == "claude") {
    events = AssistantHelperClient::run(request, options_.helperSocket);
  } else {
    request.engineID = std::string(assistant::NativeModelConfig::engineID);
    request.resumeSessionID.reset();
    events = assistant::NativeAgentRunner::stream(
        std::move(request), [config = *options_.native] { return config; },
        std::string(assistant::TarnoAssistantConfig::systemPromptAddendum),
        [gate = gate_](const std::string& call) {
          std::shared_lock lock(gate->mutex);
          // After the page has closed nothing answers: the turn sees a failed tool call.
          if (!gate->library) return std::string();
          return gate->library->handleLine(call).value_or(std::string());
        });
  }
  return WebResponse{
      .contentType = std::string(ndjson),
      .stream = std::make_unique<AssistantStream>(std::move(events), std::move(slot))};
}

WebResponse WebApi::login() {
  std::unique_ptr<Slot> slot = Slot::take(assistantStreams_, options_.maxAssistantStreams);
  if (!slot) return error(503, "too many assistant runs at once");
  return WebResponse{.contentType = std::string(ndjson),
                     .stream = std::make_unique<AssistantStream>(
                         AssistantHelperClient::connect(options_.helperSocket), std::move(slot))};
}

WebResponse WebApi::loginCode(std::string_view body) {
  auto decoded = decodeBody<LoginCodeBody>(body);
  if (auto* failure = std::get_if<WebResponse>(&decoded)) return std::move(*failure);
  const bool sent = AssistantHelperClient::submitLoginCode(std::get<LoginCodeBody>(decoded).code);
  return json(200, writeJSON([&](core::JsonWriter& w) {
                w.beginObject();
                w.member("sent", sent);
                w.endObject();
              }));
}

}  // namespace tarno::web
