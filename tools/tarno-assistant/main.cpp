// tarno-assistant: the AI assistant's helper process.
#include <string>
#include <vector>

#include "tarno_assistant_helper.hpp"

int main(int argc, char** argv) {
  return tarno::assistant::TarnoAssistantHelper::main(std::vector<std::string>(argv, argv + argc));
}
