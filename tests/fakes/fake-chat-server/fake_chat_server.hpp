// A loopback chat-completions server for tests and benchmarks, run in-process: it answers each
// POST with the next scripted reply (the last one repeats) and records every request it got.
//
// It listens on 127.0.0.1 on a port of its own, keeps connections alive between requests, and
// serves each connection on a thread of its own; everything is stopped and joined when it goes.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/json_writer.hpp"

namespace tarno::fakes {

struct ChatReply {
  int status = 200;
  std::string body;
  std::chrono::milliseconds delay{0};  // before the answer starts
  bool closeEarly = false;             // announces twice the body, sends it, then closes
  std::size_t floodBytes = 0;          // sends this many filler bytes as the body instead
  bool raw = false;                    // sends `body` as the whole answer, not HTTP, and closes

  // A 200 answer whose first choice carries `message`.
  static ChatReply message(const core::JsonValue& message) {
    std::string body;
    core::JsonWriter(body).value(core::JsonValue::Object{
        {"choices", core::JsonValue::Array{core::JsonValue::Object{{"message", message}}}}});
    return {.body = std::move(body)};
  }
  static ChatReply content(std::string text) {
    return message(core::JsonValue::Object{{"role", "assistant"}, {"content", std::move(text)}});
  }
  static ChatReply toolCalls(core::JsonValue::Array calls) {
    return message(core::JsonValue::Object{
        {"role", "assistant"}, {"content", nullptr}, {"tool_calls", std::move(calls)}});
  }
};

// One tool call as a model writes it.
inline core::JsonValue toolCall(std::string id, std::string name, std::string arguments) {
  return core::JsonValue::Object{
      {"id", std::move(id)},
      {"type", "function"},
      {"function",
       core::JsonValue::Object{{"name", std::move(name)}, {"arguments", std::move(arguments)}}}};
}

struct ReceivedRequest {
  std::string requestLine;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;

  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (key == name) return value;
    }
    return std::nullopt;
  }
};

class FakeChatServer {
 public:
  explicit FakeChatServer(std::vector<ChatReply> script = {ChatReply::content("done")})
      : script_(std::move(script)) {
    listen_ = assistant::unique_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!listen_ || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listen_.get(), 16) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("fake chat server: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::jthread([this] { acceptLoop(); });
  }

  ~FakeChatServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    ::shutdown(listen_.get(), SHUT_RDWR);
    acceptor_.join();
    for (Connection& connection : connections_)
      ::shutdown(connection.fd.get(), SHUT_RDWR);
    connections_.clear();
  }

  FakeChatServer(const FakeChatServer&) = delete;
  FakeChatServer& operator=(const FakeChatServer&) = delete;

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Replaces the replies still to come.
  void script(std::vector<ChatReply> replies) {
    std::lock_guard lock(mutex_);
    script_ = std::move(replies);
    next_ = 0;
  }

  std::vector<ReceivedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  struct Connection {
    assistant::unique_fd fd;  // closed after the thread is joined
    std::atomic<bool> done = false;
    std::jthread thread;
  };

  void acceptLoop() {
    for (;;) {
      assistant::unique_fd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) return;
      // Answers go out at once, not after the client's delayed acknowledgement.
      const int on = 1;
      ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      // Only this thread touches the list until the destructor has joined it.
      connections_.remove_if([](const Connection& c) { return c.done.load(); });
      Connection& connection = connections_.emplace_back();
      connection.fd = std::move(fd);
      connection.thread = std::jthread([this, &connection] {
        serve(connection.fd.get());
        ::shutdown(connection.fd.get(), SHUT_RDWR);
        connection.done = true;
      });
    }
  }

  static bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // Requests of one connection until it closes or a reply ends it.
  void serve(int fd) {
    std::string pending;
    for (;;) {
      std::optional<ReceivedRequest> request = readRequest(fd, pending);
      if (!request) return;
      ChatReply reply;
      {
        std::unique_lock lock(mutex_);
        if (script_.empty()) return;
        received_.push_back(std::move(*request));
        reply = script_.at(std::min(next_++, script_.size() - 1));
        if (wake_.wait_for(lock, reply.delay, [this] { return stopping_; })) return;
      }
      if (!answer(fd, reply)) return;
    }
  }

  static bool answer(int fd, const ChatReply& reply) {
    if (reply.raw) {
      sendAll(fd, reply.body);
      return false;
    }
    const std::size_t length =
        reply.floodBytes > 0 ? reply.floodBytes : reply.body.size() * (reply.closeEarly ? 2 : 1);
    const std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) +
        " Scripted\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(length) +
        "\r\n\r\n";
    if (reply.floodBytes == 0) return sendAll(fd, head + reply.body) && !reply.closeEarly;
    if (!sendAll(fd, head)) return false;
    const std::string filler(64 * 1024, 'x');
    for (std::size_t left = reply.floodBytes; left > 0;) {
      const std::size_t n = std::min(left, filler.size());
      if (!sendAll(fd, std::string_view(filler).substr(0, n))) return false;
      left -= n;
    }
    return true;
  }

  static std::optional<ReceivedRequest> readRequest(int fd, std::string& pending) {
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
      if (!readMore(fd, pending)) return std::nullopt;
    }
    ReceivedRequest request;
    std::size_t lineEnd = pending.find("\r\n");
    request.requestLine = pending.substr(0, lineEnd);
    std::size_t contentLength = 0;
    while (lineEnd < headEnd) {
      const std::size_t start = lineEnd + 2;
      lineEnd = pending.find("\r\n", start);
      const std::string line = pending.substr(start, lineEnd - start);
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      const std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
      std::string value = valueStart == std::string::npos ? "" : line.substr(valueStart);
      if (name == "content-length") contentLength = std::stoul(value);
      request.headers.emplace_back(std::move(name), std::move(value));
    }
    pending.erase(0, headEnd + 4);
    while (pending.size() < contentLength) {
      if (!readMore(fd, pending)) return std::nullopt;
    }
    request.body = pending.substr(0, contentLength);
    pending.erase(0, contentLength);
    return request;
  }

  static bool readMore(int fd, std::string& pending) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<ChatReply> script_;
  std::size_t next_ = 0;
  std::vector<ReceivedRequest> received_;
  assistant::unique_fd listen_;
  std::uint16_t port_ = 0;
  std::list<Connection> connections_;
  std::jthread acceptor_;
};

}  // namespace tarno::fakes
