// tarno-headless serving its page, for the browser tests and benchmarks: started on a folder with
// its socket, store and support files in a temporary place of the caller's, the page address
// read from its standard error, and the little the callers ask of its socket and its API.
//
// Used from one thread at a time; dropping it kills the app.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "fakes/ipc_line_client.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/rpc.hpp"
#include "web_driver.hpp"

namespace tarno::testing {

class WebHeadless {
 public:
  // `place` holds ipc.sock (with the token file beside it) and the store; `assistant` is the
  // helper's socket, which need not exist.
  WebHeadless(const std::string& place, const std::string& photos, const std::string& assistant)
      : socket_(place + "/ipc.sock") {
    auto spawned = assistant::ChildProcess::spawn(
        assistant::ChildProcess::Options(TARNO_HEADLESS_PATH)
            .withArguments({"--web", "0", "--ipc", socket_, "--store", place + "/store",
                            "--assistant", assistant, photos})
            .withEnvironment({"PATH=/usr/bin:/bin", "HOME=" + place})
            .withStandardInput(assistant::ChildProcess::Stdio::devNull())
            .withStandardOutput(assistant::ChildProcess::Stdio::devNull())
            .withStandardError(assistant::ChildProcess::Stdio::piped()));
    if (auto* error = std::get_if<assistant::LaunchError>(&spawned))
      throw std::runtime_error("cannot start tarno-headless: " + error->message);
    child_ = std::move(std::get<assistant::ChildProcess>(spawned));
    err_ = child_.takeStderr();

    // "tarno-headless: serving on SOCKET", then "tarno-headless: page at URL".
    const std::string prefix = "tarno-headless: page at ";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    std::size_t second = std::string::npos;
    while ((second = secondLineEnd()) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      char buffer[4096];
      const assistant::ReadResult read = assistant::readWithin(err_.get(), buffer, 1s);
      if (read.status == assistant::ReadResult::Status::data) said_.append(buffer, read.size);
      if (read.status == assistant::ReadResult::Status::endOfFile ||
          read.status == assistant::ReadResult::Status::failed)
        break;
    }
    const std::size_t first = said_.find('\n');
    if (second == std::string::npos || said_.compare(first + 1, prefix.size(), prefix) != 0)
      throw std::runtime_error("tarno-headless did not give its page address; it said: " + said_);
    pageURL_ = said_.substr(first + 1 + prefix.size(), second - first - 1 - prefix.size());
    const std::size_t query = pageURL_.find("/?token=");
    if (query == std::string::npos) throw std::runtime_error("no token in " + pageURL_);
    origin_ = pageURL_.substr(0, query);
    token_ = pageURL_.substr(query + 8);
  }

  ~WebHeadless() { child_.sendSignal(SIGKILL); }

  const std::string& pageURL() const { return pageURL_; }  // with ?token=
  const std::string& origin() const { return origin_; }    // http://127.0.0.1:PORT
  const std::string& token() const { return token_; }
  const std::string& socket() const { return socket_; }
  assistant::ChildProcess& child() { return child_; }

  // One request on a connection of its own; its response line (empty when none came).
  std::string call(std::string_view method, const core::JsonValue& params) const {
    fakes::LineClient client(socket_);
    client.send(R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(method) + R"(","params":)" +
                jsonText(params) + "}\n");
    return client.readLine().value_or("");
  }

  // The typed result of a call; an error answer is thrown with its message.
  template <class R>
  R result(std::string_view method,
           const core::JsonValue& params = core::JsonValue::Object{}) const {
    const std::string line = call(method, params);
    const auto outcome = protocol::RPC::decodeResponse<R>(line);
    if (const auto* error = outcome.template as<protocol::RPCError>())
      throw std::runtime_error(std::string(method) + ": " + error->message);
    return *outcome.template as<R>();
  }

  // Waits until the library holds `count` photos (the first scan is done); whether it does.
  bool awaitPhotoCount(std::int64_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(120)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (result<protocol::PingResult>("system.ping").photoCount == count) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(100ms);
    }
  }

  // A request to the page's API as the page makes it: cookie, token header and own origin.
  HttpAnswer api(const std::string& method, const std::string& path,
                 const std::optional<std::string>& body = std::nullopt) {
    return http_.request(
        method, origin_ + path, body,
        {"Cookie: tarno_token=" + token_, "X-Tarno-Token: " + token_, "Origin: " + origin_});
  }

 private:
  std::size_t secondLineEnd() const {
    const std::size_t first = said_.find('\n');
    return first == std::string::npos ? first : said_.find('\n', first + 1);
  }

  std::string socket_;
  assistant::ChildProcess child_;
  assistant::unique_fd err_;
  std::string said_;
  std::string pageURL_, origin_, token_;
  HttpClient http_;
};

}  // namespace tarno::testing
