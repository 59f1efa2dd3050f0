// Socket and support-directory paths.
#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::protocol::IPCEndpoint {

std::string supportDir(std::string_view home) {
  return std::string(home) + "/.tarno";
}

std::string clientSocketPath(std::string_view home) {
  return supportDir(home) + "/" + std::string(socketFileName);
}

std::string serverSocketPath(std::string_view home) {
  return clientSocketPath(home);
}

std::string assistantSocketPath(std::string_view home) {
  return supportDir(home) + "/" + std::string(assistantSocketFileName);
}

std::string exchangeDir(std::string_view home) {
  return supportDir(home) + "/exchange";
}

}  // namespace tarno::protocol::IPCEndpoint
