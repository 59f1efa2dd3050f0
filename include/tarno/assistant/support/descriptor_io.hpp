// Blocking reads with a time limit and complete writes on plain descriptors (pipes, terminals).
//
// Both only use the descriptor; they are safe to call from several threads as long as no
// thread closes it meanwhile. Writing to a pipe whose reader is gone raises SIGPIPE unless the
// process ignores it (sockets have their own writer that never does).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <stop_token>
#include <string_view>

namespace tarno::assistant {

class ChildProcess;

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

// Writes `line` and a line feed to standard output, for the tools that print one line per
// result or event. When that fails (its reader has gone, the disk is full) it says so on
// standard error, "<program>: couldn't write to standard output: <reason>", and returns false:
// the caller then stops the work whose output nobody will see and exits with a failure.
bool printLine(std::string_view program, std::string_view line);

// One output descriptor of a child (a pipe, a terminal master), read by readToEnd().
struct OutputSource {
  int fd = -1;                                    // not owned
  std::function<void(std::string_view)> onChunk;  // each chunk read, in order
  bool open = true;                               // false once its end has been read
};

// When readToEnd() stops before every source has ended.
struct ReadToEndControl {
  // The size of one read.
  std::size_t chunkBytes = 8192;
  // `keepReading` is asked at least every `tick`, whether output flows or not (never with a
  // negative tick); false ends the reading.
  std::chrono::milliseconds tick{-1};
  std::function<bool()> keepReading;
  // Once `stop` is requested, `child` is sent SIGTERM and the reading ends as soon as the
  // child has exited; a child still running after ChildProcess::terminationGrace gets SIGKILL.
  ChildProcess* child = nullptr;
  std::stop_token stop;
};

// The read-to-end loop of every child's output: polls all open `sources` together, so a child
// never blocks on one pipe while another is read, and hands each chunk to its source's
// onChunk until every source has reached its end (end of file or a read error: a terminal
// master reports EIO once the child side is closed), or `control` ends the reading early.
// Reading that ends early still takes what the sources hold at that moment, without waiting.
void readToEnd(std::span<OutputSource> sources, const ReadToEndControl& control = {});

}  // namespace tarno::assistant
