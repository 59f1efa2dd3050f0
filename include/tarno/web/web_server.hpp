// The page's HTTP server on 127.0.0.1 (libmicrohttpd, a thread per connection): applies the
// access checks and the bounds to every request, then hands it to the WebApi. Every answer
// carries the page's security headers.
//
// Bounds: connections (each past them is closed at once), request line and headers 8 KiB (431),
// body 1 MiB (413, from Content-Length before anything of the body is read), 5 s without a byte
// read ends a connection, 100 requests a connection. Streams are exempt from the read timeout;
// each checks between its chunks that the browser is still there and ends when it is not.
//
// start() and stop() from one thread; the destructor stops. The WebApi must outlive the server.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "tarno/web/web_api.hpp"

namespace tarno::web {

struct WebServerOptions {
  std::string token;
  unsigned maxConnections = 256;
  std::size_t maxHeaderBytes = 8 * 1024;
  std::size_t maxBodyBytes = 1024 * 1024;
  std::chrono::seconds readTimeout{5};
  unsigned requestsPerConnection = 100;
};

class WebServer {
 public:
  class StartError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  WebServer(WebApi& api, WebServerOptions options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Listens on 127.0.0.1:port (0: any free port). Throws StartError with the reason.
  void start(int port);
  // The port listened on, once started.
  int port() const;
  // Closes every connection and waits for their threads. Idempotent.
  void stop();

  struct Daemon;

 private:
  std::unique_ptr<Daemon> daemon_;
};

// The headers every answer carries.
inline constexpr std::string_view contentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace tarno::web
