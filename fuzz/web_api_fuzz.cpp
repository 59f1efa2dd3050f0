// Arbitrary requests to the page's server over a small library: the access checks on a head made
// of the input, then the API itself as if the checks had passed. The input is
// "METHOD PATH[?QUERY]" on its first line, the body after it. Every request must get a status
// without a crash or a thrown exception; streams that end by themselves (assistant turns against
// a helper that is not there) are read to their end, the endless change stream is dropped.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "small_library.hpp"
#include "tarno/web/access_check.hpp"
#include "tarno/web/change_feed.hpp"
#include "tarno/web/web_api.hpp"

namespace {

using namespace tarno::web;

constexpr std::string_view token = "00112233445566778899aabbccddeeff";

// The value of `key` in "a=1&b=2", as it stands.
std::optional<std::string> parameter(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) == key)
      return std::string(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tarno::fuzzing::SmallLibrary small;
  static ChangeFeed feed;
  static WebApi api(*small.library, feed,
                    WebApiOptions{.token = std::string(token),
                                  .helperSocket = (small.root / "no-helper.sock").string()});

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t lineEnd = text.find('\n');
  const std::string_view line = text.substr(0, lineEnd);
  const std::string_view body =
      lineEnd == std::string_view::npos ? std::string_view() : text.substr(lineEnd + 1);
  const std::size_t space = line.find(' ');
  const std::string_view method = line.substr(0, space);
  const std::string_view target =
      space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  const std::size_t mark = target.find('?');
  const std::string_view path = target.substr(0, mark);
  const std::string_view query =
      mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);

  // The head's fields from the same input: the checks must take any text.
  const std::optional<std::string> tokenParameter = parameter(query, "token");
  (void)checkAccess(
      RequestHead{.method = method,
                  .path = path,
                  .tokenParameter = tokenParameter,
                  .host = query,
                  .cookie = body,
                  .headerToken = path,
                  .origin = body.empty() ? std::nullopt : std::optional<std::string_view>(body)},
      token, 8080);

  WebResponse response = api.handle(
      WebRequest{.method = method,
                 .path = path,
                 .query = [query](std::string_view key) { return parameter(query, key); },
                 .body = body});
  if (response.status < 100 || response.status > 599) std::abort();
  if (response.stream && !path.starts_with("/api/events")) {
    // A turn or sign-in without a helper ends after its one event.
    for (int chunks = 0; chunks < 1000; ++chunks)
      if (!response.stream->next()) break;
  }
  return 0;
}
