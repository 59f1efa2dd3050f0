// unique_fd ownership rules and the close-on-exec constructors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "tarno/assistant/support/unique_fd.hpp"

namespace tarno::assistant {
namespace {

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}
bool isCloexec(int fd) {
  return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

TEST(SupportUniqueFd, OwnsClosesAndHandsOver) {
  int raw;
  {
    unique_fd fd = openCloexec("/dev/null", O_RDONLY);
    ASSERT_TRUE(fd);
    raw = fd.get();
    EXPECT_TRUE(isCloexec(raw));
    unique_fd moved = std::move(fd);
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(moved.get(), raw);
  }
  EXPECT_FALSE(isOpen(raw));

  unique_fd kept = openCloexec("/dev/null", O_RDONLY);
  int released = kept.release();
  EXPECT_FALSE(kept);
  EXPECT_TRUE(isOpen(released));
  ::close(released);
}

TEST(SupportUniqueFd, ResetClosesTheOldOneAndKeepsErrno) {
  unique_fd a = openCloexec("/dev/null", O_RDONLY);
  unique_fd b = openCloexec("/dev/null", O_RDONLY);
  const int first = a.get();
  errno = ENOSPC;
  a.reset(b.release());
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(isOpen(first));
  EXPECT_TRUE(isOpen(a.get()));

  const int same = a.get();
  a.reset(same);  // resetting to itself must not close it
  EXPECT_TRUE(isOpen(same));

  unique_fd c = openCloexec("/dev/null", O_RDONLY);
  const int replaced = a.get();
  a = std::move(c);
  EXPECT_FALSE(isOpen(replaced));
}

TEST(SupportUniqueFd, HelpersCreateCloseOnExecDescriptors) {
  auto ends = makePipe();
  ASSERT_TRUE(ends);
  EXPECT_TRUE(isCloexec(ends->readEnd.get()));
  EXPECT_TRUE(isCloexec(ends->writeEnd.get()));

  unique_fd copy = duplicateCloexec(ends->readEnd.get(), 100);
  ASSERT_TRUE(copy);
  EXPECT_GE(copy.get(), 100);
  EXPECT_TRUE(isCloexec(copy.get()));

  errno = 0;
  EXPECT_FALSE(openCloexec("/nonexistent/tarno", O_RDONLY));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace tarno::assistant
