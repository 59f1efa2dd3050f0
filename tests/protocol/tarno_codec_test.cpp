// The tarno-codec tool as a shell or another language's test suite runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <variant>

#include "fakes/unwritable_output.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the tool with `arguments` (shell words) and `input` on standard input.
Outcome runCodec(const std::string& arguments, const std::string& input) {
  char pattern[] = "/tmp/tarno-codec-test-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  std::ofstream(dir / "in", std::ios::binary) << input;
  const std::string command = std::string(TARNO_CODEC_PATH) + " " + arguments + " <" +
                              (dir / "in").string() + " >" + (dir / "out").string() + " 2>" +
                              (dir / "err").string();
  const int raw = std::system(command.c_str());
  Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "out"), slurp(dir / "err")};
  std::filesystem::remove_all(dir);
  return o;
}

}  // namespace

TEST(TarnoCodec, ReencodesOrReportsWithItsExitStatus) {
  const struct {
    std::string arguments;
    std::string input;
    int status;
    std::string out;
    std::string err;  // what standard error starts with; empty means nothing at all
  } rows[] = {
      {"decode SnapshotInfo", R"({"createdAt":"2025-01-31T09:00:00+01:00","x":[],"name":"a"})", 0,
       "{\"name\":\"a\",\"createdAt\":\"2025-01-31T08:00:00Z\"}\n", ""},
      {"decode AssistantCommand", " {\"status\":{}}\n", 0, "{\"status\":{}}\n", ""},
      {"decode RateParams", R"({"ids":["a"]})", 1, "",
       "tarno-codec: No value associated with key \"rating\". (at rating)\n"},
      {"decode RateParams", "{", 1, "", "tarno-codec: "},
      {"decode NoSuchType", "{}", 2, "", "tarno-codec: unknown type NoSuchType\nusage: "},
      {"decode", "{}", 2, "", "usage: "},
      {"", "", 2, "", "usage: "},
      // A frame's worth is read whole; more is refused rather than held.
      {"decode RateParams", std::string(8388608 - 24, ' ') + R"({"ids":["a"],"rating":1})", 0,
       "{\"ids\":[\"a\"],\"rating\":1}\n", ""},
      {"decode RateParams", std::string(8388608 - 23, ' ') + R"({"ids":["a"],"rating":1})", 1, "",
       "tarno-codec: the document is longer than 8388608 bytes\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments + " < " + row.input.substr(0, 200));
    const Outcome o = runCodec(row.arguments, row.input);
    EXPECT_EQ(o.status, row.status);
    EXPECT_EQ(o.out, row.out);
    EXPECT_EQ(o.err.substr(0, row.err.empty() ? std::string::npos : row.err.size()), row.err);
  }
}

TEST(TarnoCodec, ListsEveryTypeOnce) {
  const Outcome o = runCodec("types", "");
  EXPECT_EQ(o.status, 0);
  std::istringstream lines(o.out);
  std::set<std::string> names;
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count)
    names.insert(line);
  EXPECT_EQ(names.size(), count);
  for (const char* name : {"RPCEnvelope", "EndpointInfo", "PingResult", "MovieListResult",
                           "AssistantEvent", "AssistantCommand", "AssistantRunRequest", "EditStack",
                           "EditOrigin", "PhotoSummary", "TarnoMovie", "SmartQuery"}) {
    EXPECT_TRUE(names.contains(name)) << name;
  }
}

TEST(TarnoCodec, FailsWhenItsOutputCannotBeWritten) {
  using tarno::assistant::ChildProcess;
  using tarno::assistant::unique_fd;
  const tarno::fakes::UnwritableOutputs outputs = tarno::fakes::unwritableOutputs();
  for (const int output : {outputs.full.get(), outputs.closedPipe.get()}) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"types"},
          std::vector<std::string>{"decode", "AssistantCommand"}}) {
      // An empty document would be refused without output: give one that decodes.
      int input[2];
      ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
      const unique_fd reading(input[0]);
      {
        const unique_fd writing(input[1]);
        ASSERT_TRUE(tarno::assistant::writeAll(writing.get(), R"({"status":{}})"));
      }
      auto child = std::get<ChildProcess>(
          ChildProcess::spawn(ChildProcess::Options(TARNO_CODEC_PATH)
                                  .withArguments(arguments)
                                  .withStandardInput(ChildProcess::Stdio::descriptor(reading.get()))
                                  .withStandardOutput(ChildProcess::Stdio::descriptor(output))
                                  .withStandardError(ChildProcess::Stdio::piped())));
      const unique_fd err = child.takeStderr();
      std::string noted;
      tarno::assistant::OutputSource source{err.get(), [&](auto chunk) { noted += chunk; }};
      tarno::assistant::readToEnd(std::span(&source, 1));
      EXPECT_EQ(child.wait(), tarno::assistant::ExitStatus::exitedWith(1)) << arguments[0];
      EXPECT_TRUE(noted.starts_with("tarno-codec: couldn't write to standard output: ")) << noted;
    }
  }
}
