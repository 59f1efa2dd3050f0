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

TEST(SupportUniqueFd, OwnsClosesAndCreatesCloseOnExec) {
  auto ends = makePipe();
  ASSERT_TRUE(ends);
  unique_fd copy = duplicateCloexec(ends->readEnd.get(), 100);
  ASSERT_GE(copy.get(), 100);
  for (int fd : {ends->readEnd.get(), ends->writeEnd.get(), copy.get()})
    EXPECT_TRUE(isCloexec(fd)) << fd;

  const int first = ends->readEnd.get();
  errno = ENOSPC;
  ends->readEnd.reset(copy.release());
  EXPECT_EQ(errno, ENOSPC) << "reset keeps errno";
  EXPECT_FALSE(isOpen(first));
  const int second = ends->readEnd.get();
  {
    unique_fd moved = std::move(ends->readEnd);
    EXPECT_FALSE(ends->readEnd);
    EXPECT_EQ(moved.get(), second);
  }
  EXPECT_FALSE(isOpen(second)) << "closed with its last owner";

  const int released = ends->writeEnd.release();
  EXPECT_TRUE(isOpen(released));
  ::close(released);

  EXPECT_TRUE(isCloexec(openCloexec("/dev/null", O_RDONLY).get()));
}

}  // namespace
}  // namespace tarno::assistant
