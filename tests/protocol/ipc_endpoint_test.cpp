// Paths every process must agree on, and the endpoint description's strict decoding.
#include "tarno/protocol/ipc_endpoint.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

using namespace tarno::protocol;
using tarno::core::DecodingError;

TEST(IPCEndpoint, PathsAreConcatenationsUnderTheHome) {
  EXPECT_EQ(IPCEndpoint::assistantSocketPath("/Users/u"), "/Users/u/.tarno/assistant.sock");
  EXPECT_EQ(IPCEndpoint::clientSocketPath("/Users/u"), "/Users/u/.tarno/ipc.sock");
  EXPECT_EQ(IPCEndpoint::serverSocketPath("/Users/u"), "/Users/u/.tarno/ipc.sock");
  EXPECT_EQ(IPCEndpoint::supportDir("/Users/u"), "/Users/u/.tarno");
  EXPECT_EQ(IPCEndpoint::exchangeDir("/Users/u"), "/Users/u/.tarno/exchange");
  EXPECT_EQ(IPCEndpoint::supportDir("/home/u/"), "/home/u//.tarno");
}

TEST(IPCEndpoint, HomeComesFromTheUserDatabaseNotTheEnvironment) {
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::string expected = std::string(pw->pw_dir) + "/.tarno/assistant.sock";
  const char* saved = getenv("HOME");
  const std::string savedHome = saved ? saved : "";
  setenv("HOME", "/somewhere/else", 1);
  EXPECT_EQ(IPCEndpoint::assistantSocketPath(), expected);
  saved ? (void)setenv("HOME", savedHome.c_str(), 1) : (void)unsetenv("HOME");
}

TEST(IPCEndpoint, EndpointInfoNeedsAllFourKeysAndA32BitPid) {
  IPCEndpoint::EndpointInfo info{.socketPath = "/h/.tarno/ipc.sock",
                                 .protocolVersion = ipcProtocolVersion,
                                 .appVersion = "1.2",
                                 .pid = 4242};
  const std::string json = tarno::core::encodeToString(info);
  EXPECT_EQ(
      json,
      R"({"socketPath":"/h/.tarno/ipc.sock","protocolVersion":1,"appVersion":"1.2","pid":4242})");
  EXPECT_EQ(tarno::core::decodeFromString<IPCEndpoint::EndpointInfo>(json), info);

  for (std::string_view bad : {
           R"({"socketPath":"s","protocolVersion":1,"appVersion":"1"})",
           R"({"socketPath":"s","protocolVersion":1,"appVersion":"1","pid":2147483648})",
           R"({"socketPath":"s","protocolVersion":1.5,"appVersion":"1","pid":1})",
       }) {
    SCOPED_TRACE(bad);
    EXPECT_THROW((void)tarno::core::decodeFromString<IPCEndpoint::EndpointInfo>(bad),
                 DecodingError);
  }
}
