// A program built only from the installed headers and libraries: it decodes one assistant
// event from standard input and writes it back as one frame, through all three libraries.
#include <iostream>
#include <iterator>
#include <string>

#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"

int main() {
  const std::string input{std::istreambuf_iterator<char>(std::cin), {}};
  try {
    const auto event = tarno::core::decodeFromString<tarno::assistant::AssistantEvent>(input);
    std::cout << tarno::protocol::FrameCodec::encodeFrame(event);
    return 0;
  } catch (const tarno::core::DecodingError& e) {
    std::cerr << "consumer: " << e.what() << '\n';
  }
  return 1;
}
