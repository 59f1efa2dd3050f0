// The chat client on a libcurl easy handle that lives as long as the client, so that a turn's
// steps reuse one connection.
#include "tarno/assistant/native/chat_client.hpp"

#include <curl/curl.h>

#include <string>
#include <string_view>
#include <utility>

#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {

namespace {

constexpr std::string_view completionsPath = "/chat/completions";
constexpr std::size_t errorTextCharacters = 300;

// libcurl's process-wide state (and TLS's under it), torn down at exit so that nothing of it
// is left for a leak checker to report.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// Spaces and tabs only: a line feed in an endpoint is an error the URL check reports.
std::string_view trimSpacesAndTabs(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Any syntactically valid absolute URL, whatever its scheme: an unsupported one fails later, in
// the transfer, as the platform's URL loading does.
bool isURL(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  return url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) ==
                    CURLUE_OK;
}

struct HeaderList {
  curl_slist* list = nullptr;
  HeaderList() = default;
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& header) {
    if (curl_slist* longer = curl_slist_append(list, header.c_str())) list = longer;
  }
};

struct Sink {
  std::string body;
  std::size_t limit = 0;
  bool overflowed = false;
};

std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const std::size_t bytes = size * count;
  if (bytes > sink.limit - sink.body.size()) {
    sink.overflowed = true;
    return 0;  // libcurl stops the transfer
  }
  sink.body.append(data, bytes);
  return bytes;
}

int checkStop(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::stop_token*>(user)->stop_requested() ? 1 : 0;
}

std::string requestBody(const NativeModelConfig& config, const core::JsonValue::Array& messages) {
  std::string body;
  core::JsonWriter w(body);
  w.beginObject();
  w.key("model");
  w.string(config.model);
  w.key("messages");
  w.beginArray();
  for (const core::JsonValue& message : messages)
    w.value(message);
  w.endArray();
  w.key("stream");
  w.boolean(false);
  w.key("tools");
  w.value(NativeToolCatalog::schema());
  w.endObject();
  return body;
}

// The first member named `key` of an object, for moving out of it.
core::JsonValue* member(core::JsonValue& object, std::string_view key) {
  core::JsonValue::Object* members = object.asObject();
  if (members == nullptr) return nullptr;
  for (auto& [name, value] : *members) {
    if (name == key) return &value;
  }
  return nullptr;
}

// The assistant message of the first choice, moved out: an answer's tree is many times its
// size, and a copy would hold it twice.
core::JsonValue firstMessage(core::JsonValue response) {
  core::JsonValue* choices = member(response, "choices");
  core::JsonValue::Array* list = choices ? choices->asArray() : nullptr;
  if (list == nullptr || list->empty()) throw NativeError::badResponse();
  for (const core::JsonValue& choice : *list) {
    if (!choice.isObject()) throw NativeError::badResponse();
  }
  core::JsonValue* message = member(list->front(), "message");
  if (message == nullptr || !message->isObject()) throw NativeError::badResponse();
  return std::move(*message);
}

}  // namespace

void ChatClient::initialiseTransport() {
  // Once, and thread-safe: the first caller makes it while any other waits.
  static const CurlGlobal global;
}

struct ChatClient::Handle {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl{nullptr, curl_easy_cleanup};
};

ChatClient::ChatClient(ChatOptions options, std::stop_token stop)
    : options_(options), stop_(std::move(stop)), handle_(std::make_unique<Handle>()) {}
ChatClient::ChatClient(ChatClient&&) noexcept = default;
ChatClient& ChatClient::operator=(ChatClient&&) noexcept = default;
ChatClient::~ChatClient() = default;

core::JsonValue ChatClient::chat(const NativeModelConfig& config,
                                 const core::JsonValue::Array& messages) {
  std::string url(trimSpacesAndTabs(config.endpoint));
  url += completionsPath;
  if (!isURL(url)) throw NativeError::badEndpoint();
  if (!isSendableAPIKey(config.apiKey)) {
    throw ChatTransportError("the API key holds control characters");
  }

  initialiseTransport();
  if (!handle_->curl) handle_->curl.reset(curl_easy_init());
  CURL* curl = handle_->curl.get();
  if (curl == nullptr) throw ChatTransportError("couldn't create an HTTP request");
  // Options set by an earlier call must not leak into this one; the connection is kept.
  curl_easy_reset(curl);

  const std::string body = requestBody(config, messages);
  HeaderList headers;
  headers.add("Content-Type: application/json");
  if (!config.apiKey.empty()) headers.add("Authorization: Bearer " + config.apiKey);
  // No "Expect: 100-continue" round trip for larger conversations.
  headers.add("Expect:");

  Sink sink{.body = {}, .limit = options_.maxResponseBytes - received_};
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeout.count()));
  // Time-outs without SIGALRM: the call runs on a thread among others.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, checkStop);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stop_);

  const CURLcode result = curl_easy_perform(curl);
  received_ += sink.body.size();
  if (sink.overflowed) {
    throw ChatTransportError("the answers are larger than " +
                             std::to_string(options_.maxResponseBytes) + " bytes together");
  }
  if (result == CURLE_ABORTED_BY_CALLBACK) throw ChatTransportError("cancelled");
  if (result != CURLE_OK) {
    throw ChatTransportError(errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
  }

  long status = 0;  // stays 0 for a URL that is not HTTP
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) {
    throw NativeError::http(core::isValidUTF8(sink.body)
                                ? core::prefixCharacters(sink.body, errorTextCharacters)
                                : "HTTP " + std::to_string(status));
  }
  return firstMessage(core::parseJson(sink.body));
}

}  // namespace tarno::assistant
