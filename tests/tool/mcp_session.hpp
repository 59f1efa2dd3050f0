// Runs tarno-mcp over one scripted session: the input written to its standard input, then
// closed; what it printed on standard output comes back. It must end quietly with status 0.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/core/json_value.hpp"

namespace tarno::testing {

inline std::string mcpSession(const std::string& program, const std::string& ipc,
                              const std::string& input) {
  using namespace assistant;
  auto child = std::get<ChildProcess>(
      ChildProcess::spawn(ChildProcess::Options(program)
                              .withArguments({"--ipc", ipc})
                              .withStandardInput(ChildProcess::Stdio::piped())
                              .withStandardOutput(ChildProcess::Stdio::piped())
                              .withStandardError(ChildProcess::Stdio::piped())));
  std::jthread feed([&input, in = child.takeStdin()] { (void)writeAll(in.get(), input); });
  const unique_fd out = child.takeStdout(), err = child.takeStderr();
  std::string printed, noted;
  std::array sources{OutputSource{out.get(), [&](auto chunk) { printed += chunk; }},
                     OutputSource{err.get(), [&](auto chunk) { noted += chunk; }}};
  readToEnd(sources);
  EXPECT_EQ(child.wait(), ExitStatus::exitedWith(0));
  EXPECT_EQ(noted, "");
  return printed;
}

// Each answer line parsed; a line that is not JSON fails the test.
inline std::vector<core::JsonValue> answerLines(const std::string& printed) {
  std::vector<core::JsonValue> answers;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    std::optional<core::JsonValue> parsed = core::parseJsonIfValid(line);
    EXPECT_TRUE(parsed) << line.substr(0, 200);
    answers.push_back(parsed ? std::move(*parsed) : core::JsonValue());
  }
  return answers;
}

}  // namespace tarno::testing
