// The descriptor holders that the helper's client shares between its threads.
#include "tarno/assistant/transport/socket_io.hpp"

#include <utility>

namespace tarno::assistant {

void FDBox::store(unique_fd fd) {
  unique_fd previous;
  {
    std::lock_guard guard(lock_);
    previous = std::exchange(fd_, std::move(fd));
  }
}

unique_fd FDBox::take() {
  std::lock_guard guard(lock_);
  return std::exchange(fd_, unique_fd());
}

std::shared_ptr<FDBox> ActiveConnection::value() const {
  std::lock_guard guard(lock_);
  return value_;
}

void ActiveConnection::setValue(std::shared_ptr<FDBox> box) {
  std::shared_ptr<FDBox> previous;
  {
    std::lock_guard guard(lock_);
    previous = std::exchange(value_, std::move(box));
  }
}

}  // namespace tarno::assistant
