// The access checks of the page's server.
#include "tarno/web/access_check.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace tarno::web {

std::string newToken() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot read random bytes for the page's token");
    filled += static_cast<std::size_t>(n);
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string token;
  for (std::uint8_t b : bytes) {
    token.push_back(digits[b >> 4]);
    token.push_back(digits[b & 0xF]);
  }
  return token;
}

bool sameToken(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

bool isOwnHost(std::string_view host, int port) {
  const std::string suffix = ":" + std::to_string(port);
  if (!host.ends_with(suffix)) return false;
  const std::string_view name = host.substr(0, host.size() - suffix.size());
  return name == "127.0.0.1" || name == "localhost";
}

std::optional<std::string_view> cookieToken(std::string_view header) {
  constexpr std::string_view name = "tarno_token=";
  while (!header.empty()) {
    const std::size_t end = header.find(';');
    std::string_view pair = header.substr(0, end);
    while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t'))
      pair.remove_prefix(1);
    while (!pair.empty() && (pair.back() == ' ' || pair.back() == '\t'))
      pair.remove_suffix(1);
    if (pair.starts_with(name)) return pair.substr(name.size());
    if (end == std::string_view::npos) break;
    header.remove_prefix(end + 1);
  }
  return std::nullopt;
}

Access checkAccess(const RequestHead& head, std::string_view token, int port) {
  if (!isOwnHost(head.host, port)) return Access::forbidden;
  if (head.origin && *head.origin != "http://" + std::string(head.host)) return Access::forbidden;
  if (head.method == "OPTIONS") return Access::methodNotAllowed;
  if (head.tokenParameter && head.method == "GET" && head.path == "/")
    return sameToken(*head.tokenParameter, token) ? Access::grantCookie : Access::forbidden;
  const std::optional<std::string_view> cookie = cookieToken(head.cookie);
  if (!cookie || !sameToken(*cookie, token)) return Access::forbidden;
  if (head.method != "GET" && head.method != "HEAD" && !sameToken(head.headerToken, token))
    return Access::forbidden;
  return Access::allowed;
}

std::string tokenCookie(std::string_view token) {
  return "tarno_token=" + std::string(token) + "; HttpOnly; SameSite=Strict; Path=/";
}

}  // namespace tarno::web
