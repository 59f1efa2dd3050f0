// Who may ask the page's server: the checks every request passes before anything else of it is
// read, as pure functions of the request's head. A browser on another site can neither name
// our host (DNS rebinding), nor send our cookie (SameSite=Strict), nor set our header.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarno::web {

// What the checks need of a request; absent headers are empty.
struct RequestHead {
  std::string_view method;
  std::string_view path;
  std::optional<std::string_view> tokenParameter;  // ?token=
  std::string_view host;
  std::string_view cookie;
  std::string_view headerToken;  // X-Tarno-Token
  std::optional<std::string_view> origin;
};

enum class Access {
  allowed,
  // GET /?token=TOKEN: answered 303 to "/" with the cookie set.
  grantCookie,
  forbidden,
  // OPTIONS: no CORS, ever.
  methodNotAllowed,
};

// 128 random bits as 32 lower-case hex digits, from the kernel's generator. Throws
// std::runtime_error when it cannot be read.
std::string newToken();

// Compares in time independent of where the texts differ.
bool sameToken(std::string_view a, std::string_view b);

// "127.0.0.1:PORT" or "localhost:PORT", exactly.
bool isOwnHost(std::string_view host, int port);

// The value of the `tarno_token` cookie in a Cookie header, if any.
std::optional<std::string_view> cookieToken(std::string_view cookieHeader);

// The checks in their order: Host, then the token (query on "/", else the cookie), then for a
// POST the header token; an Origin, when sent, must be the page's own ("http://" + Host).
Access checkAccess(const RequestHead& head, std::string_view token, int port);

// The Set-Cookie value that grants access.
std::string tokenCookie(std::string_view token);

}  // namespace tarno::web
