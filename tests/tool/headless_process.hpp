// tarno-headless run for tests: a copy of the sample library in a temporary directory, the
// process with its standard error, one request on the IPC socket, and waiting for the first
// scan. Shared by the executable's tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "fakes/ipc_line_client.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::assistant {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fakes::LineClient;
using Strings = std::vector<std::string>;

// Media files of the sample library: what the first scan must find.
inline std::size_t sampleMediaCount() {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(TARNO_SAMPLE_LIBRARY))
    if (entry.is_regular_file() && entry.path().extension() != ".xmp") ++count;
  return count;
}

// A temporary directory holding a copy of the sample library ("photos"), the store ("store")
// and the socket ("ipc.sock", with the endpoint file beside it).
struct Place {
  Place() { fs::copy(TARNO_SAMPLE_LIBRARY, photos(), fs::copy_options::recursive); }
  std::string photos() const { return dir.path() + "/photos"; }
  std::string store() const { return dir.path() + "/store"; }
  std::string socket() const { return dir.path() + "/ipc.sock"; }
  std::string endpointFile() const { return dir.path() + "/ipc-endpoint.json"; }
  Strings arguments() const { return {"--ipc", socket(), "--store", store(), photos()}; }
  fakes::TempDir dir;
};

// A running tarno-headless (SIGKILLed if still running when dropped), with what it has written
// to standard error so far.
struct Headless {
  explicit Headless(const Strings& arguments)
      : child(std::get<ChildProcess>(
            ChildProcess::spawn(ChildProcess::Options(TARNO_HEADLESS_PATH)
                                    .withArguments(arguments)
                                    .withEnvironment({"PATH=/usr/bin:/bin"})
                                    .withStandardOutput(ChildProcess::Stdio::devNull())
                                    .withStandardError(ChildProcess::Stdio::piped())))),
        err(child.takeStderr()) {}
  ~Headless() {
    if (child.isRunning()) child.sendSignal(SIGKILL);
  }

  // Reads standard error until it holds a whole line (or ends, or 60 s pass).
  std::string firstLine() { return firstLines(1); }
  // The same for the first `count` lines.
  std::string firstLines(std::size_t count) {
    const auto lines = [&] {
      return static_cast<std::size_t>(std::count(said.begin(), said.end(), '\n'));
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (lines() < count && std::chrono::steady_clock::now() < deadline) {
      char buffer[4096];
      const ReadResult read = readWithin(err.get(), buffer, 1s);
      if (read.status == ReadResult::Status::data) said.append(buffer, read.size);
      if (read.status == ReadResult::Status::endOfFile || read.status == ReadResult::Status::failed)
        break;
    }
    std::size_t from = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t end = said.find('\n', from);
      if (end == std::string::npos) break;
      from = end + 1;
    }
    return said.substr(0, from);
  }
  // Everything it writes to standard error until it exits.
  std::string restOfOutput() {
    std::array sources{OutputSource{err.get(), [&](auto chunk) { said += chunk; }}};
    readToEnd(sources);
    return said;
  }

  ChildProcess child;
  unique_fd err;
  std::string said;
};

// One request on a connection of its own, its response line.
inline std::string call(const std::string& socket, std::string_view method,
                        std::string params = "") {
  LineClient client(socket);
  EXPECT_TRUE(client.send(R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(method) + "\"" +
                          (params.empty() ? "" : R"(,"params":)" + params) + "}\n"));
  return client.readLine().value_or("");
}

template <class R>
R result(const std::string& line) {
  const auto outcome = protocol::RPC::decodeResponse<R>(line);
  if (const auto* error = outcome.template as<protocol::RPCError>())
    throw std::runtime_error("error " + std::to_string(error->code) + ": " + error->message);
  return *outcome.template as<R>();
}

// Pings until the first scan has found every file of the sample library (and `added` more).
inline void awaitScan(const std::string& socket, std::size_t added = 0) {
  const auto expected = static_cast<std::int64_t>(sampleMediaCount() + added);
  std::int64_t found = -1;
  for (int attempt = 0; attempt < 600 && found != expected; ++attempt) {
    found = result<protocol::PingResult>(call(socket, "system.ping")).photoCount;
    if (found != expected) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(found, expected);
}

}  // namespace tarno::assistant
