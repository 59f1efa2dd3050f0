// The access checks as pure functions: each rule of who may ask, in its order, and the token.
#include "tarno/web/access_check.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace tarno::web {
namespace {

constexpr std::string_view token = "0123456789abcdef0123456789abcdef";
constexpr int port = 8123;
const std::string cookie = "theme=dark;  tarno_token=" + std::string(token) + " ; other=1";

// A request that passes every check; each case changes one thing.
RequestHead good(std::string_view method = "GET", std::string_view path = "/api/state") {
  return RequestHead{.method = method,
                     .path = path,
                     .tokenParameter = std::nullopt,
                     .host = "127.0.0.1:8123",
                     .cookie = cookie,
                     .headerToken = method == "POST" ? token : std::string_view(),
                     .origin = std::nullopt};
}

TEST(AccessCheck, EachRuleRefusesOnItsOwn) {
  const std::string wrongCookie = "tarno_token=" + std::string(32, '0');
  const std::string shortCookie = "tarno_token=" + std::string(token.substr(0, 31));
  using Change = std::function<void(RequestHead&)>;
  struct Case {
    const char* what;
    RequestHead head;
    Change change;
    Access expected;
  };
  const auto post = good("POST", "/api/rpc");
  const auto root = good("GET", "/");
  const std::vector<Case> cases = {
      {"allowed GET", good(), {}, Access::allowed},
      {"allowed POST", post, {}, Access::allowed},
      {"localhost", good(), [](auto& h) { h.host = "localhost:8123"; }, Access::allowed},
      {"foreign host", good(), [](auto& h) { h.host = "evil.example:8123"; }, Access::forbidden},
      {"host without port", good(), [](auto& h) { h.host = "127.0.0.1"; }, Access::forbidden},
      {"other port", good(), [](auto& h) { h.host = "127.0.0.1:8124"; }, Access::forbidden},
      {"name ending like ours", good(), [](auto& h) { h.host = "x127.0.0.1:8123"; },
       Access::forbidden},
      {"no cookie", good(), [](auto& h) { h.cookie = ""; }, Access::forbidden},
      {"wrong cookie", good(), [&](auto& h) { h.cookie = wrongCookie; }, Access::forbidden},
      {"cookie one digit short", good(), [&](auto& h) { h.cookie = shortCookie; },
       Access::forbidden},
      {"POST without header token", post, [](auto& h) { h.headerToken = ""; }, Access::forbidden},
      {"POST with another header token", post,
       [](auto& h) { h.headerToken = std::string_view(token).substr(1); }, Access::forbidden},
      {"foreign origin", post, [](auto& h) { h.origin = "http://evil.example"; },
       Access::forbidden},
      {"own origin", post, [](auto& h) { h.origin = "http://127.0.0.1:8123"; }, Access::allowed},
      {"origin of another port", good(), [](auto& h) { h.origin = "http://127.0.0.1:9"; },
       Access::forbidden},
      {"OPTIONS", good("OPTIONS"), {}, Access::methodNotAllowed},
      {"token grants the cookie", root,
       [](auto& h) {
         h.cookie = "";
         h.tokenParameter = token;
       },
       Access::grantCookie},
      {"wrong token", root, [](auto& h) { h.tokenParameter = "nope"; }, Access::forbidden},
      // A query token means nothing on any other path; the cookie decides there.
      {"token elsewhere", good(), [](auto& h) { h.tokenParameter = "nope"; }, Access::allowed},
  };
  for (Case c : cases) {
    if (c.change) c.change(c.head);
    EXPECT_EQ(checkAccess(c.head, token, port), c.expected) << c.what;
  }
}

TEST(AccessCheck, TokensAreNewHexAndCompareExactly) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string t = newToken();
    ASSERT_EQ(t.size(), 32u);
    EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos) << t;
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_TRUE(sameToken("abc", "abc"));
  EXPECT_FALSE(sameToken("abc", "abd"));
  EXPECT_FALSE(sameToken("abc", "abcd"));
  EXPECT_FALSE(sameToken("", ""));  // no token is never the token
}

}  // namespace
}  // namespace tarno::web
