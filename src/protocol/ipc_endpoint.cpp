// Socket and support-directory paths, and the endpoint description's coding.
#include "tarno/protocol/ipc_endpoint.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tarno::protocol::IPCEndpoint {

std::string homeDirectory() {
  // getpwuid_r: the plain call shares a static buffer with every other thread.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] != '\0') {
    return result->pw_dir;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  return "/";
}

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
