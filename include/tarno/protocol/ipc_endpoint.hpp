// Where the system's sockets and shared files live, so every process computes the same paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarno/core/json_record.hpp"
#include "tarno/core/user_home.hpp"

namespace tarno::protocol {

// Version of the app's JSON-RPC protocol, published in EndpointInfo and in the ping result.
inline constexpr std::int64_t ipcProtocolVersion = 1;

namespace IPCEndpoint {

inline constexpr std::string_view socketFileName = "ipc.sock";
inline constexpr std::string_view endpointFileName = "ipc-endpoint.json";
inline constexpr std::string_view assistantSocketFileName = "assistant.sock";
inline constexpr std::string_view containerBundleID = "com.tarno.app";
// Longest socket path in UTF-8 bytes: a 104-byte path field with its terminating NUL. The limit
// is the protocol's on every platform, even where sockaddr_un is larger.
inline constexpr std::int64_t sunPathLimit = 103;

// Plain concatenations under the home directory (core::userHomeDirectory(), looked up on every
// call); nothing is normalised, created or checked. The overloads taking `home` exist so
// callers and tests can compute paths for another home.
std::string supportDir(std::string_view home);
std::string clientSocketPath(std::string_view home);
std::string serverSocketPath(std::string_view home);
std::string assistantSocketPath(std::string_view home);
std::string exchangeDir(std::string_view home);

inline std::string supportDir() {
  return supportDir(core::userHomeDirectory());
}
inline std::string clientSocketPath() {
  return clientSocketPath(core::userHomeDirectory());
}
inline std::string serverSocketPath() {
  return serverSocketPath(core::userHomeDirectory());
}
inline std::string assistantSocketPath() {
  return assistantSocketPath(core::userHomeDirectory());
}
inline std::string exchangeDir() {
  return exchangeDir(core::userHomeDirectory());
}

// Describes a running app's IPC endpoint; the content of "ipc-endpoint.json".
struct EndpointInfo {
  std::string socketPath;
  std::int64_t protocolVersion = 0;
  std::string appVersion;
  std::int32_t pid = 0;

  static constexpr auto jsonFields =
      std::tuple{core::required("socketPath", &EndpointInfo::socketPath),
                 core::required("protocolVersion", &EndpointInfo::protocolVersion),
                 core::required("appVersion", &EndpointInfo::appVersion),
                 core::required("pid", &EndpointInfo::pid)};
  friend bool operator==(const EndpointInfo&, const EndpointInfo&) = default;
};

}  // namespace IPCEndpoint

}  // namespace tarno::protocol
