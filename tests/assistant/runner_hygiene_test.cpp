// Hundreds of CLI runs in a row (finished, cancelled, failed to launch) must leave no child,
// descriptor or thread behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

// Entries of a /proc directory; the descriptor that lists it counts every time alike.
int countEntries(const char* path) {
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

int openDescriptors() {
  return countEntries("/proc/self/fd");
}
int threads() {
  return countEntries("/proc/self/task");
}

// The error of looking for a child that has exited, without reaping it: ECHILD when there are
// no children at all, 0 when there are some but none has exited.
int waitableChildError() {
  siginfo_t info{};
  if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno;
  return info.si_pid == 0 ? 0 : -info.si_pid;
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
  const auto environmentFor = [](const fakes::TempDir& home) {
    Environment environment{{"HOME", home.path()}, {"PATH", "/usr/bin:/bin"}};
    if (childSanitizerOptions != nullptr) environment["ASAN_OPTIONS"] = childSanitizerOptions;
    return environment;
  };

  // Runs of earlier tests may still be winding down.
  const auto settled = [](std::chrono::seconds limit, auto condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
  };
  settled(10s, [] {
    const int before = threads();
    std::this_thread::sleep_for(20ms);
    return waitableChildError() == ECHILD && threads() == before;
  });
  ASSERT_EQ(waitableChildError(), ECHILD) << "children left over from before";
  const int fdsBefore = openDescriptors();
  const int threadsBefore = threads();
  ASSERT_GT(fdsBefore, 0);
  ASSERT_GT(threadsBefore, 0);

  for (int i = 0; i < runs; ++i) {
    SCOPED_TRACE(i);
    switch (i % 10) {
      case 7: {  // the consumer goes away while the child hangs
        auto stream = ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, {"-p", "x"},
                                                  environmentFor(hanging), std::nullopt,
                                                  StreamJSONParser::events);
        ASSERT_TRUE(stream.next().has_value());
        break;
      }
      case 8: {  // nothing to start
        auto stream = ClaudeProcessRunner::stream(finishing.path() + "/missing", {"-p", "x"},
                                                  environmentFor(finishing), std::nullopt,
                                                  StreamJSONParser::events);
        auto event = stream.next();
        ASSERT_TRUE(event.has_value());
        ASSERT_TRUE(event->is<AssistantEvent::Finished>());
        ASSERT_FALSE(stream.next().has_value());
        break;
      }
      default: {
        auto stream = ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, {"-p", "x"},
                                                  environmentFor(finishing), std::nullopt,
                                                  StreamJSONParser::events);
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
  // give the last ones a moment. Fewer threads than before is no leak (an earlier test's
  // thread may have ended meanwhile).
  settled(10s, [&] {
    return openDescriptors() == fdsBefore && threads() <= threadsBefore &&
           waitableChildError() == ECHILD;
  });
  EXPECT_EQ(openDescriptors(), fdsBefore);
  EXPECT_LE(threads(), threadsBefore);
  EXPECT_EQ(waitableChildError(), ECHILD);
}

}  // namespace
}  // namespace tarno::assistant
