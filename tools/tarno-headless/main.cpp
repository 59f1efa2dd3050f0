// tarno-headless: the app without its windows. Serves the app's JSON-RPC methods over the photos
// of one folder on the app's IPC socket, for tarno-native, tarno-mcp and anything else that
// speaks the protocol.
//
//   tarno-headless [--ipc SOCKET] [--store DIR] FOLDER
//   tarno-headless --web PORT [--assistant SOCKET] [--native-endpoint URL --native-model NAME]
//                  [--ipc SOCKET] [--store DIR] FOLDER
//   tarno-headless --contact-sheet OUT.png [--store DIR] FOLDER
//
// Without --ipc it serves at ~/.tarno/ipc.sock (the home from the user database) and describes
// itself in ~/.tarno/ipc-endpoint.json; with --ipc, the endpoint file goes beside the socket, so
// that a private socket never overwrites the description of the user's own server. It runs
// until SIGTERM or SIGINT, then closes the store and removes its socket and endpoint file.
//
// With --web it also serves the page (docs/web.md) on 127.0.0.1:PORT (0: any free port), prints
// its address with the access token after the "serving on" line, and keeps the token in
// headless-web-token (0600) in the support folder until it ends. The page's assistant runs the
// claude engine through the helper's socket and the native engine in this process, against the
// local model server given (its key from $TARNO_NATIVE_API_KEY).
//
// With --contact-sheet it serves nothing: it scans the folder once, writes every photo as the
// app shows it (edit stack developed) in a grid to OUT.png, and exits.
//
// Exit status 0 after a signal (or a written sheet), 1 when no sheet could be written, 2 for a
// usage or start-up failure (another process already serving on the socket among them).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarno/assistant/native/native_model_config.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/transport/assistant_helper_client.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/library/contact_sheet.hpp"
#include "tarno/library/ipc_server.hpp"
#include "tarno/library/library.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"
#include "tarno/protocol/socket_io.hpp"
#include "tarno/protocol/unique_fd.hpp"
#include "tarno/web/access_check.hpp"
#include "tarno/web/change_feed.hpp"
#include "tarno/web/web_api.hpp"
#include "tarno/web/web_server.hpp"

namespace {

using namespace tarno;
namespace fs = std::filesystem;
namespace IPCEndpoint = protocol::IPCEndpoint;

constexpr std::string_view usageText =
    "usage: tarno-headless [--ipc <socket path>] [--store <dir>] <folder>\n"
    "       tarno-headless --web <port> [--assistant <socket path>] [--native-endpoint <url> "
    "--native-model <name>] [--ipc <socket path>] [--store <dir>] <folder>\n"
    "       tarno-headless --contact-sheet <out.png> [--store <dir>] <folder>";

constexpr std::string_view webTokenFileName = "headless-web-token";

int fail(std::string_view message) {
  std::cerr << "tarno-headless: " << message << '\n';
  return 2;
}

struct Arguments {
  std::optional<std::string> ipc;
  std::optional<std::string> store;
  std::optional<std::string> contactSheet;
  std::optional<int> webPort;
  std::optional<std::string> assistantSocket;
  std::optional<std::string> nativeEndpoint;
  std::optional<std::string> nativeModel;
  std::string folder;
};

std::optional<int> portNumber(std::string_view text) {
  int port = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535)
    return std::nullopt;
  return port;
}

std::optional<Arguments> parse(int argc, char** argv) {
  Arguments arguments;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--ipc" || argument == "--store" || argument == "--contact-sheet" ||
        argument == "--assistant" || argument == "--native-endpoint" ||
        argument == "--native-model") {
      if (i + 1 >= argc) return std::nullopt;
      (argument == "--ipc"               ? arguments.ipc
       : argument == "--store"           ? arguments.store
       : argument == "--assistant"       ? arguments.assistantSocket
       : argument == "--native-endpoint" ? arguments.nativeEndpoint
       : argument == "--native-model"    ? arguments.nativeModel
                                         : arguments.contactSheet) = argv[++i];
    } else if (argument == "--web") {
      if (i + 1 >= argc) return std::nullopt;
      arguments.webPort = portNumber(argv[++i]);
      if (!arguments.webPort) return std::nullopt;
    } else if (argument.starts_with("-") && argument != "-") {
      return std::nullopt;
    } else {
      positional.emplace_back(argument);
    }
  }
  if (positional.size() != 1 || positional.front().empty()) return std::nullopt;
  if (arguments.contactSheet &&
      (arguments.ipc || arguments.webPort || arguments.contactSheet->empty()))
    return std::nullopt;
  // The page's options mean nothing without the page; the native server needs both halves.
  if (!arguments.webPort &&
      (arguments.assistantSocket || arguments.nativeEndpoint || arguments.nativeModel))
    return std::nullopt;
  if (arguments.nativeEndpoint.has_value() != arguments.nativeModel.has_value())
    return std::nullopt;
  arguments.folder = positional.front();
  return arguments;
}

// Written under a temporary name, created with `mode` (before the umask), and renamed, so that a
// reader never sees half of it nor, for a private file, a moment where others may read it.
bool writeWhole(const fs::path& file, std::string_view text, mode_t mode) {
  const fs::path temporary = file.string() + ".tmp." + std::to_string(::getpid());
  std::error_code error;
  fs::remove(temporary, error);
  protocol::unique_fd out(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!out) return false;
  const bool written = assistant::writeAll(out.get(), text);
  out.reset();
  if (written) fs::rename(temporary, file, error);
  if (!written || error) fs::remove(temporary, error);
  return written && !error;
}

bool writeEndpointFile(const fs::path& file, const IPCEndpoint::EndpointInfo& info) {
  return writeWhole(file, core::encodeToString(info) + "\n", 0644);
}

// Removes the token file only while it still holds this process's token.
void removeTokenFile(const fs::path& file, const std::string& token) {
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  if (text != token) return;
  std::error_code ignored;
  fs::remove(file, ignored);
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

// One scan of the folder, no watching, no socket; the sheet, then the end.
int contactSheet(const fs::path& folder, const Arguments& arguments) {
  std::optional<library::Library> photos;
  try {
    photos.emplace(library::LibraryOptions{
        .folder = folder,
        .storeDir = arguments.store ? fs::absolute(*arguments.store) : fs::path(),
        // No home folder in this mode: LUTs come from the folder's and the store's luts.
        .supportDir = arguments.store ? fs::absolute(*arguments.store) : folder / ".tarno",
        .watch = false,
        .appVersion = TARNO_PROJECT_VERSION});
  } catch (const std::exception& failure) {
    return fail(failure.what());
  }
  photos->start();
  photos->waitUntilScanned();
  library::ContactSheetOutcome outcome;
  std::string error;
  if (!library::writeContactSheet(*photos, *arguments.contactSheet, {}, &outcome, &error)) {
    std::cerr << "tarno-headless: " << error << '\n';
    return 1;
  }
  std::cerr << "tarno-headless: " << outcome.photos << " photos on " << *arguments.contactSheet;
  if (outcome.skipped > 0) std::cerr << " (" << outcome.skipped << " could not be shown)";
  std::cerr << '\n';
  return 0;
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
  if (arguments->contactSheet) return contactSheet(folder, *arguments);

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
  // Before the library, which tells it of every change until it is gone.
  web::ChangeFeed changes;
  std::optional<library::Library> photos;
  try {
    photos.emplace(std::move(options));
  } catch (const std::exception& failure) {
    return fail(failure.what());
  }
  if (arguments->webPort)
    photos->setChangeListener(
        [&changes](const library::LibraryChange& change) { changes.publish(change); });

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

  std::optional<web::WebApi> api;
  std::optional<web::WebServer> page;
  const fs::path tokenFile = supportDir / webTokenFileName;
  std::string token;
  if (arguments->webPort) {
    try {
      token = web::newToken();
      web::WebApiOptions apiOptions{.token = token,
                                    .helperSocket = arguments->assistantSocket.value_or(
                                        assistant::AssistantHelperClient::defaultSocketPath())};
      if (arguments->nativeEndpoint) {
        const char* key = std::getenv("TARNO_NATIVE_API_KEY");
        apiOptions.native = assistant::NativeModelConfig{.endpoint = *arguments->nativeEndpoint,
                                                         .model = *arguments->nativeModel,
                                                         .apiKey = key ? key : ""};
        if (!assistant::isSendableAPIKey(apiOptions.native->apiKey))
          throw std::runtime_error("TARNO_NATIVE_API_KEY holds control characters");
      }
      api.emplace(*photos, changes, std::move(apiOptions));
      page.emplace(*api, web::WebServerOptions{.token = token});
      page->start(*arguments->webPort);
    } catch (const std::exception& failure) {
      server.stop();
      removeEndpointFile(endpointFile, pid);
      return fail(failure.what());
    }
    // For the user's other tools; readable by the user only.
    if (!writeWhole(tokenFile, token + "\n", 0600))
      std::cerr << "tarno-headless: cannot write " << tokenFile.string() << '\n';
    std::cerr << "tarno-headless: page at http://127.0.0.1:" << page->port() << "/?token=" << token
              << std::endl;
  }

  int received = 0;
  while (sigwait(&endSignals, &received) != 0) {
  }

  // The sockets go first, so that nobody connects to a server that is closing its store; the
  // page's event streams end with the feed.
  changes.close();
  if (page) {
    page->stop();
    removeTokenFile(tokenFile, token);
  }
  server.stop();
  removeEndpointFile(endpointFile, pid);
  return 0;
}
