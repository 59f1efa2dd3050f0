// Blocking reads with a time limit and complete writes on plain descriptors (pipes, terminals).
//
// Both only use the descriptor; they are safe to call from several threads as long as no
// thread closes it meanwhile. Writing to a pipe whose reader is gone raises SIGPIPE unless the
// process ignores it (sockets have their own writer that never does).
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>

namespace tarno::assistant {

struct ReadResult {
  enum class Status {
    data,       // `size` bytes were read
    endOfFile,  // the writer side is closed
    timedOut,   // nothing to read within the time limit
    failed,     // `error` holds errno; a terminal master reports EIO once the slave is closed
  };
  Status status = Status::failed;
  std::size_t size = 0;
  int error = 0;
};

// Waits up to `timeout` for `fd` to become readable, then reads once into `buffer`. A negative
// timeout waits without limit. Interrupted waits and reads are resumed.
ReadResult readWithin(int fd, std::span<char> buffer, std::chrono::milliseconds timeout);

// Writes all of `bytes`, resuming after partial and interrupted writes; false on any failure
// (or a write that makes no progress).
bool writeAll(int fd, std::string_view bytes);

}  // namespace tarno::assistant
