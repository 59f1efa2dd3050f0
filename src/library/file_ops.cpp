// Copies into the folder and renames that never replace.
#include "library/file_ops.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tarno/core/uuid.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::library {

namespace {

bool fail(std::string* error, std::string_view what, const std::filesystem::path& path) {
  if (error != nullptr)
    *error = std::string(what) + " " + path.string() + ": " + std::strerror(errno);
  return false;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void syncFolder(const std::filesystem::path& folder) {
  protocol::unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

std::filesystem::path temporaryBeside(const std::filesystem::path& target) {
  return target.parent_path() /
         ("." + target.filename().string() + ".tmp-" + core::Uuid::random().string());
}

// `name` with " (n)" before its extension.
std::filesystem::path numbered(const std::filesystem::path& path, int n) {
  if (n < 2) return path;
  std::filesystem::path out = path.parent_path() / path.stem();
  out += " (" + std::to_string(n) + ")";
  out += path.extension();
  return out;
}

// rename that fails with EEXIST instead of replacing.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) ==
         0;
}

}  // namespace

std::filesystem::path copyIntoFolder(const std::filesystem::path& source,
                                     const std::filesystem::path& folder, std::string* error) {
  protocol::unique_fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) return fail(error, "cannot open", source), std::filesystem::path();
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error != nullptr) *error = "not a regular file: " + source.string();
    return {};
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::filesystem::path temporary = temporaryBeside(folder / source.filename());
  protocol::unique_fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.get() < 0) return fail(error, "cannot create", temporary), std::filesystem::path();
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (!writeAll(out.get(), std::string_view(buffer, static_cast<std::size_t>(n)))) {
      ok = false;
      break;
    }
  }
  if (!ok || ::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
    fail(error, "cannot copy", source);
    ::unlink(temporary.c_str());
    return {};
  }
  for (int n = 1; n < 10'000; ++n) {
    const std::filesystem::path target = numbered(folder / source.filename(), n);
    if (renameNoReplace(temporary, target)) {
      syncFolder(folder);
      return target;
    }
    if (errno != EEXIST) break;
  }
  fail(error, "cannot name the copy of", source);
  ::unlink(temporary.c_str());
  return {};
}

std::filesystem::path moveWithoutReplacing(const std::filesystem::path& file,
                                           const std::filesystem::path& destination,
                                           std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(destination.parent_path(), ec);
  for (int n = 1; n < 10'000; ++n) {
    const std::filesystem::path target = numbered(destination, n);
    if (renameNoReplace(file, target)) {
      syncFolder(target.parent_path());
      syncFolder(file.parent_path());
      return target;
    }
    if (errno != EEXIST) break;
  }
  fail(error, "cannot move", file);
  return {};
}

}  // namespace tarno::library
