// tarno-codec: checks a JSON document against one of the real protocol, session or model types,
// decoding and re-encoding it with exactly the code the app links.
//
//   tarno-codec types          every type name, one a line
//   tarno-codec decode TYPE    one document on standard input; the re-encoded value as one
//                              compact line (exit 0), or the decoding error on standard error
//                              (exit 1); an unknown type or other usage is exit 2
#include <algorithm>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/protocol/protocol_types.hpp"

namespace {

using namespace tarno;

constexpr auto kTypes =
    protocol::join(protocol::join(protocol::ProtocolTypes{}, protocol::ModelTypes{}),
                   protocol::TypeList<assistant::AssistantEvent, assistant::AssistantCommand,
                                      assistant::AssistantRunRequest>{});

int usage() {
  std::cerr << "usage: tarno-codec types | decode TYPE < document.json\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "types" && argc == 2) {
    for (std::string_view name : protocol::typeNames(kTypes))
      std::cout << name << '\n';
    return 0;
  }
  if (command != "decode" || argc != 3) return usage();
  const std::string_view type = argv[2];
  const std::vector<std::string_view> names = protocol::typeNames(kTypes);
  if (std::find(names.begin(), names.end(), type) == names.end()) {
    std::cerr << "tarno-codec: unknown type " << type << '\n';
    return usage();
  }
  const std::string input{std::istreambuf_iterator<char>(std::cin), {}};
  try {
    std::cout << *protocol::reencodeAs(kTypes, type, input) << '\n';
    return 0;
  } catch (const core::DecodingError& e) {
    std::cerr << "tarno-codec: " << e.what() << '\n';
  }
  return 1;
}
