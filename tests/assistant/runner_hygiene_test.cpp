// Hundreds of CLI runs in a row (finished, cancelled at any moment, failed to launch) must leave
// no child, descriptor or thread behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "engine_test_support.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace tarno::assistant {
namespace {

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

// A sanitized fake-claude takes ~50 ms to start and exit here, ten times a plain one.
#ifdef TARNO_UNDER_ASAN
constexpr int runs = 250;
#else
constexpr int runs = 500;
#endif

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
    return ClaudeProcessRunner::stream(std::move(executable), {"-p", "x"},
                                       {{"HOME", home.path()}, {"PATH", "/usr/bin:/bin"}},
                                       std::nullopt, StreamJSONParser::events);
  };

  // Children of earlier tests may still be on their way out; their threads and descriptors
  // went back down before those tests ended.
  ASSERT_TRUE(test_support::eventually(noChildren)) << "children left over from before";
  const test_support::ResourceCount resources;

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

  // A run's thread ends just after its stream does, and a cancelled run winds down on its own.
  // A hanging child that was never told to stop shows up here.
  EXPECT_TRUE(resources.settled());
  EXPECT_TRUE(test_support::eventually(noChildren));
}

}  // namespace
}  // namespace tarno::assistant
