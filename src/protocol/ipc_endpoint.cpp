// Socket and support-directory paths, and the endpoint description's coding.
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

void toJSON(core::JsonWriter& w, const EndpointInfo& info) {
  w.beginObject();
  w.member("socketPath", info.socketPath);
  w.member("protocolVersion", info.protocolVersion);
  w.member("appVersion", info.appVersion);
  w.member("pid", info.pid);
  w.endObject();
}

void fromJSON(const core::JsonValue& j, EndpointInfo& info, const core::CodingPath& path) {
  core::ObjectReader r(j, path);
  r.required("socketPath", info.socketPath);
  r.required("protocolVersion", info.protocolVersion);
  r.required("appVersion", info.appVersion);
  r.required("pid", info.pid);
}

}  // namespace tarno::protocol::IPCEndpoint
