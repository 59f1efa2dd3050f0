// The descriptor owner and its creation helpers, as the assistant's code names them; they live
// in the protocol module so that every server and client of the project shares one.
#pragma once

#include "tarno/protocol/unique_fd.hpp"

namespace tarno::assistant {

using protocol::duplicateCloexec;
using protocol::FdPair;
using protocol::makePipe;
using protocol::openCloexec;
using protocol::unique_fd;

}  // namespace tarno::assistant
