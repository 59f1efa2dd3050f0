// Home directory lookup: the user database first, the environment only as a fallback.
#include "tarno/core/user_home.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tarno::core {

std::string userHomeDirectory() {
  // getpwuid_r: the plain call shares a static buffer with every other thread.
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] != '\0') {
    return result->pw_dir;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  return "/";
}

}  // namespace tarno::core
