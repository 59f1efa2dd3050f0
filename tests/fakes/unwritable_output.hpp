// Standard outputs that cannot be written, for the tools' tests: the full device, where every
// write fails with ENOSPC, and a pipe whose reader has gone (EPIPE, or SIGPIPE for a process
// that does not ignore it).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "tarno/assistant/support/unique_fd.hpp"

namespace tarno::fakes {

struct UnwritableOutputs {
  assistant::unique_fd full;
  assistant::unique_fd closedPipe;
};

inline UnwritableOutputs unwritableOutputs() {
  UnwritableOutputs outputs{assistant::unique_fd(::open("/dev/full", O_WRONLY | O_CLOEXEC)), {}};
  int ends[2];
  if (!outputs.full || ::pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error("unwritable outputs: cannot open them");
  }
  assistant::unique_fd(ends[0]).reset();  // the reader is gone before anything is written
  outputs.closedPipe = assistant::unique_fd(ends[1]);
  return outputs;
}

}  // namespace tarno::fakes
