// One call to the app's socket when the app closes without answering or never answers (the
// answering app is in the tarno-native test).
#include <gtest/gtest.h>
#include <sys/socket.h>

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

  // A socket that accepts nothing: the connection waits in the backlog, unanswered.
  const fakes::TempDir dir;
  const unique_fd silent = SocketIO::makeSocket();
  const auto address = SocketAddr::unix(dir.path() + "/ipc.sock");
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
  ASSERT_EQ(::listen(silent.get(), 4), 0);
  EXPECT_EQ(AppDispatch::call(dir.path() + "/ipc.sock", request, std::chrono::milliseconds(200)),
            error("the app didn't answer within 200 ms"));
}

}  // namespace
}  // namespace tarno::assistant
