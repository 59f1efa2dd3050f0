// Blocking primitives of the helper socket: Unix-domain stream sockets carrying line frames.
//
// Every function only uses the descriptor it is given (never closes it) and may be called from
// any thread, as long as nobody closes that descriptor meanwhile. One thread at a time reads a
// given descriptor; writes may come from another thread while a read is pending. Failures are
// reported by the result (an invalid descriptor, nothing, or false): nothing throws, nothing
// logs, and no call has a time limit unless it is given one. Every socket is close-on-exec from
// its creation, and no write can raise SIGPIPE.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/protocol/frame_codec.hpp"

// GNU dialects predefine `unix` as 1, which would rename SocketAddr::unix below.
#ifdef unix
#undef unix
#endif

namespace tarno::assistant {

namespace SocketAddr {

// The address of the socket file at `path`: family AF_UNIX, the path's bytes, a NUL, zeros to
// the end of the record. Absent when the path and its NUL exceed 104 bytes (the protocol's
// limit on every platform, even where sun_path is larger), or when the path is empty or holds
// a NUL byte: Linux would read either as an abstract-namespace name, not a file. Pass the full
// sizeof(sockaddr_un) as the address length.
std::optional<sockaddr_un> unix(std::string_view path);

}  // namespace SocketAddr

namespace SocketIO {

// Bytes asked for by each read call.
inline constexpr std::size_t readSize = 65'536;

// A new blocking AF_UNIX stream socket; invalid on failure with errno set.
unique_fd makeSocket();

// The next connection waiting on `listenFD`, close-on-exec; invalid on failure with errno set.
// The peer's address is not asked for.
unique_fd acceptConnection(int listenFD);

// The effective user id the peer had when it connected, or nothing when the system cannot
// tell.
std::optional<uid_t> peerUserID(int fd);

// A socket connected to the socket file at `path`, or invalid when the path does not fit an
// address (no system call is made then) or the socket cannot be made or connected.
unique_fd connect(std::string_view path);

// The bytes of one read call of up to readSize bytes; nothing at end of stream or on any error
// (an interrupted call included: there is no retry).
std::optional<std::string> readChunk(int fd);

// Reads frames from one connection, one read call at a time, with one scanner for its life.
//
// A peer that sends an unterminated line longer than FrameCodec::maxFrameBytes is given up on:
// the reader ends as if the connection had closed, so what it holds stays within the frame
// limit plus one read. Nothing would be gained by skipping to the next line feed: the peer is
// broken or hostile, and every reader here serves exactly one peer.
class FrameReader {
 public:
  explicit FrameReader(int fd) noexcept : fd_(fd) {}

  // Blocks in one read and returns the frames that it completes, oldest first (often none).
  // Nothing once the peer has closed, a read has failed or the reader has given up; from then
  // on every call returns nothing without reading. Bytes of an unfinished frame are dropped.
  std::optional<std::vector<std::string>> nextFrames();

  // Bytes read so far.
  std::size_t bytesRead() const noexcept { return bytesRead_; }

 private:
  int fd_;
  std::size_t bytesRead_ = 0;
  protocol::FrameCodec::LineScanner scanner_;
  bool ended_ = false;
};

// The payload of the first complete frame, read with a reader of its own; nothing if the
// connection ends (or is given up on) first. Frames and bytes after the first one in the same
// read are discarded.
std::optional<std::string> readOneFrame(int fd);

// As readOneFrame, but nothing also once `limit` has passed without a complete frame (however
// slowly its bytes trickle in). `bytesRead` receives how much was read, frame or not.
std::optional<std::string> readOneFrame(int fd, std::chrono::milliseconds limit,
                                        std::size_t& bytesRead);

// Frames `payload` and writes all of it; false, with nothing written, when the payload holds a
// line feed or exceeds the frame limit, and false at the first send that writes nothing (part
// of the frame may be out by then). A peer that has gone gives false, never a signal. `fd`
// must be a socket.
//
// Blocking callers simply call this on their own thread; a thread that must write while a
// read is pending on the same descriptor can, because reads and writes of a socket do not wait
// for each other. So there is no second, queued form.
bool writeFrame(int fd, std::string_view payload);

// Writes all of `bytes` (frames already encoded, several at once when a writer has more than
// one waiting): false at the first send that writes nothing, as writeFrame. `fd` must be a
// socket.
bool writeAll(int fd, std::string_view bytes);

}  // namespace SocketIO

// A connection's descriptor shared between the thread that reads it, a termination hook that
// closes it, and writers on other threads. Every access goes through the box's lock, so a
// writer holding the lock (withFD) can never see the descriptor closed under it. A descriptor
// still held when the box is destroyed is closed then.
class FDBox {
 public:
  FDBox() = default;
  FDBox(const FDBox&) = delete;
  FDBox& operator=(const FDBox&) = delete;

  // Takes ownership of `fd`; a descriptor held before is closed.
  void store(unique_fd fd);

  // Hands the descriptor over (invalid when there is none); the box holds -1 afterwards.
  // Whoever takes it closes it, so the descriptor is closed exactly once.
  [[nodiscard]] unique_fd take();

  // Calls `use(fd)` with the descriptor held, or -1, under the lock, and returns its result.
  // Do not take another lock inside that is held elsewhere while this box's lock is awaited.
  template <class F>
  decltype(auto) withFD(F&& use) {
    std::lock_guard guard(lock_);
    return std::forward<F>(use)(fd_.get());
  }

 private:
  std::mutex lock_;
  unique_fd fd_;
};

// Holder of the box of the one connection currently registered (or none). Its lock is held only
// to read or replace the value, and never while a box's lock is held.
class ActiveConnection {
 public:
  std::shared_ptr<FDBox> value() const;
  // Replaces the registered box (nullptr registers none).
  void setValue(std::shared_ptr<FDBox> box);

 private:
  mutable std::mutex lock_;
  std::shared_ptr<FDBox> value_;
};

}  // namespace tarno::assistant
