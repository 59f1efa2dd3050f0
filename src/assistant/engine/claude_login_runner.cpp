// The claude CLI's sign-in on a pseudo-terminal, relayed as assistant events.
#include "tarno/assistant/engine/claude_login_runner.hpp"

#include <signal.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <utility>
#include <vector>

#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/assistant/support/pty.hpp"
#include "tarno/assistant/support/thread_owner.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {

namespace {

using Clock = std::chrono::steady_clock;
using Continuation = EventStream<AssistantEvent>::Continuation;

constexpr std::string_view openingText =
    "Opening your browser to sign in to Claude\u2026 authorize there, then come back.";
constexpr std::string_view noPtyText = "Couldn't set up sign-in (no pty).";
constexpr std::string_view startFailedPrefix = "Couldn't start sign-in: ";
constexpr std::string_view signedInText = "Signed in \u2014 you're connected to Claude. Ask away.";
constexpr std::string_view timedOutText =
    "Sign-in didn't complete in time. Make sure you finished authorizing in the browser, then "
    "try Connect again.";
constexpr std::string_view failedText = "Sign-in didn't complete. Try Connect again.";
constexpr std::string_view urlPrefix = "If your browser didn't open, sign in here:\n";

const std::string esc = "\x1b";
const std::string bel = "\x07";

// The patterns hold the raw ESC and BEL characters.
const std::string osc8LinkPattern =
    esc + "\\]8;[^;]*;([^" + esc + bel + "]+)(?:" + esc + "\\\\|" + bel + ")";
const std::string oscSequencePattern =
    esc + "\\][^" + esc + bel + "]*(?:" + esc + "\\\\|" + bel + ")";
const std::string csiSequencePattern = esc + "\\[[0-9;?]*[ -/]*[@-~]";

std::unique_ptr<icu::RegexPattern> compile(const std::string& pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), 0, parseError, status));
  if (U_FAILURE(status)) return nullptr;
  return compiled;
}

// The terminal of the sign-in in progress. `lock` is held while a code is written, and while
// the sign-in clears `value` before closing the terminal.
struct ActivePTY {
  std::mutex lock;
  std::optional<int> value;
};

// Everything the sign-in shares process-wide, built on first use. Threads are joined before
// the patterns and the active terminal they use go away.
struct SignInShared {
  std::unique_ptr<icu::RegexPattern> osc8Link = compile(osc8LinkPattern);
  std::unique_ptr<icu::RegexPattern> oscSequence = compile(oscSequencePattern);
  std::unique_ptr<icu::RegexPattern> csiSequence = compile(csiSequencePattern);
  ActivePTY activeLogin;
  ThreadOwner threads;  // last member: stopped and joined first
};

SignInShared& shared() {
  static SignInShared instance;
  return instance;
}

std::string toUTF8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

bool startsWithHTTPS(std::string_view text) {
  return text.substr(0, 8) == "https://";
}

// Removes every match of `pattern` (absent when it could not be compiled: nothing is removed).
void removeMatches(const icu::RegexPattern* pattern, icu::UnicodeString& text) {
  if (pattern == nullptr) return;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
  if (U_FAILURE(status)) return;
  icu::UnicodeString replaced = matcher->replaceAll(icu::UnicodeString(), status);
  if (U_SUCCESS(status)) text = std::move(replaced);
}

bool isTokenSeparator(UChar32 c) {
  static constexpr std::u16string_view punctuation = u"\"'`<>()[]{}";
  return u_isUWhiteSpace(c) ||
         (c < 0x80 && punctuation.find(static_cast<char16_t>(c)) != std::u16string_view::npos);
}

bool isTrimmed(UChar c) {
  return c == u'.' || c == u',' || c == u';' || c == u':';
}

std::vector<std::string> addressTokens(const icu::UnicodeString& text) {
  std::vector<std::string> tokens;
  const auto consider = [&](icu::UnicodeString token) {
    if (!token.startsWith(icu::UnicodeString(u"https://"))) return;
    int32_t start = 0;
    int32_t end = token.length();
    while (start < end && isTrimmed(token.charAt(start)))
      ++start;
    while (end > start && isTrimmed(token.charAt(end - 1)))
      --end;
    token = icu::UnicodeString(token, start, end - start);
    // Two addresses printed without a gap.
    const int32_t again = token.indexOf(icu::UnicodeString(u"https://"), 8);
    if (again >= 0) token.truncate(again);
    std::string utf8 = toUTF8(token);
    if (core::characterCount(utf8) > 8) tokens.push_back(std::move(utf8));
  };
  int32_t tokenStart = 0;
  int32_t i = 0;
  while (i < text.length()) {
    const UChar32 c = text.char32At(i);
    const int32_t next = text.moveIndex32(i, 1);
    if (isTokenSeparator(c)) {
      if (i > tokenStart) consider(icu::UnicodeString(text, tokenStart, i - tokenStart));
      tokenStart = next;
    }
    i = next;
  }
  if (text.length() > tokenStart) consider(icu::UnicodeString(text, tokenStart));
  return tokens;
}

bool containsAny(std::string_view haystack, std::initializer_list<std::string_view> needles) {
  for (std::string_view needle : needles) {
    if (haystack.find(needle) != std::string_view::npos) return true;
  }
  return false;
}

// How often a sign-in looks at its time limit.
constexpr std::chrono::milliseconds deadlineTick{50};

constexpr std::string_view childName = "claude auth login";

constexpr std::size_t scanWindowBytes = 16 * 1024;

// A terminal source that hands `onText` everything read so far, decoded, after each chunk.
OutputSource accumulating(int fd, std::string& bytes,
                          const std::function<void(const std::string&)>& onText) {
  return {fd, [&bytes, &onText](std::string_view chunk) {
            bytes.append(chunk);
            onText(core::decodeUTF8Lossy(bytes));
          }};
}

void signIn(const Continuation& out, const std::string& executable,
            const ClaudeLoginRunner::Options& options, std::stop_token stop) {
  auto pty = Pty::open(ClaudeLoginRunner::terminalRows, ClaudeLoginRunner::terminalColumns);
  if (!pty) {
    out.yield(AssistantEvent::finished(std::string(noPtyText), true));
    out.finish();
    return;
  }
  const Environment environment =
      options.environment ? *options.environment
                          : ClaudeInvocation::subscriptionEnvironment(processEnvironment());
  auto spawnOptions = ChildProcess::Options(executable)
                          .withArguments({"auth", "login"})
                          .withEnvironment(environmentEntries(environment))
                          .withWorkingDirectory(options.workingDirectory
                                                    ? *options.workingDirectory
                                                    : TarnoAssistantConfig::agentWorkingDirectory())
                          .onTerminal(pty->slavePath());
  auto spawned = ChildProcess::spawn(spawnOptions);
  if (auto* error = std::get_if<LaunchError>(&spawned)) {
    pty.reset();
    out.yield(AssistantEvent::finished(std::string(startFailedPrefix) + error->message, true));
    out.finish();
    return;
  }
  ChildProcess& child = std::get<ChildProcess>(spawned);
  pty->closeSlave();
  unique_fd master = pty->takeMaster();
  pty.reset();
  const pid_t pid = child.pid();
  diagnostics::childStarted(childName, pid);
  diagnostics::debug("sign-in started");
  // Bounded so that an absurd limit cannot overflow the clock.
  const auto deadline =
      Clock::now() + std::clamp(options.timeLimit, std::chrono::milliseconds(0),
                                std::chrono::milliseconds(std::chrono::hours(24 * 365)));

  ActivePTY& active = shared().activeLogin;
  {
    std::lock_guard guard(active.lock);
    active.value = master.get();
  }

  bool urlAnnounced = false;
  bool codeRequested = false;
  const std::function<void(const std::string&)> scan = [&](const std::string& output) {
    if (!urlAnnounced) {
      if (auto url = ClaudeLoginRunner::extractAuthURL(output)) {
        urlAnnounced = true;
        diagnostics::debug("sign-in address found");
        out.yield(AssistantEvent::assistantText(std::string(urlPrefix) + *url));
      }
    }
    if (!codeRequested && ClaudeLoginRunner::expectsCode(output)) {
      codeRequested = true;
      diagnostics::debug("sign-in awaiting code");
      out.yield(AssistantEvent::awaitingLoginCode());
    }
  };
  bool timedOut = false;
  bool deadlinePending = true;
  // The scanner sees the latest output only, far more than an address or a prompt takes, and
  // nothing once both are out: a CLI flooding its terminal would otherwise cost memory and a
  // rescan of all it printed at every read.
  std::string recent;
  OutputSource terminal{master.get(), [&](std::string_view chunk) {
                          if (urlAnnounced && codeRequested) return;
                          recent.append(chunk);
                          if (recent.size() > scanWindowBytes)
                            recent.erase(0, recent.size() - scanWindowBytes);
                          scan(core::decodeUTF8Lossy(recent));
                        }};
  // At process exit (stop) the CLI is asked to end, and reading stops soon after even if
  // something it started still holds the terminal.
  readToEnd(std::span(&terminal, 1),
            {.chunkBytes = ClaudeLoginRunner::readBufferSize,
             .tick = deadlineTick,
             .keepReading =
                 [&] {
                   const auto now = Clock::now();
                   if (deadlinePending && now >= deadline) {
                     deadlinePending = false;
                     if (child.isRunning()) {
                       timedOut = true;
                       diagnostics::debug("sign-in timed out");
                       child.terminate();
                     }
                   }
                   // Past its limit, a CLI that ignores SIGTERM is
                   // killed after the grace.
                   if (timedOut && now >= deadline + ChildProcess::terminationGrace) {
                     child.sendSignal(SIGKILL);
                   }
                   return true;
                 },
             .child = &child,
             .stop = stop});

  // Otherwise the CLI is waited for as long as it takes: it has closed the terminal and is on
  // its way out.
  const ExitStatus status = stop.stop_requested() ? child.terminateAndWait() : child.wait();
  diagnostics::childExited(childName, pid, status);
  {
    std::lock_guard guard(active.lock);
    active.value.reset();
  }
  master.reset();
  diagnostics::debug(status.succeeded() ? "sign-in finished: signed in"
                                        : "sign-in finished: not signed in");

  if (status.succeeded()) {
    out.yield(AssistantEvent::finished(std::string(signedInText), false));
  } else {
    out.yield(AssistantEvent::finished(std::string(timedOut ? timedOutText : failedText), true));
  }
  out.finish();
}

}  // namespace

EventStream<AssistantEvent> ClaudeLoginRunner::stream(const std::string& executable) {
  return stream(executable, Options{});
}

EventStream<AssistantEvent> ClaudeLoginRunner::stream(const std::string& executable,
                                                      Options options) {
  auto [events, out] = EventStream<AssistantEvent>::make();
  out.yield(AssistantEvent::assistantText(std::string(openingText)));
  try {
    shared().threads.start(
        "login", [out = out, executable, options = std::move(options)](std::stop_token stop) {
          signIn(out, executable, options, std::move(stop));
        });
  } catch (const std::system_error& error) {
    out.yield(AssistantEvent::finished(
        std::string(startFailedPrefix) + LaunchError::fromErrno(error.code().value()).message,
        true));
    out.finish();
  }
  return std::move(events);
}

bool ClaudeLoginRunner::submitCode(std::string_view code) {
  const std::string trimmed = core::trimmingWhitespaceAndNewlines(code);
  if (trimmed.empty()) return false;
  ActivePTY& active = shared().activeLogin;
  std::lock_guard guard(active.lock);
  if (!active.value) return false;
  const bool written = writeAll(*active.value, trimmed + "\n");
  diagnostics::debug(written ? "sign-in code submitted" : "sign-in code could not be written");
  return written;
}

std::string ClaudeLoginRunner::readToEOF(int fd,
                                         const std::function<void(const std::string&)>& onChunk) {
  std::string bytes;
  OutputSource source = accumulating(fd, bytes, onChunk);
  readToEnd(std::span(&source, 1), {.chunkBytes = readBufferSize});
  return bytes;
}

std::optional<std::string> ClaudeLoginRunner::firstOSC8Target(std::string_view text) {
  const icu::RegexPattern* pattern = shared().osc8Link.get();
  if (pattern == nullptr) return std::nullopt;
  const icu::UnicodeString input = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(std::min<std::size_t>(
                                        text.size(), std::numeric_limits<int32_t>::max()))));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
  if (U_FAILURE(status)) return std::nullopt;
  while (matcher->find(status) && U_SUCCESS(status)) {
    if (matcher->groupCount() < 1) continue;
    icu::UnicodeString target = matcher->group(1, status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string utf8 = toUTF8(target);
    if (startsWithHTTPS(utf8)) return utf8;
  }
  return std::nullopt;
}

std::optional<std::string> ClaudeLoginRunner::extractAuthURL(std::string_view text) {
  if (auto target = firstOSC8Target(text)) return target;
  icu::UnicodeString plain = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(std::min<std::size_t>(
                                        text.size(), std::numeric_limits<int32_t>::max()))));
  removeMatches(shared().oscSequence.get(), plain);
  removeMatches(shared().csiSequence.get(), plain);
  const std::vector<std::string> tokens = addressTokens(plain);
  if (tokens.empty()) return std::nullopt;
  for (const std::string& token : tokens) {
    if (containsAny(core::lowercased(token), {"oauth", "authorize", "login"})) return token;
  }
  return tokens.front();
}

bool ClaudeLoginRunner::expectsCode(std::string_view text) {
  return containsAny(core::lowercased(text),
                     {"paste code", "paste the code", "authorization code:", "enter the code"});
}

}  // namespace tarno::assistant
