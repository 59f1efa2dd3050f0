// tarno-headless: the app without its windows. Serves the app's JSON-RPC methods over the photos
// of one folder on the app's IPC socket, for tarno-native, tarno-mcp and anything else that
// speaks the protocol.
//
//   tarno-headless [--ipc SOCKET] [--store DIR] FOLDER
//
// Without --ipc it serves at ~/.tarno/ipc.sock (the home from the user database) and describes
// itself in ~/.tarno/ipc-endpoint.json; with --ipc, the endpoint file goes beside the socket, so
// that a private socket never overwrites the description of the user's own server. It runs
// until SIGTERM or SIGINT, then closes the store and removes its socket and endpoint file.
//
// Exit status 0 after a signal, 2 for a usage or start-up failure (another process already
// serving on the socket among them).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarno/core/json_coding.hpp"
#include "tarno/library/ipc_server.hpp"
#include "tarno/library/library.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"
#include "tarno/protocol/socket_io.hpp"

namespace {

using namespace tarno;
namespace fs = std::filesystem;
namespace IPCEndpoint = protocol::IPCEndpoint;

constexpr std::string_view usageText =
    "usage: tarno-headless [--ipc <socket path>] [--store <dir>] <folder>";

int fail(std::string_view message) {
  std::cerr << "tarno-headless: " << message << '\n';
  return 2;
}

struct Arguments {
  std::optional<std::string> ipc;
  std::optional<std::string> store;
  std::string folder;
};

std::optional<Arguments> parse(int argc, char** argv) {
  Arguments arguments;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--ipc" || argument == "--store") {
      if (i + 1 >= argc) return std::nullopt;
      (argument == "--ipc" ? arguments.ipc : arguments.store) = argv[++i];
    } else if (argument.starts_with("-") && argument != "-") {
      return std::nullopt;
    } else {
      positional.emplace_back(argument);
    }
  }
  if (positional.size() != 1 || positional.front().empty()) return std::nullopt;
  arguments.folder = positional.front();
  return arguments;
}

// Written under a temporary name and renamed, so that a reader never sees half of it.
bool writeEndpointFile(const fs::path& file, const IPCEndpoint::EndpointInfo& info) {
  const fs::path temporary = file.string() + ".tmp." + std::to_string(info.pid);
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << core::encodeToString(info) << '\n';
    if (!out.flush()) return false;
  }
  std::error_code error;
  fs::rename(temporary, file, error);
  if (error) fs::remove(temporary, error);
  return !error;
}

// Removes the endpoint file only while it still describes this process: a later server may have
// replaced it.
void removeEndpointFile(const fs::path& file, std::int32_t pid) {
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    if (core::decodeFromString<IPCEndpoint::EndpointInfo>(text).pid != pid) return;
  } catch (...) {
    return;
  }
  std::error_code ignored;
  fs::remove(file, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  // A client that goes away must fail our writes, not end the process; the end signals are
  // taken by sigwait below, so every thread started from here on has them blocked.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGTERM);
  sigaddset(&endSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

  const auto arguments = parse(argc, argv);
  if (!arguments) return fail(usageText);

  std::error_code error;
  const fs::path folder = fs::absolute(arguments->folder, error);
  if (error || !fs::is_directory(folder, error))
    return fail(arguments->folder + " is not a folder");

  const std::string socketPath = arguments->ipc.value_or(IPCEndpoint::serverSocketPath());
  const fs::path supportDir =
      arguments->ipc ? fs::absolute(socketPath).parent_path() : fs::path(IPCEndpoint::supportDir());
  if (!arguments->ipc) {
    fs::create_directories(supportDir, error);
    if (!error) fs::permissions(supportDir, fs::perms::owner_all, error);
    if (error) return fail("cannot create " + supportDir.string() + ": " + error.message());
  }
  // Checked before the store is opened, so that a second instance touches nothing.
  if (protocol::SocketIO::socketAnswers(socketPath))
    return fail("another process is already serving on " + socketPath);

  library::LibraryOptions options{
      .folder = folder,
      .storeDir = arguments->store ? fs::absolute(*arguments->store) : fs::path(),
      .supportDir = supportDir,
      .watch = true,
      .appVersion = TARNO_PROJECT_VERSION};
  std::optional<library::Library> photos;
  try {
    photos.emplace(std::move(options));
  } catch (const std::exception& failure) {
    return fail(failure.what());
  }

  library::IPCServer server(socketPath,
                            [&photos](std::string_view line) { return photos->handleLine(line); });
  try {
    server.start();
  } catch (const library::IPCServer::StartError& failure) {
    return fail(failure.what());
  }
  photos->start();

  const auto pid = static_cast<std::int32_t>(::getpid());
  const fs::path endpointFile = supportDir / IPCEndpoint::endpointFileName;
  if (!writeEndpointFile(endpointFile, {.socketPath = socketPath,
                                        .protocolVersion = protocol::ipcProtocolVersion,
                                        .appVersion = TARNO_PROJECT_VERSION,
                                        .pid = pid}))
    std::cerr << "tarno-headless: cannot write " << endpointFile.string() << '\n';
  std::cerr << "tarno-headless: serving on " << socketPath << std::endl;

  int received = 0;
  while (sigwait(&endSignals, &received) != 0) {
  }

  // The socket goes first, so that nobody connects to a server that is closing its store.
  server.stop();
  removeEndpointFile(endpointFile, pid);
  return 0;
}
