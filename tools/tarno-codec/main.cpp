// tarno-codec: checks a JSON document against one of the real protocol, session or model types,
// decoding and re-encoding it with exactly the code the app links.
//
//   tarno-codec types          every type name, one a line
//   tarno-codec decode TYPE    one document on standard input; the re-encoded value as one
//                              compact line (exit 0), or the decoding error on standard error
//                              (exit 1); an unknown type or other usage is exit 2
//
// Output that cannot be written (a closed pipe, a full disk) is reported and exits 1.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/protocol/frame_codec.hpp"
#include "tarno/protocol/protocol_types.hpp"

namespace {

using namespace tarno;

constexpr auto kTypes =
    protocol::join(protocol::join(protocol::ProtocolTypes{}, protocol::ModelTypes{}),
                   protocol::TypeList<assistant::AssistantEvent, assistant::AssistantCommand,
                                      assistant::AssistantRunRequest>{});

// Every one of these documents crosses a socket as one frame, so nothing longer is one of them;
// reading stops there rather than holding whatever the input goes on giving (/dev/zero).
constexpr std::size_t maxDocumentBytes = protocol::FrameCodec::maxFrameBytes;

// All of standard input into `out`; otherwise why it could not be had.
std::optional<std::string> readDocument(std::string& out) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const assistant::ReadResult read =
        assistant::readWithin(STDIN_FILENO, buffer, std::chrono::milliseconds(-1));
    if (read.status == assistant::ReadResult::Status::endOfFile) return std::nullopt;
    if (read.status != assistant::ReadResult::Status::data) {
      return "couldn't read standard input: " + std::string(std::strerror(read.error));
    }
    if (read.size > maxDocumentBytes - out.size()) {
      return "the document is longer than " + std::to_string(maxDocumentBytes) + " bytes";
    }
    out.append(buffer.data(), read.size);
  }
}

int usage() {
  std::cerr << "usage: tarno-codec types | decode TYPE < document.json\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  // A reader of our output that goes away must fail our writes, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  if (command == "types" && argc == 2) {
    for (std::string_view name : protocol::typeNames(kTypes)) {
      if (!assistant::printLine("tarno-codec", name)) return 1;
    }
    return 0;
  }
  if (command != "decode" || argc != 3) return usage();
  const std::string_view type = argv[2];
  const std::vector<std::string_view> names = protocol::typeNames(kTypes);
  if (std::find(names.begin(), names.end(), type) == names.end()) {
    std::cerr << "tarno-codec: unknown type " << type << '\n';
    return usage();
  }
  std::string input;
  if (const std::optional<std::string> problem = readDocument(input)) {
    std::cerr << "tarno-codec: " << *problem << '\n';
    return 1;
  }
  try {
    return assistant::printLine("tarno-codec", *protocol::reencodeAs(kTypes, type, input)) ? 0 : 1;
  } catch (const core::DecodingError& e) {
    std::cerr << "tarno-codec: " << e.what() << '\n';
  }
  return 1;
}
