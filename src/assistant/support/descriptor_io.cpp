// Time-limited reads and complete writes on plain descriptors.
#include "tarno/assistant/support/descriptor_io.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tarno/assistant/support/child_process.hpp"

namespace tarno::assistant {

ReadResult readWithin(int fd, std::span<char> buffer, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeout.count() < 0;
  const auto deadline = Clock::now() + (unlimited ? std::chrono::milliseconds(0) : timeout);
  for (;;) {
    int waitMs = -1;
    if (!unlimited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      waitMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return {ReadResult::Status::failed, 0, errno};
    }
    if (ready == 0) return {ReadResult::Status::timedOut, 0, 0};
    if (entry.revents & POLLNVAL) return {ReadResult::Status::failed, 0, EBADF};
    // Readable, hung up or in error: read() tells which without blocking.
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got > 0) return {ReadResult::Status::data, static_cast<std::size_t>(got), 0};
    if (got == 0) return {ReadResult::Status::endOfFile, 0, 0};
    if (errno == EINTR) continue;
    // A spurious wake-up on a descriptor another reader drained.
    if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return {ReadResult::Status::failed, 0, errno};
  }
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

bool printLine(std::string_view program, std::string_view line) {
  errno = 0;
  if (writeAll(STDOUT_FILENO, line) && writeAll(STDOUT_FILENO, "\n")) return true;
  const int error = errno;
  std::string note(program);
  note += ": couldn't write to standard output: ";
  note += error != 0 ? std::strerror(error) : "nothing was written";
  note += '\n';
  (void)writeAll(STDERR_FILENO, note);
  return false;
}

namespace {

using Clock = std::chrono::steady_clock;

// How often a stopping child is looked at when the caller gave no tick.
constexpr std::chrono::milliseconds stopTick{50};

// Bounds the reads of what is waiting once reading ends early, in case something else keeps
// writing.
constexpr int maxDrainReads = 64;

// One read of `source`; false (and the source marked ended) at its end.
bool readOnce(OutputSource& source, std::span<char> buffer) {
  ssize_t got;
  do {
    got = ::read(source.fd, buffer.data(), buffer.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (got <= 0) {
    source.open = false;
    return false;
  }
  if (source.onChunk)
    source.onChunk(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  return true;
}

void drain(std::span<OutputSource> sources, std::span<char> buffer) {
  for (OutputSource& source : sources) {
    for (int i = 0; i < maxDrainReads && source.open; ++i) {
      pollfd entry{source.fd, POLLIN, 0};
      if (::poll(&entry, 1, 0) <= 0 || !readOnce(source, buffer)) break;
    }
  }
}

// The child's end when its owner stops: SIGTERM first, SIGKILL after the grace period.
class StopEscalation {
 public:
  explicit StopEscalation(const ReadToEndControl& control) : control_(control) {}

  bool possible() const { return control_.child != nullptr && control_.stop.stop_possible(); }

  // False once reading should end.
  bool keepReading() {
    if (!possible() || !control_.stop.stop_requested()) return true;
    if (!signalled_) {
      signalled_ = true;
      killAt_ = Clock::now() + ChildProcess::terminationGrace;
      control_.child->terminate();
    }
    if (!control_.child->isRunning()) return false;
    if (Clock::now() < killAt_) return true;
    control_.child->sendSignal(SIGKILL);
    return false;
  }

 private:
  const ReadToEndControl& control_;
  bool signalled_ = false;
  Clock::time_point killAt_{};
};

}  // namespace

void readToEnd(std::span<OutputSource> sources, const ReadToEndControl& control) {
  std::vector<char> buffer(std::max<std::size_t>(control.chunkBytes, 1));
  StopEscalation stopping(control);
  std::chrono::milliseconds tick =
      control.keepReading ? control.tick : std::chrono::milliseconds(-1);
  if (stopping.possible() && (tick.count() < 0 || tick > stopTick)) tick = stopTick;
  auto nextCheck = Clock::now() + tick;
  std::vector<pollfd> entries;
  for (;;) {
    entries.clear();
    for (const OutputSource& source : sources) {
      if (source.open) entries.push_back({source.fd, POLLIN, 0});
    }
    if (entries.empty()) return;
    int waitMs = -1;
    if (tick.count() >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextCheck - Clock::now());
      waitMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    const int ready = ::poll(entries.data(), entries.size(), waitMs);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0) {
      std::size_t polled = 0;
      for (OutputSource& source : sources) {
        if (!source.open) continue;
        if (entries[polled++].revents != 0) readOnce(source, buffer);
      }
    }
    if (tick.count() >= 0 && Clock::now() >= nextCheck) {
      nextCheck = Clock::now() + tick;
      if (!stopping.keepReading() || (control.keepReading && !control.keepReading())) {
        drain(sources, buffer);
        return;
      }
    }
  }
}

}  // namespace tarno::assistant
