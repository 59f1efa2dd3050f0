// One call to the app's socket when the app closes without answering or never answers (the
// answering app is in the tarno-native test).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "fakes/fake-app-peer/fake_app_peer.hpp"
#include "tarno/assistant/native/app_dispatch.hpp"

namespace tarno::assistant {
namespace {

TEST(AppDispatch, AnAppThatDoesNotAnswerGivesAnErrorResponse) {
  const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"app.context","params":{}})";
  const auto error = [](const std::string& message) {
    return R"({"jsonrpc":"2.0","error":{"code":-32603,"message":")" + message + R"("}})";
  };
  fakes::FakeAppPeer closing([](const std::string&) { return std::nullopt; });
  EXPECT_EQ(AppDispatch::call(closing.socketPath(), request),
            error("the app closed the connection without answering"));

  const fakes::TempDir dir;
  const auto listening = [&dir](const std::string& name) {
    unique_fd fd = SocketIO::makeSocket();
    const auto address = SocketAddr::unix(dir.path() + name);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
    EXPECT_EQ(::listen(fd.get(), 4), 0);
    return fd;
  };
  // A socket that accepts nothing: the connection waits in the backlog, unanswered.
  const unique_fd silent = listening("/ipc.sock");
  EXPECT_EQ(AppDispatch::call(dir.path() + "/ipc.sock", request, std::chrono::milliseconds(200)),
            error("the app didn't answer within 200 ms"));

  // An app that takes a long request a little at a time keeps to the same limit.
  const unique_fd slow = listening("/slow.sock");
  std::jthread app([&slow] {
    const unique_fd fd = SocketIO::acceptConnection(slow.get());
    char bytes[64 * 1024];
    while (fd && ::recv(fd.get(), bytes, sizeof bytes, 0) > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AppDispatch::call(dir.path() + "/slow.sock", std::string(4 << 20, ' ') + request,
                              std::chrono::milliseconds(200)),
            error("the app didn't answer within 200 ms"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace tarno::assistant
