// tarno-headless --web end to end, over raw TCP connections: who may ask, the bounds, the page's
// view of changes made through the IPC socket, the images, and a browser that leaves a run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>

#include "headless_process.hpp"
#include "tarno/protocol/edit_records.hpp"

namespace tarno::assistant {
namespace {

// An answer as it came: the status, the head's lines, the body as sent (chunked for streams).
struct Answer {
  int status = 0;
  std::string head;
  std::string body;
  bool hasHeader(std::string_view line) const {
    return head.find("\r\n" + std::string(line) + "\r\n") != std::string::npos;
  }
};

unique_fd connectTo(int port) {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    ADD_FAILURE() << "cannot connect: " << std::strerror(errno);
  return fd;
}

// Reads until `enough` holds for what came, the peer closes, or `timeout` passes.
std::string readUntil(int fd, std::chrono::milliseconds timeout,
                      const std::function<bool(const std::string&)>& enough) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!enough(got) && std::chrono::steady_clock::now() < deadline) {
    char buffer[16384];
    const ReadResult read = readWithin(fd, buffer, 100ms);
    if (read.status == ReadResult::Status::data) got.append(buffer, read.size);
    if (read.status == ReadResult::Status::endOfFile || read.status == ReadResult::Status::failed)
      break;
  }
  return got;
}

Answer parse(const std::string& raw) {
  Answer answer;
  const std::size_t end = raw.find("\r\n\r\n");
  answer.head = raw.substr(0, end == std::string::npos ? raw.size() : end + 2);
  if (end != std::string::npos) answer.body = raw.substr(end + 4);
  if (raw.starts_with("HTTP/1.1 ")) answer.status = std::atoi(raw.c_str() + 9);
  return answer;
}

// The long edge of a baseline or progressive JPEG, from its frame header.
int jpegLongEdge(std::string_view jpeg) {
  for (std::size_t i = 2; i + 9 < jpeg.size();) {
    if (static_cast<unsigned char>(jpeg[i]) != 0xFF) return 0;
    const auto marker = static_cast<unsigned char>(jpeg[i + 1]);
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(jpeg[at]); };
    if (marker == 0xC0 || marker == 0xC2) {
      const int height = byte(i + 5) << 8 | byte(i + 6);
      const int width = byte(i + 7) << 8 | byte(i + 8);
      return std::max(width, height);
    }
    i += 2 + (byte(i + 2) << 8 | byte(i + 3));
  }
  return 0;
}

// A tarno-headless serving the page over a copy of the sample library, its helper socket a
// path the test may listen on.
class TarnoHeadlessWebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A file name that is markup: it must reach the page as text.
    fs::copy_file(fs::path(place.photos()) / "2016" / firstFile("2016"),
                  fs::path(place.photos()) / "<script>alert(1).jpg");
    Strings arguments = {"--web", "0", "--assistant", helperSocket()};
    for (const std::string& a : place.arguments())
      arguments.push_back(a);
    headless.emplace(arguments);
    // The second line gives the address with the token that the token file holds.
    const std::string lines = headless->firstLines(2);
    std::ifstream(tokenFile()) >> token;
    ASSERT_EQ(token.size(), 32u);
    const std::string prefix = "tarno-headless: page at http://127.0.0.1:";
    const std::size_t at = lines.find(prefix);
    ASSERT_NE(at, std::string::npos) << lines;
    port = std::atoi(lines.c_str() + at + prefix.size());
    ASSERT_EQ(lines.substr(at), prefix + std::to_string(port) + "/?token=" + token + "\n");
    awaitScan(place.socket(), 1);
  }

  std::string firstFile(const std::string& year) {
    for (const auto& entry : fs::directory_iterator(fs::path(place.photos()) / year))
      if (entry.path().extension() == ".jpg") return entry.path().filename().string();
    return {};
  }
  std::string helperSocket() const { return place.dir.path() + "/helper.sock"; }
  std::string tokenFile() const { return place.dir.path() + "/headless-web-token"; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port); }

  // One request on a connection of its own, the answer once the server closes it.
  Answer raw(const std::string& request, std::chrono::milliseconds timeout = 20s) {
    const unique_fd fd = connectTo(port);
    EXPECT_TRUE(writeAll(fd.get(), request));
    return parse(readUntil(fd.get(), timeout, [](const std::string&) { return false; }));
  }
  std::string headers(const std::string& extra = {}) {
    return "Host: " + host() + "\r\nCookie: tarno_token=" + token + "\r\nConnection: close\r\n" +
           extra;
  }
  Answer get(const std::string& path, const std::string& extra = {}) {
    return raw("GET " + path + " HTTP/1.1\r\n" + headers(extra) + "\r\n");
  }
  Answer post(const std::string& path, const std::string& body, const std::string& extra = {}) {
    return raw("POST " + path + " HTTP/1.1\r\n" +
               headers("X-Tarno-Token: " + token + "\r\n" + extra) +
               "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body);
  }
  // A stream opened and left open: the connection, once its head has come.
  unique_fd openStream(const std::string& request, int* status) {
    unique_fd fd = connectTo(port);
    EXPECT_TRUE(writeAll(fd.get(), request));
    const std::string head = readUntil(fd.get(), 10s, [](const std::string& got) {
      return got.find("\r\n\r\n") != std::string::npos;
    });
    *status = parse(head).status;
    return fd;
  }
  std::string eventsRequest() { return "GET /api/events HTTP/1.1\r\n" + headers() + "\r\n"; }

  Place place;
  std::optional<Headless> headless;
  int port = 0;
  std::string token;
};

TEST_F(TarnoHeadlessWebTest, OnlyThePageWithItsTokenGetsIn) {
  EXPECT_EQ(fs::status(tokenFile()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  const Answer granted = raw("GET /?token=" + token +
                             " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n");
  EXPECT_EQ(granted.status, 303);
  EXPECT_TRUE(granted.hasHeader("Location: /"));
  EXPECT_TRUE(granted.hasHeader("Set-Cookie: tarno_token=" + token +
                                "; HttpOnly; SameSite=Strict; Path=/"));
  const Answer page = get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("content=\"" + token + "\""), std::string::npos);
  for (const char* header :
       {"X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer",
        "Cache-Control: no-store",
        "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
        "img-src 'self' blob: data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
        "frame-ancestors 'none'"})
    EXPECT_TRUE(page.hasHeader(header)) << header;

  const std::string tiles = R"({"ids":[]})";
  const std::string length = "Content-Length: 11\r\n\r\n";
  struct Case {
    const char* what;
    std::string request;
  };
  const std::vector<Case> refused = {
      {"no cookie", "GET /api/state HTTP/1.1\r\nHost: " + host() + "\r\n\r\n"},
      {"wrong cookie", "GET /api/state HTTP/1.1\r\nHost: " + host() +
                           "\r\nCookie: tarno_token=" + std::string(32, 'a') + "\r\n\r\n"},
      {"wrong token",
       "GET /?token=" + std::string(32, 'a') + " HTTP/1.1\r\nHost: " + host() + "\r\n\r\n"},
      {"foreign host", "GET /api/state HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port) +
                           "\r\nCookie: tarno_token=" + token + "\r\n\r\n"},
      {"POST without header token", "POST /api/tiles HTTP/1.1\r\n" + headers() + length + tiles},
      {"foreign origin",
       "POST /api/tiles HTTP/1.1\r\n" +
           headers("X-Tarno-Token: " + token + "\r\nOrigin: http://attacker.example\r\n") + length +
           tiles},
  };
  for (const Case& c : refused)
    EXPECT_EQ(raw(c.request).status, 403) << c.what;
  EXPECT_EQ(post("/api/tiles", tiles, "Origin: http://" + host() + "\r\n").status, 200);
  const Answer options = raw("OPTIONS /api/rpc HTTP/1.1\r\n" + headers() + "\r\n");
  EXPECT_EQ(options.status, 405);
  EXPECT_EQ(options.head.find("Access-Control"), std::string::npos);

  ASSERT_TRUE(headless->child.terminate());
  EXPECT_EQ(headless->child.wait(), ExitStatus::exitedWith(0));
  EXPECT_FALSE(fs::exists(tokenFile()));
}

TEST_F(TarnoHeadlessWebTest, BoundsHoldAndTheServerKeepsServing) {
  // Refused from its length alone: nothing of the body is ever sent.
  const auto started = std::chrono::steady_clock::now();
  const Answer huge =
      raw("POST /api/rpc HTTP/1.1\r\n" + headers("X-Tarno-Token: " + token + "\r\n") +
          "Content-Length: 1073741824\r\n\r\n");
  EXPECT_EQ(huge.status, 413);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(get("/api/state", "X-Padding: " + std::string(9000, 'x') + "\r\n").status, 431);

  for (const char* path : {"/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/%2E%2E%2Fapp.js",
                           "/api/photos/..%2f..%2fetc%2fpasswd/image", "/app.js/../../x"}) {
    const Answer answer = get(path);
    EXPECT_EQ(answer.status, 404) << path;
    EXPECT_EQ(answer.body.find("root:"), std::string::npos);
  }
  for (const char* path : {"/api/tiles", "/api/rpc", "/api/assistant/run"}) {
    const Answer answer = post(path, R"({"ids": [)");
    EXPECT_EQ(answer.status, 400) << path;
    EXPECT_NE(answer.body.find("\"error\":"), std::string::npos);
  }

  // Idle connections cost a thread each, within the cap, and never starve a request.
  std::vector<unique_fd> idle;
  for (int i = 0; i < 200; ++i)
    idle.push_back(connectTo(port));
  EXPECT_EQ(get("/api/state").status, 200);
  idle.clear();

  // Event streams are counted: those beyond the limit are refused, the rest stay open.
  std::vector<unique_fd> streams;
  int open = 0;
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    int status = 0;
    streams.push_back(openStream(eventsRequest(), &status));
    open += status == 200;
    refused += status == 503;
  }
  EXPECT_EQ(open, 32);
  EXPECT_EQ(refused, 8);
  EXPECT_EQ(get("/api/state").status, 200);
  // Browsers that leave give their places back.
  streams.clear();
  int status = 0;
  for (int attempt = 0; attempt < 30 && status != 200; ++attempt) {
    std::this_thread::sleep_for(100ms);
    unique_fd again = openStream(eventsRequest(), &status);
  }
  EXPECT_EQ(status, 200);
}

TEST_F(TarnoHeadlessWebTest, ChangesThroughTheSocketReachThePageWithinASecond) {
  const Answer state = get("/api/state");
  ASSERT_EQ(state.status, 200);
  const core::JsonValue view = core::parseJson(state.body);
  const core::JsonValue::Array& ids = *view.find("view")->find("ids")->asArray();
  ASSERT_EQ(ids.size(), sampleMediaCount() + 1);
  const std::string id = *ids.front().asString();

  int status = 0;
  const unique_fd events = openStream(eventsRequest(), &status);
  ASSERT_EQ(status, 200);
  const auto sent = std::chrono::steady_clock::now();
  result<protocol::UpdatedResult>(
      call(place.socket(), "photo.rate", R"({"ids":[")" + id + R"("],"rating":4})"));
  const std::string expected = R"("method":"photo.rate","ids":[")" + id + "\"]}";
  const std::string got = readUntil(events.get(), 5s, [&](const std::string& text) {
    return text.find(expected) != std::string::npos;
  });
  EXPECT_NE(got.find("event: change\ndata: {\"seq\":"), std::string::npos) << got;
  EXPECT_NE(got.find(expected), std::string::npos) << got;
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);

  // Every id of the view has its tile; the markup file's name comes back as JSON text only.
  std::string body = R"({"ids":[)";
  for (const core::JsonValue& each : ids)
    body += (body.back() == '[' ? "\"" : ",\"") + *each.asString() + "\"";
  const Answer tiles = post("/api/tiles", body + "]}");
  EXPECT_EQ(tiles.status, 200);
  EXPECT_EQ(tiles.body.find("<script>"), std::string::npos);
  EXPECT_NE(tiles.body.find(R"(\u003cscript\u003ealert(1).jpg)"), std::string::npos);
  EXPECT_EQ(core::parseJson(tiles.body).find("tiles")->asArray()->size(), ids.size());
  EXPECT_NE(tiles.body.find(R"("id":")" + id + R"(","fileName")"), std::string::npos);
}

TEST_F(TarnoHeadlessWebTest, ImagesHaveTheirSizeAndFollowTheEdit) {
  const core::JsonValue state = core::parseJson(get("/api/state").body);
  std::string still;
  for (const core::JsonValue& id : *state.find("view")->find("ids")->asArray()) {
    const Answer photo = get("/api/photos/" + *id.asString());
    if (photo.body.find(R"("isVideo":false)") != std::string::npos &&
        photo.body.find(".jpg\"") != std::string::npos) {
      still = *id.asString();
      break;
    }
  }
  ASSERT_FALSE(still.empty());
  const Answer before = get("/api/photos/" + still + "/image?size=200&v=0");
  ASSERT_EQ(before.status, 200);
  EXPECT_TRUE(before.hasHeader("Content-Type: image/jpeg"));
  EXPECT_TRUE(before.body.starts_with("\xFF\xD8"));
  EXPECT_EQ(jpegLongEdge(before.body), 200);
  EXPECT_EQ(jpegLongEdge(get("/api/photos/" + still + "/image?size=96").body), 96);
  EXPECT_EQ(get("/api/photos/" + still + "/image?size=200&v=0").body, before.body);  // cached
  EXPECT_EQ(get("/api/photos/00000000-0000-0000-0000-000000000000/image?size=200").status, 404);

  result<protocol::EditSetResult>(
      call(place.socket(), "edit.set",
           R"({"id":")" + still + R"(","ops":[{"kind":"exposure","scalar":1.5}]})"));
  const Answer after = get("/api/photos/" + still + "/image?size=200&v=1");
  ASSERT_EQ(after.status, 200);
  EXPECT_EQ(jpegLongEdge(after.body), 200);
  EXPECT_NE(after.body, before.body);
  EXPECT_NE(get("/api/photos/" + still).body.find(R"("hasEdits":true)"), std::string::npos);
}

TEST_F(TarnoHeadlessWebTest, ABrowserThatLeavesARunEndsItsHelperConnection) {
  // A helper that takes the run and never answers.
  unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, helperSocket().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);

  int status = 0;
  std::optional<unique_fd> browser =
      openStream("POST /api/assistant/run HTTP/1.1\r\n" +
                     headers("X-Tarno-Token: " + token + "\r\nContent-Length: 15\r\n") +
                     "\r\n{\"prompt\":\"hi\"}",
                 &status);
  EXPECT_EQ(status, 200);
  pollfd waiting{.fd = listener.get(), .events = POLLIN, .revents = 0};
  ASSERT_EQ(::poll(&waiting, 1, 10'000), 1);
  const unique_fd helper(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(helper);
  const std::string command = readUntil(
      helper.get(), 5s, [](const std::string& got) { return got.find("hi") != std::string::npos; });
  EXPECT_NE(command.find("CURRENT APP STATE"), std::string::npos);

  const auto left = std::chrono::steady_clock::now();
  browser.reset();
  readUntil(helper.get(), 10s, [](const std::string&) { return false; });  // until it is closed
  EXPECT_LT(std::chrono::steady_clock::now() - left, 3s);
}

}  // namespace
}  // namespace tarno::assistant
