// One non-streaming chat-completions request to the local model server, on libcurl.
//
// A ChatClient keeps one connection to the server between calls (so the steps of a turn do
// not reconnect) and is used by one thread at a time; different clients may run on different
// threads. It never retries.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <stop_token>

#include "tarno/assistant/native/native_error.hpp"
#include "tarno/assistant/native/native_model_config.hpp"
#include "tarno/core/json_value.hpp"

namespace tarno::assistant {

// A failure below HTTP: no connection, a time-out, a connection closed early, an answer
// larger than the limit, a cancelled call, an API key that no header can carry. what() says
// which.
class ChatTransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ChatOptions {
  // For the whole exchange, connection included.
  std::chrono::milliseconds timeout{120'000};
  // For all the answers to one client together: the one that goes beyond is cut off there and
  // fails. A chat message is a few kilobytes, and a broken or hostile server must not make us
  // hold what it sends; a turn keeps every answer, as a tree many times its size.
  std::size_t maxResponseBytes = 16 * 1024 * 1024;
};

class ChatClient {
 public:
  // A call under way ends early, with a ChatTransportError, once `stop` is requested.
  explicit ChatClient(ChatOptions options = {}, std::stop_token stop = {});
  ChatClient(ChatClient&&) noexcept;
  ChatClient& operator=(ChatClient&&) noexcept;
  ~ChatClient();

  // Posts {"model", "messages", "stream": false, "tools"} to the configured endpoint (trimmed of
  // spaces and tabs) + "/chat/completions" and returns the assistant message of the first
  // choice, unchanged. Throws NativeError (bad endpoint, status of 400 or more with the first
  // 300 characters of the body, unexpected shape), ChatTransportError, and core::DecodingError
  // when a successful answer is not JSON. A URL that is not HTTP (file:) has no status and is
  // read as a success.
  core::JsonValue chat(const NativeModelConfig& config, const core::JsonValue::Array& messages);

  // Sets up the HTTP library's process-wide state, once (the first chat does it too); it is
  // torn down at exit. A static object made after this call is destroyed before that, so an
  // owner of threads that chat makes this call before it is made.
  static void initialiseTransport();

 private:
  struct Handle;
  ChatOptions options_;
  std::stop_token stop_;
  std::unique_ptr<Handle> handle_;
  std::size_t received_ = 0;  // bytes of all answers so far
};

}  // namespace tarno::assistant
