// The page's HTTP server over libmicrohttpd.
#include "tarno/web/web_server.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "tarno/web/access_check.hpp"

namespace tarno::web {

namespace {

// What a request gathers between the calls of the access handler.
struct RequestState {
  std::string body;
};

// Per connection: how many requests it has carried.
struct ConnectionState {
  unsigned requests = 0;
};

// A streamed body with what is left of its last chunk.
struct StreamState {
  std::unique_ptr<ResponseStream> stream;
  int fd = -1;
  std::string pending;
};

// Whether the browser has closed its side (or the server is shutting the connection down).
bool peerGone(int fd) {
  pollfd p{.fd = fd, .events = POLLRDHUP, .revents = 0};
  if (::poll(&p, 1, 0) < 0) return errno != EINTR;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

ssize_t readStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto* state = static_cast<StreamState*>(cls);
  while (state->pending.empty()) {
    if (peerGone(state->fd)) return MHD_CONTENT_READER_END_WITH_ERROR;
    std::optional<std::string> chunk;
    try {
      chunk = state->stream->next();
    } catch (const std::exception&) {
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (!chunk) return MHD_CONTENT_READER_END_OF_STREAM;
    state->pending = std::move(*chunk);
  }
  const std::size_t n = std::min(max, state->pending.size());
  std::memcpy(buffer, state->pending.data(), n);
  state->pending.erase(0, n);
  return static_cast<ssize_t>(n);
}

void freeStream(void* cls) {
  // Ends the stream (the helper connection, the turn) once the connection is done with it.
  std::unique_ptr<StreamState>(static_cast<StreamState*>(cls));
}

std::optional<std::string_view> optionalValue(MHD_Connection* c, MHD_ValueKind kind,
                                              const char* key) {
  const char* v = MHD_lookup_connection_value(c, kind, key);
  if (!v) return std::nullopt;
  return std::string_view(v);
}

std::string_view value(MHD_Connection* c, MHD_ValueKind kind, const char* key) {
  return optionalValue(c, kind, key).value_or(std::string_view());
}

MHD_Result addHeaderBytes(void* cls, MHD_ValueKind, const char* key, const char* v) {
  *static_cast<std::size_t*>(cls) += std::strlen(key) + (v ? std::strlen(v) : 0) + 4;
  return MHD_YES;
}

}  // namespace

struct WebServer::Daemon {
  Daemon(WebApi& a, WebServerOptions o) : api(a), options(std::move(o)) {}
  WebApi& api;
  const WebServerOptions options;
  MHD_Daemon* daemon = nullptr;
  // Set once listening; read by connection threads that may start before start() returns.
  std::atomic<int> port{0};

  MHD_Result send(MHD_Connection* c, WebResponse response) {
    MHD_Response* r = nullptr;
    if (response.stream) {
      auto state = std::make_unique<StreamState>();
      state->stream = std::move(response.stream);
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      state->fd = info ? info->connect_fd : -1;
      r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, readStream, state.get(),
                                            freeStream);
      if (!r) return MHD_NO;
      // Owned by the response from here on: freeStream releases it.
      static_cast<void>(state.release());
      // A stream is quiet for long stretches: it checks the browser itself.
      MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    } else {
      r = MHD_create_response_from_buffer(response.body.size(), response.body.data(),
                                          MHD_RESPMEM_MUST_COPY);
      if (!r) return MHD_NO;
    }
    bool cacheSet = false;
    for (const auto& [name, v] : response.headers) {
      MHD_add_response_header(r, name.c_str(), v.c_str());
      cacheSet = cacheSet || name == "Cache-Control";
    }
    if (response.status != 204 && response.status != 303)
      MHD_add_response_header(r, "Content-Type", response.contentType.c_str());
    MHD_add_response_header(r, "Content-Security-Policy",
                            std::string(contentSecurityPolicy).c_str());
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    if (!cacheSet) MHD_add_response_header(r, "Cache-Control", "no-store");
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context) {
      auto* connection = static_cast<ConnectionState*>(info->socket_context);
      if (++connection->requests >= options.requestsPerConnection)
        MHD_add_response_header(r, "Connection", "close");
    }
    const MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(response.status), r);
    MHD_destroy_response(r);
    return queued;
  }

  MHD_Result sendError(MHD_Connection* c, int status, std::string_view message) {
    return send(c, WebResponse{.status = status, .body = errorJSON(message)});
  }

  // The first call for a request: its head is in, nothing of its body is read yet.
  MHD_Result head(MHD_Connection* c, const char* url, const char* method, void** requestCls) {
    std::size_t headerBytes = std::strlen(url) + std::strlen(method) + 12;
    MHD_get_connection_values(c, MHD_HEADER_KIND, addHeaderBytes, &headerBytes);
    if (headerBytes > options.maxHeaderBytes)
      return sendError(c, 431, "the request's headers are too large");
    const RequestHead request{.method = method,
                              .path = url,
                              .tokenParameter = optionalValue(c, MHD_GET_ARGUMENT_KIND, "token"),
                              .host = value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST),
                              .cookie = value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_COOKIE),
                              .headerToken = value(c, MHD_HEADER_KIND, "X-Tarno-Token"),
                              .origin = optionalValue(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ORIGIN)};
    switch (checkAccess(request, options.token, port)) {
      case Access::forbidden:
        return sendError(c, 403, "forbidden");
      case Access::methodNotAllowed:
        return sendError(c, 405, "method not allowed");
      case Access::grantCookie:
        return send(c, WebResponse{.status = 303,
                                   .headers = {{"Location", "/"},
                                               {"Set-Cookie", tokenCookie(options.token)}}});
      case Access::allowed:
        break;
    }
    if (const std::optional<std::string_view> length =
            optionalValue(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
      std::size_t bytes = 0;
      const auto [end, ec] =
          std::from_chars(length->data(), length->data() + length->size(), bytes);
      if (ec == std::errc::result_out_of_range ||
          (ec == std::errc() && bytes > options.maxBodyBytes))
        return sendError(c, 413, "the request's body is too large");
    }
    *requestCls = std::make_unique<RequestState>().release();
    return MHD_YES;
  }

  MHD_Result onRequest(MHD_Connection* c, const char* url, const char* method,
                       const char* uploadData, std::size_t* uploadSize, void** requestCls) {
    if (*requestCls == nullptr) return head(c, url, method, requestCls);
    auto* state = static_cast<RequestState*>(*requestCls);
    if (*uploadSize != 0) {
      // A body without a length (chunked) is bounded here instead: refused as soon as it is
      // too large, and its connection closed without reading the rest.
      if (state->body.size() + *uploadSize > options.maxBodyBytes) {
        *uploadSize = 0;
        return sendError(c, 413, "the request's body is too large");
      }
      state->body.append(uploadData, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    const WebRequest request{.method = method,
                             .path = url,
                             .query = [c](std::string_view key) -> std::optional<std::string> {
                               const std::string name(key);
                               const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND,
                                                                           name.c_str());
                               if (!v) return std::nullopt;
                               return std::string(v);
                             },
                             .body = state->body};
    return send(c, api.handle(request));
  }
};

namespace {

MHD_Result accessHandler(void* cls, MHD_Connection* c, const char* url, const char* method,
                         const char*, const char* uploadData, std::size_t* uploadSize,
                         void** requestCls) {
  try {
    return static_cast<WebServer::Daemon*>(cls)->onRequest(c, url, method, uploadData, uploadSize,
                                                           requestCls);
  } catch (const std::exception&) {
    return MHD_NO;
  }
}

void requestCompleted(void*, MHD_Connection*, void** requestCls, MHD_RequestTerminationCode) {
  std::unique_ptr<RequestState>(static_cast<RequestState*>(*requestCls));
  *requestCls = nullptr;
}

void connectionNotified(void*, MHD_Connection*, void** socketContext,
                        MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    *socketContext = std::make_unique<ConnectionState>().release();
  } else {
    std::unique_ptr<ConnectionState>(static_cast<ConnectionState*>(*socketContext));
    *socketContext = nullptr;
  }
}

}  // namespace

WebServer::WebServer(WebApi& api, WebServerOptions options)
    : daemon_(std::make_unique<Daemon>(api, std::move(options))) {}

WebServer::~WebServer() {
  stop();
}

void WebServer::start(int port) {
  if (daemon_->daemon) return;
  if (port < 0 || port > 65535) throw StartError("the port must be 0 to 65535");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Connection threads need little stack: the work they call is bounded in depth.
  constexpr std::size_t stackBytes = 1024 * 1024;
  daemon_->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL,
      static_cast<std::uint16_t>(port), nullptr, nullptr, accessHandler, daemon_.get(),
      MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT, daemon_->options.maxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(daemon_->options.readTimeout.count()),
      // Room for the head (checked against its own bound above) and the read buffer.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(32 * 1024),
      MHD_OPTION_THREAD_STACK_SIZE, stackBytes, MHD_OPTION_NOTIFY_COMPLETED, requestCompleted,
      nullptr, MHD_OPTION_NOTIFY_CONNECTION, connectionNotified, nullptr, MHD_OPTION_END);
  if (!daemon_->daemon)
    throw StartError("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                     std::strerror(errno));
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_->daemon, MHD_DAEMON_INFO_BIND_PORT);
  daemon_->port = info ? info->port : port;
}

int WebServer::port() const {
  return daemon_->port;
}

void WebServer::stop() {
  if (!daemon_->daemon) return;
  MHD_stop_daemon(daemon_->daemon);
  daemon_->daemon = nullptr;
}

}  // namespace tarno::web
