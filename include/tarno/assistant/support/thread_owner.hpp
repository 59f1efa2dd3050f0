// The thread owner as the assistant's code names it; it lives in the protocol module beside the
// socket primitives, so that the library's server shares it.
#pragma once

#include "tarno/protocol/thread_owner.hpp"

namespace tarno::assistant {

using protocol::ThreadOwner;

}  // namespace tarno::assistant
