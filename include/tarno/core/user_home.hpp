// The current user's home directory, as the system's sockets and working directories use it.
#pragma once

#include <string>

namespace tarno::core {

// The user-database home of the real user id, else $HOME, else "/". Looked up on every call
// (nothing is cached) and safe from any thread.
std::string userHomeDirectory();

}  // namespace tarno::core
