// A small WebDriver client for the browser tests and benchmarks: chromedriver on a free loopback
// port as our child, one headless Chromium session in a scratch folder, and the few commands the
// tests use. Errors are thrown as WebDriverError with what went wrong in words.
//
// One WebDriver is used from one thread at a time. Dropping it ends the session, then
// chromedriver and everything it started (they live in a pid namespace of chromedriver's where
// the system allows one, else in its process group).
#pragma once

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/json_writer.hpp"

namespace tarno::testing {

using namespace std::chrono_literals;

struct WebDriverError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Compact JSON text of a value; with a string, a JavaScript string literal too.
inline std::string jsonText(const core::JsonValue& value) {
  std::string out;
  core::JsonWriter(out).value(value);
  return out;
}

// What a plain HTTP request got: status 0 when there was no answer (the reason in `body`).
struct HttpAnswer {
  long status = 0;
  std::string body;
};

// One HTTP exchange on a libcurl easy handle kept for the next (keep-alive to the same server).
class HttpClient {
 public:
  HttpClient() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (initialised) curl_.reset(curl_easy_init());
  }

  HttpAnswer request(const std::string& method, const std::string& url,
                     const std::optional<std::string>& body = std::nullopt,
                     const std::vector<std::string>& headers = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    HttpAnswer answer;
    CURL* curl = curl_.get();
    if (curl == nullptr) return {0, "libcurl could not be initialised"};
    curl_easy_reset(curl);
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr, curl_slist_free_all);
    for (const std::string& header : headers)
      list.reset(curl_slist_append(list.release(), header.c_str()));
    if (body) {
      list.reset(curl_slist_append(list.release(), "Content-Type: application/json"));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HttpClient::append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) return {0, curl_easy_strerror(result)};
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
  }

 private:
  static std::size_t append(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  }

  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_{nullptr, curl_easy_cleanup};
};

class WebDriver {
 public:
  static constexpr const char* chromium = "/usr/bin/chromium";
  static constexpr const char* chromedriver = "/usr/bin/chromedriver";
  static constexpr std::string_view elementKey = "element-6066-11e4-a52e-4f735466cecf";

  // Starts chromedriver and a headless Chromium whose profile, home and caches live under
  // `scratch` (an existing folder), with a 1440 x 900 window.
  explicit WebDriver(const std::string& scratch) {
    for (const char* program : {chromium, chromedriver})
      if (::access(program, X_OK) != 0)
        throw WebDriverError(std::string(program) +
                             " is missing: install chromium and chromium-driver (make deps)");
    const std::string home = scratch + "/browser-home";
    std::filesystem::create_directories(home);
    log_ = scratch + "/chromedriver.log";
    for (int attempt = 0; attempt < 3 && base_.empty(); ++attempt)
      startDriver(home);
    if (base_.empty()) {
      std::ifstream in(log_);
      const std::string said{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      throw WebDriverError("chromedriver did not start; it said: " +
                           said.substr(said.size() > 2000 ? said.size() - 2000 : 0));
    }

    using Object = core::JsonValue::Object;
    using Array = core::JsonValue::Array;
    const core::JsonValue options = Object{
        {"binary", chromium},
        {"args", Array{"--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1440,900",
                       "--user-data-dir=" + scratch + "/browser-profile", "--no-first-run",
                       "--disable-dev-shm-usage", "--hide-scrollbars"}}};
    const core::JsonValue capabilities =
        Object{{"capabilities", Object{{"alwaysMatch", Object{{"browserName", "chrome"},
                                                              {"goog:chromeOptions", options}}}}}};
    const core::JsonValue answer = command("POST", "/session", capabilities);
    const core::JsonValue* id = answer.find("sessionId");
    if (id == nullptr || !id->isString()) throw WebDriverError("no session: " + jsonText(answer));
    session_ = "/session/" + *id->asString();
  }

  WebDriver(const WebDriver&) = delete;
  WebDriver& operator=(const WebDriver&) = delete;

  ~WebDriver() {
    if (!session_.empty()) http_.request("DELETE", base_ + session_, std::nullopt, {}, 10s);
  }

  void navigate(const std::string& url) {
    command("POST", session_ + "/url", core::JsonValue::Object{{"url", url}});
  }

  // "/session/ID", for commands without a method of their own.
  const std::string& sessionPath() const { return session_; }

  std::string currentURL() {
    const core::JsonValue url = command("GET", session_ + "/url");
    return url.isString() ? *url.asString() : std::string();
  }

  // Every element matching `css`, as element ids, in document order.
  std::vector<std::string> findAll(const std::string& css) {
    const core::JsonValue found =
        command("POST", session_ + "/elements",
                core::JsonValue::Object{{"using", "css selector"}, {"value", css}});
    std::vector<std::string> ids;
    if (const auto* array = found.asArray())
      for (const core::JsonValue& element : *array)
        if (const auto* id = element.find(elementKey); id != nullptr && id->isString())
          ids.push_back(*id->asString());
    return ids;
  }

  // The first element matching `css`; throws when there is none.
  std::string find(const std::string& css) {
    std::vector<std::string> ids = findAll(css);
    if (ids.empty()) throw WebDriverError("no element matches " + css);
    return ids.front();
  }

  void click(const std::string& element) {
    command("POST", session_ + "/element/" + element + "/click", core::JsonValue::Object{});
  }

  // Clicks the element's centre with Shift held down.
  void shiftClick(const std::string& element) {
    using Object = core::JsonValue::Object;
    using Array = core::JsonValue::Array;
    const Object pause{{"type", "pause"}};
    const Array keys{Object{{"type", "keyDown"}, {"value", shiftKey}}, pause, pause, pause,
                     Object{{"type", "keyUp"}, {"value", shiftKey}}};
    const Array mouse{pause,
                      Object{{"type", "pointerMove"},
                             {"origin", Object{{std::string(elementKey), element}}},
                             {"x", 0},
                             {"y", 0}},
                      Object{{"type", "pointerDown"}, {"button", 0}},
                      Object{{"type", "pointerUp"}, {"button", 0}}, pause};
    command("POST", session_ + "/actions",
            Object{{"actions", Array{Object{{"type", "key"}, {"id", "keyboard"}, {"actions", keys}},
                                     Object{{"type", "pointer"},
                                            {"id", "mouse"},
                                            {"parameters", Object{{"pointerType", "mouse"}}},
                                            {"actions", mouse}}}}});
    command("DELETE", session_ + "/actions");
  }

  // Types `text` into the element (WebDriver key codes such as "\uE007", Enter, allowed).
  void sendKeys(const std::string& element, const std::string& text) {
    command("POST", session_ + "/element/" + element + "/value",
            core::JsonValue::Object{{"text", text}});
  }

  // Presses and releases each character of `keys` in turn, on whatever has the focus.
  static constexpr const char* enterKey = "\xee\x80\x87";   // U+E007
  static constexpr const char* escapeKey = "\xee\x80\x8c";  // U+E00C
  static constexpr const char* shiftKey = "\xee\x80\x88";   // U+E008
  static constexpr const char* rightKey = "\xee\x80\x94";   // U+E014
  void pressKeys(std::string_view keys) {
    core::JsonValue::Array steps;
    // One key per character: a UTF-8 sequence (WebDriver's named keys are U+E000…) is one key.
    for (std::size_t i = 0; i < keys.size();) {
      const auto lead = static_cast<unsigned char>(keys[i]);
      const std::size_t length = lead < 0xc0 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
      const std::string key(keys.substr(i, length));
      i += length;
      steps.push_back(core::JsonValue::Object{{"type", "keyDown"}, {"value", key}});
      steps.push_back(core::JsonValue::Object{{"type", "keyUp"}, {"value", key}});
    }
    command("POST", session_ + "/actions",
            core::JsonValue::Object{
                {"actions", core::JsonValue::Array{core::JsonValue::Object{
                                {"type", "key"}, {"id", "keyboard"}, {"actions", steps}}}}});
    command("DELETE", session_ + "/actions");
  }

  std::string text(const std::string& element) {
    const core::JsonValue value = command("GET", session_ + "/element/" + element + "/text");
    return value.isString() ? *value.asString() : std::string();
  }

  // Runs `script` as a function body (its `arguments` are `args`) and returns what it returns.
  core::JsonValue execute(const std::string& script, core::JsonValue::Array args = {}) {
    return command("POST", session_ + "/execute/sync",
                   core::JsonValue::Object{{"script", script}, {"args", std::move(args)}});
  }

  // The same for a script that ends by calling its last argument with the result.
  core::JsonValue executeAsync(const std::string& script, core::JsonValue::Array args = {}) {
    return command("POST", session_ + "/execute/async",
                   core::JsonValue::Object{{"script", script}, {"args", std::move(args)}});
  }

  // Evaluates `expression` until it is true or `limit` passes; whether it became true.
  bool waitFor(const std::string& expression,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const core::JsonValue value = execute("return Boolean(" + expression + ");");
      if (value.asBool() != nullptr && *value.asBool()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }

  // A Chrome DevTools command (such as Network.setCacheDisabled) on the session's page.
  core::JsonValue devTools(const std::string& name, core::JsonValue params) {
    return command("POST", session_ + "/goog/cdp/execute",
                   core::JsonValue::Object{{"cmd", name}, {"params", std::move(params)}});
  }

  // Writes what the window shows as a PNG file at `path`, creating its folder.
  void screenshot(const std::filesystem::path& path) {
    const core::JsonValue value = command("GET", session_ + "/screenshot");
    const std::optional<std::string> png =
        value.isString() ? core::base64Decode(*value.asString()) : std::nullopt;
    if (!png) throw WebDriverError("the screenshot is not base64 text");
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << *png;
  }

  // The "value" of a command's answer; a WebDriver error is thrown with its message.
  core::JsonValue command(const std::string& method, const std::string& path,
                          const std::optional<core::JsonValue>& body = std::nullopt) {
    const HttpAnswer answer =
        http_.request(method, base_ + path, body ? std::optional(jsonText(*body)) : std::nullopt);
    if (answer.status == 0) throw WebDriverError(method + " " + path + ": " + answer.body);
    const std::optional<core::JsonValue> json = core::parseJsonIfValid(answer.body);
    const core::JsonValue* value = json ? json->find("value") : nullptr;
    if (value == nullptr)
      throw WebDriverError(method + " " + path + ": not a WebDriver answer: " + answer.body);
    if (answer.status != 200) {
      const core::JsonValue* message = value->find("message");
      throw WebDriverError(
          method + " " + path + ": " +
          (message != nullptr && message->isString() ? *message->asString() : answer.body));
    }
    return *value;
  }

 private:
  // A loopback port that was free a moment ago.
  static int freePort() {
    const assistant::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return 0;
    return ntohs(address.sin_port);
  }

  // Where the system allows it, chromedriver runs as the first process of a pid namespace of
  // its own, so that the browser cannot outlive it even when this process dies without
  // unwinding (its children are killed with it, and it with us).
  static constexpr std::array<std::string_view, 8> namespaceArguments = {
      "--user", "--map-current-user",   "--mount",      "--pid",
      "--fork", "--kill-child=SIGKILL", "--mount-proc", "--"};
  static bool namespaced() {
    static const bool ok = [] {
      std::vector<std::string> arguments(namespaceArguments.begin(), namespaceArguments.end());
      arguments.push_back("/bin/true");
      auto spawned = assistant::ChildProcess::spawn(
          assistant::ChildProcess::Options("/usr/bin/unshare")
              .withArguments(std::move(arguments))
              .withStandardInput(assistant::ChildProcess::Stdio::devNull())
              .withStandardOutput(assistant::ChildProcess::Stdio::devNull())
              .withStandardError(assistant::ChildProcess::Stdio::devNull()));
      auto* child = std::get_if<assistant::ChildProcess>(&spawned);
      return child != nullptr && child->waitFor(10s) == assistant::ExitStatus::exitedWith(0);
    }();
    return ok;
  }

  // Starts chromedriver on a free port and waits until it says it is ready; leaves base_ empty
  // when it is not within ten seconds.
  void startDriver(const std::string& home) {
    const int port = freePort();
    const assistant::unique_fd log(
        ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    std::vector<std::string> arguments = {"--port=" + std::to_string(port)};
    std::string program = chromedriver;
    if (namespaced()) {
      arguments.insert(arguments.begin(), namespaceArguments.begin(), namespaceArguments.end());
      arguments.insert(arguments.begin() + namespaceArguments.size(), chromedriver);
      program = "/usr/bin/unshare";
    }
    auto spawned = assistant::ChildProcess::spawn(
        assistant::ChildProcess::Options(program)
            .withArguments(std::move(arguments))
            .withEnvironment({"PATH=/usr/bin:/bin", "HOME=" + home,
                              "XDG_CONFIG_HOME=" + home + "/.config",
                              "XDG_CACHE_HOME=" + home + "/.cache"})
            .withStandardInput(assistant::ChildProcess::Stdio::devNull())
            .withStandardOutput(assistant::ChildProcess::Stdio::descriptor(log.get()))
            .withStandardError(assistant::ChildProcess::Stdio::descriptor(log.get()))
            .withNewSession());
    if (auto* error = std::get_if<assistant::LaunchError>(&spawned))
      throw WebDriverError(std::string("cannot start chromedriver: ") + error->message);
    driver_.child = std::move(std::get<assistant::ChildProcess>(spawned));
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && driver_.child.isRunning()) {
      const HttpAnswer status = http_.request("GET", base + "/status", std::nullopt, {}, 1s);
      const auto json = core::parseJsonIfValid(status.body);
      const core::JsonValue* ready = json ? json->find("value") : nullptr;
      ready = ready != nullptr ? ready->find("ready") : nullptr;
      if (ready != nullptr && ready->asBool() != nullptr && *ready->asBool()) {
        base_ = base;
        return;
      }
      std::this_thread::sleep_for(50ms);
    }
    driver_.end();
  }

  // chromedriver, ended with SIGKILL: as the first process of its namespace it would ignore
  // SIGTERM, and the browser has quit with its session by then (or goes with the namespace).
  struct Driver {
    ~Driver() { end(); }
    void end() {
      child.sendSignal(SIGKILL);
      child.wait();
    }
    assistant::ChildProcess child;
  };

  HttpClient http_;
  Driver driver_;
  std::string log_;
  std::string base_;
  std::string session_;
};

}  // namespace tarno::testing
