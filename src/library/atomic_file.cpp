#include "library/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tarno/core/text.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::library {
namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool fail(std::string* error, std::string_view what, const std::filesystem::path& path) {
  if (error)
    *error = std::string(what) + " " + core::decodeUTF8Lossy(path.native()) + ": " +
             std::strerror(errno);
  return false;
}

}  // namespace

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           std::string* error) {
  const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  // The leading dot keeps the scanner from taking a half-written file for a photo.
  std::string temporary = (folder / ("." + target.filename().native() + ".XXXXXX")).native();
  protocol::unique_fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return fail(error, "cannot create a file in", folder);
  auto discard = [&](std::string_view what) {
    const bool result = fail(error, what, target);
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return result;
  };
  if (::fchmod(fd.get(), 0644) != 0 || !writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0)
    return discard("cannot write");
  fd.reset();
  if (::rename(temporary.c_str(), target.c_str()) != 0) return discard("cannot replace");
  const protocol::unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

}  // namespace tarno::library
