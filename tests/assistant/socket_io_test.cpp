// SocketIO over socketpairs and real socket files: addresses, one-shot reads, frame reading
// and writing, close-on-exec, broken pipes, and the client's descriptor holders.
#include "tarno/assistant/transport/socket_io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace tarno::assistant {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarno-sio-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  // A path inside the directory whose total length is exactly `length` bytes.
  std::string pathOfLength(std::size_t length) const {
    std::string prefix = path + "/";
    return prefix + std::string(length - prefix.size(), 's');
  }
};

struct Pair {
  unique_fd a;
  unique_fd b;
};

Pair socketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error("socketpair");
  return {unique_fd(fds[0]), unique_fd(fds[1])};
}

void sendAll(int fd, std::string_view bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// A listening socket bound at `path`, made the way a server would.
unique_fd listenAt(const std::string& path) {
  unique_fd fd = SocketIO::makeSocket();
  auto address = SocketAddr::unix(path);
  if (!fd || !address ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
      ::listen(fd.get(), 8) != 0)
    return {};
  return fd;
}

bool isCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

TEST(SocketAddr, FillsFamilyPathAndZerosUpToTheProtocolLimit) {
  const std::string path(103, 'p');
  auto address = SocketAddr::unix(path);
  ASSERT_TRUE(address);
  EXPECT_EQ(address->sun_family, AF_UNIX);
  EXPECT_EQ(std::string(address->sun_path, 103), path);
  for (std::size_t i = 103; i < sizeof address->sun_path; ++i)
    EXPECT_EQ(address->sun_path[i], '\0') << i;

  // Linux's sun_path has room for 107, but the protocol's limit holds everywhere.
  EXPECT_FALSE(SocketAddr::unix(std::string(104, 'p')));
  // Neither can name a file: Linux would take them as abstract addresses.
  EXPECT_FALSE(SocketAddr::unix(""));
  EXPECT_FALSE(SocketAddr::unix(std::string("/tmp/a\0b", 8)));
}

TEST(SocketIOConnect, ReachesAPathOfTheLongestLengthAndRefusesLongerOrAbsentOnes) {
  TempDir dir;
  const std::string longest = dir.pathOfLength(103);
  unique_fd listener = listenAt(longest);
  ASSERT_TRUE(listener);

  unique_fd client = SocketIO::connect(longest);
  ASSERT_TRUE(client);
  EXPECT_TRUE(isCloseOnExec(client.get()));
  unique_fd accepted = SocketIO::acceptConnection(listener.get());
  ASSERT_TRUE(accepted);
  EXPECT_TRUE(isCloseOnExec(accepted.get()));
  EXPECT_TRUE(isCloseOnExec(listener.get()));
  EXPECT_EQ(SocketIO::peerUserID(accepted.get()), ::getuid());

  EXPECT_FALSE(SocketIO::connect(longest + "x"));
  EXPECT_FALSE(SocketIO::connect(dir.path + "/nobody-listens"));
}

TEST(SocketIOReadChunk, ReturnsOneReadOfAtMostTheReadSizeThenNothingAtEnd) {
  auto [reader, writer] = socketPair();
  const std::string big(100'000, 'x');
  sendAll(writer.get(), big);
  writer.reset();

  auto first = SocketIO::readChunk(reader.get());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), SocketIO::readSize);
  auto second = SocketIO::readChunk(reader.get());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->size(), big.size() - SocketIO::readSize);
  EXPECT_FALSE(SocketIO::readChunk(reader.get()));
  EXPECT_FALSE(SocketIO::readChunk(-1));
}

TEST(SocketIOReadOneFrame, ReturnsTheFirstFrameAndDiscardsTheRestOfItsRead) {
  auto [reader, writer] = socketPair();
  sendAll(writer.get(), "{\"a\":1}\n{\"b\":2}\ntail");
  EXPECT_EQ(SocketIO::readOneFrame(reader.get()), "{\"a\":1}");
  writer.reset();
  // The second frame went with the first read's scanner.
  EXPECT_FALSE(SocketIO::readOneFrame(reader.get()));
}

TEST(SocketIOReadOneFrame, AssemblesAFrameFromSeveralWritesAndKeepsEmptyFrames) {
  auto [reader, writer] = socketPair();
  std::jthread slowWriter([fd = writer.get()] {
    for (std::string_view part : {"{\"st", "atus", "\":{}}\n"}) {
      ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_EQ(SocketIO::readOneFrame(reader.get()), "{\"status\":{}}");
  slowWriter.join();

  sendAll(writer.get(), "\n");
  EXPECT_EQ(SocketIO::readOneFrame(reader.get()), "");
}

TEST(SocketIOReadOneFrame, GivesNothingWhenThePeerClosesMidFrame) {
  auto [reader, writer] = socketPair();
  sendAll(writer.get(), "{\"half\":");
  writer.reset();
  EXPECT_FALSE(SocketIO::readOneFrame(reader.get()));
}

TEST(SocketIOReadOneFrame, GivesUpOnAnUnterminatedLineOverTheLimit) {
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

TEST(SocketIOFrameReader, StaysEndedOnceThePeerIsGone) {
  auto [reader, writer] = socketPair();
  SocketIO::FrameReader frames(reader.get());
  sendAll(writer.get(), "a\nb");
  auto first = frames.nextFrames();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, std::vector<std::string>{"a"});
  sendAll(writer.get(), "c\n");
  EXPECT_EQ(frames.nextFrames(), std::vector<std::string>{"bc"});
  writer.reset();
  EXPECT_FALSE(frames.nextFrames());
  EXPECT_FALSE(frames.nextFrames());
}

TEST(SocketIOWriteFrame, WritesThePayloadAndOneLineFeed) {
  auto [a, b] = socketPair();
  ASSERT_TRUE(SocketIO::writeFrame(a.get(), "{\"x\":\"y\"}"));
  ASSERT_TRUE(SocketIO::writeFrame(a.get(), ""));
  EXPECT_EQ(SocketIO::readChunk(b.get()), "{\"x\":\"y\"}\n\n");

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
}

TEST(SocketIOWriteFrame, RefusesPayloadsThatCannotBeFramedWithoutWritingAnything) {
  auto [a, b] = socketPair();
  EXPECT_FALSE(SocketIO::writeFrame(a.get(), "a\nb"));
  EXPECT_FALSE(
      SocketIO::writeFrame(a.get(), std::string(protocol::FrameCodec::maxFrameBytes + 1, 'x')));
  char byte;
  EXPECT_EQ(::recv(b.get(), &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

TEST(SocketIOWriteFrame, FailsWithoutASignalWhenThePeerHasClosed) {
  auto [a, b] = socketPair();
  b.reset();
  // SIGPIPE keeps its default disposition here: a signal would end the test program.
  EXPECT_FALSE(SocketIO::writeFrame(a.get(), "{}"));
  EXPECT_FALSE(SocketIO::writeFrame(a.get(), "{}"));
}

TEST(FDBox, HandsItsDescriptorOutOnceAndClosesWhatItStillHolds) {
  auto [a, b] = socketPair();
  const int number = a.get();
  {
    FDBox box;
    EXPECT_EQ(box.withFD([](int fd) { return fd; }), -1);
    box.store(std::move(a));
    EXPECT_EQ(box.withFD([](int fd) { return fd; }), number);
    EXPECT_TRUE(box.withFD([](int fd) { return SocketIO::writeFrame(fd, "{}"); }));
    unique_fd taken = box.take();
    EXPECT_EQ(taken.get(), number);
    EXPECT_FALSE(box.take());
    EXPECT_EQ(box.withFD([](int fd) { return fd; }), -1);
    box.store(std::move(taken));
  }
  // The box closed the descriptor it held: the peer sees the end after the frame.
  EXPECT_EQ(SocketIO::readOneFrame(b.get()), "{}");
  EXPECT_FALSE(SocketIO::readChunk(b.get()));
}

TEST(ActiveConnection, RegistersAndReplacesOneBox) {
  ActiveConnection active;
  EXPECT_EQ(active.value(), nullptr);
  auto first = std::make_shared<FDBox>();
  auto second = std::make_shared<FDBox>();
  active.setValue(first);
  EXPECT_EQ(active.value(), first);
  active.setValue(second);
  EXPECT_EQ(active.value(), second);
  active.setValue(nullptr);
  EXPECT_EQ(active.value(), nullptr);
}

}  // namespace
}  // namespace tarno::assistant
