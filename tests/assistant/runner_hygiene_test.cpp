// Hundreds of CLI runs in a row (finished, cancelled at any moment, failed to launch) must leave
// no child, descriptor or thread behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}
long threads() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

// Whether this process has no child at all, running or exited (the check reaps nothing).
bool noChildren() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
}

#if defined(__SANITIZE_ADDRESS__)
#define TARNO_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNO_UNDER_ASAN 1
#endif
#endif

#ifdef TARNO_UNDER_ASAN
// A sanitized fake-claude takes ~50 ms to start and exit here, ten times a plain one.
constexpr int runs = 250;
// The children's own leak check at exit is not what this test is about, and it is slow.
constexpr const char* childSanitizerOptions = "detect_leaks=0";
#else
constexpr int runs = 500;
constexpr const char* childSanitizerOptions = nullptr;
#endif

// Polls `condition` until it holds or `limit` passes.
template <class Condition>
void settle(std::chrono::seconds limit, Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
}

TEST(RunnerHygieneTest, ManyRunsInARowLeaveNoChildDescriptorOrThread) {
  fakes::TempDir finishing, hanging;
  {
    fakes::FakeClaudeScript script;
    script.print()
        .out(R"({"type":"system","subtype":"init","session_id":"s","model":"m"})")
        .err("noise on standard error")
        .out(R"({"type":"result","subtype":"success","is_error":false,"result":"ok",)"
             R"("session_id":"s"})");
    script.install(finishing.path());
  }
  {
    fakes::FakeClaudeScript script;
    script.print().out(R"({"type":"system","subtype":"init","session_id":"s"})").hang();
    script.install(hanging.path());
  }
  const auto start = [](const fakes::TempDir& home, std::string executable) {
    Environment environment{{"HOME", home.path()}, {"PATH", "/usr/bin:/bin"}};
    if (childSanitizerOptions != nullptr) environment["ASAN_OPTIONS"] = childSanitizerOptions;
    return ClaudeProcessRunner::stream(std::move(executable), {"-p", "x"}, environment,
                                       std::nullopt, StreamJSONParser::events);
  };

  // Runs of earlier tests may still be winding down.
  settle(10s, [] {
    const auto before = threads();
    std::this_thread::sleep_for(20ms);
    return noChildren() && threads() == before;
  });
  ASSERT_TRUE(noChildren()) << "children left over from before";
  const auto fdsBefore = openDescriptors();
  const auto threadsBefore = threads();

  for (int i = 0; i < runs; ++i) {
    SCOPED_TRACE(i);
    switch (i % 10) {
      case 6: {  // the consumer goes away at once, most often before the spawn
        auto stream = start(hanging, TARNO_FAKE_CLAUDE_PATH);
        break;
      }
      case 7: {  // the consumer goes away while the child hangs
        auto stream = start(hanging, TARNO_FAKE_CLAUDE_PATH);
        ASSERT_TRUE(stream.next().has_value());
        break;
      }
      case 8: {  // nothing to start
        auto stream = start(finishing, finishing.path() + "/missing");
        auto event = stream.next();
        ASSERT_TRUE(event.has_value());
        ASSERT_TRUE(event->is<AssistantEvent::Finished>());
        ASSERT_FALSE(stream.next().has_value());
        break;
      }
      default: {
        auto stream = start(finishing, TARNO_FAKE_CLAUDE_PATH);
        int events = 0;
        std::optional<AssistantEvent> last;
        while (auto event = stream.next()) {
          ++events;
          last = std::move(event);
        }
        ASSERT_EQ(events, 2);
        ASSERT_EQ(last, AssistantEvent::finished("ok", false, "s"));
        break;
      }
    }
  }

  // A run's thread ends just after its stream does, and a cancelled run winds down on its own:
  // give the last ones a moment. A hanging child that was never told to stop shows up here.
  // Fewer threads than before is no leak (an earlier test's thread may have ended meanwhile).
  settle(10s, [&] {
    return openDescriptors() == fdsBefore && threads() <= threadsBefore && noChildren();
  });
  EXPECT_EQ(openDescriptors(), fdsBefore);
  EXPECT_LE(threads(), threadsBefore);
  EXPECT_TRUE(noChildren());
}

}  // namespace
}  // namespace tarno::assistant
