// SocketIO over socketpairs and real socket files: addresses, frame reading and writing,
// close-on-exec and broken pipes.
#include "tarno/assistant/transport/socket_io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "engine_test_support.hpp"

namespace tarno::assistant {
namespace {

using test_support::sendAll;

std::pair<unique_fd, unique_fd> socketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error("socketpair");
  return {unique_fd(fds[0]), unique_fd(fds[1])};
}

bool isCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

TEST(SocketIOConnect, ReachesAPathOf103BytesAndRefusesLongerOrAbsentOnes) {
  fakes::TempDir dir;
  const std::string prefix = dir.path() + "/";
  const std::string longest = prefix + std::string(103 - prefix.size(), 's');
  unique_fd listener = SocketIO::makeSocket();
  const auto address = SocketAddr::unix(longest);
  ASSERT_TRUE(address);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address),
            0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);

  unique_fd client = SocketIO::connect(longest);
  ASSERT_TRUE(client);
  unique_fd accepted = SocketIO::acceptConnection(listener.get());
  ASSERT_TRUE(accepted);
  for (int fd : {listener.get(), client.get(), accepted.get()})
    EXPECT_TRUE(isCloseOnExec(fd)) << fd;
  EXPECT_EQ(SocketIO::peerUserID(accepted.get()), ::getuid());

  // The protocol's limit holds even though Linux's sun_path has room for 107 bytes; empty and
  // NUL-holding paths would name abstract sockets, not files.
  EXPECT_FALSE(SocketAddr::unix(longest + "x"));
  EXPECT_FALSE(SocketAddr::unix(""));
  EXPECT_FALSE(SocketAddr::unix(std::string("/tmp/a\0b", 8)));
  EXPECT_FALSE(SocketIO::connect(longest + "x"));
  EXPECT_FALSE(SocketIO::connect(prefix + "nobody-listens"));
}

TEST(SocketIORead, OneFrameIsTheFirstCompleteLineAndNothingElse) {
  auto [reader, writer] = socketPair();
  // Assembled from several writes.
  std::jthread slowWriter([fd = writer.get()] {
    for (std::string_view part : {"{\"st", "atus", "\":{}}\n"}) {
      ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_EQ(SocketIO::readOneFrame(reader.get()), "{\"status\":{}}");
  slowWriter.join();
  ASSERT_TRUE(sendAll(writer.get(), "\n"));
  EXPECT_EQ(SocketIO::readOneFrame(reader.get()), "");

  // Later frames of the same read are discarded, and half a frame at the end is no frame.
  ASSERT_TRUE(sendAll(writer.get(), "{\"a\":1}\n{\"b\":2}\ntail"));
  EXPECT_EQ(SocketIO::readOneFrame(reader.get()), "{\"a\":1}");
  ASSERT_TRUE(sendAll(writer.get(), "{\"half\":"));
  writer.reset();
  EXPECT_FALSE(SocketIO::readOneFrame(reader.get()));
}

TEST(SocketIORead, GivesUpOnAnUnterminatedLineOverTheLimit) {
  auto [reader, writer] = socketPair();
  std::jthread flood([fd = writer.get()] {
    const std::string block(1 << 20, 'z');
    // Stops as soon as the reader has given up and closed its end.
    for (int i = 0; i < 9; ++i)
      if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) < 0) return;
    ::send(fd, "\n", 1, MSG_NOSIGNAL);
  });
  EXPECT_FALSE(SocketIO::readOneFrame(reader.get()));
  reader.reset();
  flood.join();
}

TEST(SocketIORead, FrameReaderJoinsReadsAndStaysEndedOnceThePeerIsGone) {
  auto [reader, writer] = socketPair();
  SocketIO::FrameReader frames(reader.get());
  ASSERT_TRUE(sendAll(writer.get(), "a\nb"));
  EXPECT_EQ(frames.nextFrames(), std::vector<std::string>{"a"});
  ASSERT_TRUE(sendAll(writer.get(), "c\n"));
  EXPECT_EQ(frames.nextFrames(), std::vector<std::string>{"bc"});
  writer.reset();
  EXPECT_FALSE(frames.nextFrames());
  EXPECT_FALSE(frames.nextFrames());
}

TEST(SocketIOWriteFrame, WritesThePayloadAndOneLineFeedOrNothing) {
  auto [a, b] = socketPair();
  ASSERT_TRUE(SocketIO::writeFrame(a.get(), "{\"x\":\"y\"}"));
  ASSERT_TRUE(SocketIO::writeFrame(a.get(), ""));
  EXPECT_EQ(SocketIO::readChunk(b.get()), "{\"x\":\"y\"}\n\n");

  // Payloads that cannot be framed are refused without a byte written.
  EXPECT_FALSE(SocketIO::writeFrame(a.get(), "a\nb"));
  EXPECT_FALSE(
      SocketIO::writeFrame(a.get(), std::string(protocol::FrameCodec::maxFrameBytes + 1, 'x')));
  char byte;
  EXPECT_EQ(::recv(b.get(), &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

  // A large frame needs several sends while the peer reads.
  const std::string large(3 << 20, 'L');
  std::string received;
  std::jthread drain([&, fd = b.get()] {
    while (received.size() < large.size() + 1) {
      auto chunk = SocketIO::readChunk(fd);
      if (!chunk) return;
      received += *chunk;
    }
  });
  EXPECT_TRUE(SocketIO::writeFrame(a.get(), large));
  drain.join();
  EXPECT_EQ(received, large + "\n");

  // SIGPIPE keeps its default disposition here: a signal would end the test program.
  b.reset();
  EXPECT_FALSE(SocketIO::writeFrame(a.get(), "{}"));
  EXPECT_FALSE(SocketIO::writeFrame(a.get(), "{}"));
}

}  // namespace
}  // namespace tarno::assistant
