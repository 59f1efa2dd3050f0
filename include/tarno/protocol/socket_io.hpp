// Blocking primitives of the project's Unix-domain stream sockets carrying line frames: the
// helper's socket and the app's IPC socket are both served and used with these.
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
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tarno/protocol/frame_codec.hpp"
#include "tarno/protocol/unique_fd.hpp"

// GNU dialects predefine `unix` as 1, which would rename SocketAddr::unix below.
#ifdef unix
#undef unix
#endif

namespace tarno::protocol {

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

// The identity of a file (device and inode), to tell later whether a path still names it.
using FileIdentity = std::pair<dev_t, ino_t>;

// A socket bound to a file and listening on it.
struct Listener {
  unique_fd fd;
  std::optional<FileIdentity> file;  // the socket file that bind created, when it could be read
};

// Why listenAt() failed: which step, with its errno (0 for pathTooLong).
struct ListenFailure {
  enum class Step : std::uint8_t { socketFailed, bindFailed, listenFailed, pathTooLong };
  Step step;
  int error = 0;
};

// Binds a new socket at `path` (which must not exist: callers remove what they find there
// first), gives the socket file mode 0600 so that only its owner may connect, and listens.
// pathTooLong, before anything is touched, when the path does not fit an address. After a
// failed listen the socket file is removed again, so a failure leaves no file of its own.
std::variant<Listener, ListenFailure> listenAt(std::string_view path, int backlog);

// Removes the file at `path` if it is still `file` (a later server on the same path keeps its
// socket). Call it while the listening socket is still open, so that the inode cannot have been
// recycled for another file.
void removeSocketFile(std::string_view path, const std::optional<FileIdentity>& file);

// Whether a process accepts connections on the socket file at `path` now.
bool socketAnswers(std::string_view path);

// Waits for the next connection on `listenFD` whose peer runs under this process's own user
// and returns it, close-on-exec. Connections of other users (or whose credentials cannot be
// read) are closed without a word; `refused` hears of each, with the peer's user id when it is
// known. Returns invalid as soon as `wakeFD` is readable (the caller is stopping). A failure
// that would repeat at once (out of descriptors or memory) is retried after a short pause, so
// that nobody spins.
unique_fd acceptSameUser(int listenFD, int wakeFD,
                         const std::function<void(std::optional<uid_t>)>& refused = {});

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
  // Whether the reader ended because of an unterminated line over the frame limit.
  bool gaveUp() const noexcept { return gaveUp_; }

 private:
  int fd_;
  std::size_t bytesRead_ = 0;
  FrameCodec::LineScanner scanner_;
  bool ended_ = false;
  bool gaveUp_ = false;
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

}  // namespace tarno::protocol
