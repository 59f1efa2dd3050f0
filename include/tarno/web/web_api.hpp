// What the page's server answers, apart from HTTP itself: the page's files and every endpoint
// of docs/web.md, for a request that has passed the access checks. Answers are whole bodies or
// streams (event streams, assistant runs) that the server pulls chunk by chunk.
//
// Thread-safe: handle() is called from every connection's thread at once. Streams are counted:
// beyond their limits handle() answers 503. A stream is used by one thread at a time and may be
// dropped at any point (the browser went away): that ends the helper connection or the native
// turn behind it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarno/assistant/native/native_model_config.hpp"
#include "tarno/library/library.hpp"
#include "tarno/web/change_feed.hpp"

namespace tarno::web {

// A body produced while it is sent.
class ResponseStream {
 public:
  virtual ~ResponseStream() = default;
  // The next bytes to send; "" when there is nothing yet (called again soon, after the server
  // has checked that the browser is still there); nothing at the end. Waits at most about a
  // second.
  virtual std::optional<std::string> next() = 0;
};

struct WebRequest {
  std::string_view method;
  std::string_view path;
  // The value of a query parameter, if present.
  std::function<std::optional<std::string>(std::string_view)> query;
  std::string_view body;
};

struct WebResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::unique_ptr<ResponseStream> stream;  // when set, the body is streamed instead
};

struct WebApiOptions {
  std::string token;
  // The helper's socket, for the claude engine.
  std::string helperSocket;
  // The local model server of the native engine; absent: the engine is not available.
  std::optional<assistant::NativeModelConfig> native;
  int maxEventStreams = 32;
  int maxAssistantStreams = 4;
  std::chrono::seconds keepAliveInterval{15};
};

class WebApi {
 public:
  // Both must outlive the WebApi and every stream it gave out.
  WebApi(library::Library& library, ChangeFeed& feed, WebApiOptions options);
  // Waits for a native turn's request to the library under way; later ones are refused.
  ~WebApi();
  WebApi(const WebApi&) = delete;
  WebApi& operator=(const WebApi&) = delete;

  WebResponse handle(const WebRequest& request);

  // Held by a counted stream; gives its place back when destroyed.
  class Slot;

 private:
  WebResponse page(std::string_view path);
  WebResponse state();
  WebResponse viewLibrary();
  WebResponse tiles(std::string_view body);
  WebResponse photo(std::string_view id);
  WebResponse image(std::string_view id, const WebRequest& request);
  WebResponse events();
  WebResponse rpc(std::string_view body);
  WebResponse models();
  WebResponse status();
  WebResponse run(std::string_view body);
  WebResponse login();
  WebResponse loginCode(std::string_view body);

  // The library as native turns reach it: their threads are joined only at process exit, so
  // each request goes through this gate, which closes when the WebApi goes.
  struct LibraryGate;

  library::Library& library_;
  ChangeFeed& feed_;
  std::shared_ptr<LibraryGate> gate_;
  const WebApiOptions options_;
  std::shared_ptr<std::atomic<int>> eventStreams_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::atomic<int>> assistantStreams_ = std::make_shared<std::atomic<int>>(0);
};

// JSON text that is safe to read as HTML too: "<", ">" and "&" (only ever inside strings)
// written as \u escapes.
std::string htmlSafeJSON(std::string json);

// {"error": message}
std::string errorJSON(std::string_view message);

}  // namespace tarno::web
