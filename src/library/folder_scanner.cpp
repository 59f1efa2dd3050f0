#include "tarno/library/folder_scanner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tarno/library/image_reader.hpp"
#include "tarno/library/media_reader.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::library {
namespace {

constexpr int backgroundNice = 10;

constexpr std::uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                     IN_CREATE | IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                     IN_EXCL_UNLINK;

std::string joinPath(const std::string& folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string path = folder;
  path += '/';
  path += name;
  return path;
}

bool isUnder(std::string_view path, std::string_view folder) {
  return folder.empty() ||
         (path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/');
}

FileStamp stampOf(const struct stat& st) {
  return FileStamp{.size = st.st_size,
                   .mtimeNs = std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec};
}

}  // namespace

struct FolderScanner::State {
  FolderScannerOptions options;
  ScanSink& sink;
  std::string skip;  // relative to the folder, '/'-separated; empty when nothing is skipped

  protocol::unique_fd wake;     // eventfd: a rescan was asked for, or the scanner is stopping
  protocol::unique_fd inotify;  // valid while watching
  std::unordered_map<int, std::string> watchedFolders;  // watch descriptor → relative folder

  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::condition_variable idleChanged;
  bool started = false;
  bool busy = false;             // a pass (and its hashes) is running
  bool rescanRequested = false;  // a pass was asked for and has not begun
  std::thread thread;

  State(FolderScannerOptions o, ScanSink& s) : options(std::move(o)), sink(s) {
    std::error_code error;
    if (!options.skip.empty()) {
      const auto relative = options.skip.lexically_relative(options.folder);
      if (!relative.empty() && *relative.begin() != "..") skip = relative.generic_string();
      if (skip == ".") skip.clear();
    }
    wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  }

  void signalWake() {
    const std::uint64_t one = 1;
    if (wake.valid()) (void)!::write(wake.get(), &one, sizeof one);
  }

  // ---- the pass over the folder -------------------------------------------------------------

  void watchFolder(const std::string& relative) {
    if (!inotify.valid()) return;
    const std::filesystem::path full = options.folder / relative;
    const int wd = ::inotify_add_watch(inotify.get(), full.c_str(), kWatchMask);
    // Out of watches (ENOSPC) the folder is still scanned, only not followed.
    if (wd >= 0) watchedFolders[wd] = relative;
  }

  // Reads a new or changed file and reports it; a file that is no longer readable as a photo
  // or video is reported removed when the store knew it.
  void reportFile(const std::string& relative, const FileStamp& stamp, bool known) {
    std::optional<MediaMetadata> metadata = readMetadata(options.folder / relative, stamp);
    if (metadata) {
      sink.fileFound(
          ScannedFile{.relativePath = relative, .stamp = stamp, .metadata = std::move(*metadata)});
    } else if (known) {
      sink.fileRemoved(relative);
    }
  }

  // Walks `start` (relative, "" for the folder itself) without following symbolic links:
  // folders are opened one by one with O_NOFOLLOW, entries are classified with lstat semantics,
  // and a link is never entered, so a loop of links is never seen. Folders that cannot be opened
  // are listed in `unreadable`.
  void walk(const std::string& start, const std::unordered_map<std::string, FileStamp>& known,
            std::unordered_set<std::string>* seen, std::vector<std::string>* unreadable) {
    const protocol::unique_fd root(
        ::open(options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) {
      unreadable->push_back(start);
      return;
    }
    std::vector<std::string> pending{start};
    while (!pending.empty() && !stopping.load()) {
      const std::string folder = std::move(pending.back());
      pending.pop_back();
      protocol::unique_fd fd(::openat(root.get(), folder.empty() ? "." : folder.c_str(),
                                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd.valid()) {
        unreadable->push_back(folder);
        continue;
      }
      watchFolder(folder);
      // Closed on every way out, a sink that throws included: closedir closes the descriptor.
      const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd.get()), ::closedir);
      if (!dir) {
        unreadable->push_back(folder);
        continue;
      }
      const int dirFd = fd.release();
      struct Entry {
        std::string name;
        bool isFolder;
      };
      std::vector<Entry> entries;
      while (const dirent* entry = ::readdir(dir.get())) {
        // Hidden names are skipped: hidden folders, and the temporary files sidecars and exports
        // are written to before they are renamed into place.
        if (entry->d_name[0] == '.') continue;
        unsigned char type = entry->d_type;
        struct stat st {};
        if (type == DT_UNKNOWN) {
          if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR || type == DT_REG) entries.push_back({entry->d_name, type == DT_DIR});
      }
      for (const Entry& entry : entries) {
        if (stopping.load()) break;
        const std::string relative = joinPath(folder, entry.name);
        if (entry.isFolder) {
          if (relative != skip) pending.push_back(relative);
          continue;
        }
        if (!isMediaFileName(entry.name)) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
          continue;
        seen->insert(relative);
        const FileStamp stamp = stampOf(st);
        const auto it = known.find(relative);
        if (it != known.end() && it->second == stamp) continue;
        reportFile(relative, stamp, it != known.end());
      }
    }
  }

  // One pass over the whole folder: new and changed files read, vanished ones removed.
  void fullPass() {
    const std::unordered_map<std::string, FileStamp> known = sink.knownFiles();
    std::unordered_set<std::string> seen;
    std::vector<std::string> unreadable;
    walk("", known, &seen, &unreadable);
    if (stopping.load()) return;
    for (const auto& [path, stamp] : known) {
      if (seen.contains(path)) continue;
      // A folder we could not read this time keeps its files: they may well still be there.
      bool hidden = false;
      for (const std::string& folder : unreadable)
        hidden = hidden || isUnder(path, folder);
      if (!hidden) sink.fileRemoved(path);
    }
    sink.scanFinished();
  }

  void hashPass() {
    for (const std::string& path : sink.filesWithoutHash()) {
      if (stopping.load()) return;
      hashFile(path);
    }
  }

  void hashFile(const std::string& relative) {
    if (const auto hash = perceptualHash(options.folder / relative))
      sink.hashComputed(relative, *hash);
  }

  // ---- watching -----------------------------------------------------------------------------

  void removeUnder(const std::string& folder) {
    for (const auto& [path, stamp] : sink.knownFiles())
      if (isUnder(path, folder)) sink.fileRemoved(path);
  }

  void fileChanged(const std::string& relative) {
    struct stat st {};
    const std::filesystem::path full = options.folder / relative;
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    reportFile(relative, stampOf(st), true);
    if (options.hashes && !stopping.load()) hashFile(relative);
  }

  void handleEvent(const inotify_event& event) {
    if (event.mask & IN_IGNORED) {
      watchedFolders.erase(event.wd);
      return;
    }
    const auto folder = watchedFolders.find(event.wd);
    if (folder == watchedFolders.end() || event.len == 0) return;
    const std::string_view name(event.name);
    if (name.empty() || name[0] == '.') return;
    const std::string relative = joinPath(folder->second, name);
    if (event.mask & IN_ISDIR) {
      if (relative == skip) return;
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
        // Files may have arrived before the watch did: walk the new folder now.
        std::unordered_set<std::string> seen;
        std::vector<std::string> unreadable;
        walk(relative, sink.knownFiles(), &seen, &unreadable);
        if (options.hashes)
          for (const std::string& path : seen)
            hashFile(path);
      } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
        // A folder moved elsewhere keeps its watches; a move within the folder adds them back.
        for (auto it = watchedFolders.begin(); it != watchedFolders.end();) {
          if (it->second == relative || isUnder(it->second, relative)) {
            ::inotify_rm_watch(inotify.get(), it->first);
            it = watchedFolders.erase(it);
          } else {
            ++it;
          }
        }
        removeUnder(relative);
      }
      return;
    }
    if (name.ends_with(".xmp") || name.ends_with(".XMP")) {
      // A sidecar changed: its photo's location may have.
      const std::string photo = relative.substr(0, relative.size() - 4);
      if (isMediaFileName(photo) &&
          (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)))
        fileChanged(photo);
      return;
    }
    if (!isMediaFileName(name)) return;
    // A file is read once its writer has closed it or it was moved in whole; IN_CREATE alone
    // would catch it half-written.
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) fileChanged(relative);
    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) sink.fileRemoved(relative);
  }

  // Reads what inotify has queued; false when the queue overflowed and a full pass is needed.
  bool drainEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(inotify.get(), buffer, sizeof buffer);
      if (n <= 0) return true;
      bool overflowed = false;
      for (ssize_t at = 0; at < n && !stopping.load();) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_Q_OVERFLOW)
          overflowed = true;
        else if (!overflowed)
          handleEvent(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      if (overflowed) return false;
    }
  }

  // ---- the thread ---------------------------------------------------------------------------

  bool takeRescan() {
    std::lock_guard lock(mutex);
    if (!rescanRequested) return false;
    rescanRequested = false;
    busy = true;
    return true;
  }

  void passAndHashes() {
    try {
      fullPass();
      if (options.hashes && !stopping.load()) hashPass();
    } catch (const std::exception&) {
      // The sink failed (its database, say); the next pass or event tries again.
    }
    std::lock_guard lock(mutex);
    busy = false;
    idleChanged.notify_all();
  }

  void run() {
    // Indexing is background work: requests (a page asking for thumbnails among them) come
    // first. The nice value is this thread's own on Linux; failing to set it changes nothing.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), backgroundNice);
    if (options.watch) inotify.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    passAndHashes();
    while (!stopping.load()) {
      if (takeRescan()) {
        passAndHashes();
        continue;
      }
      pollfd fds[2] = {{wake.get(), POLLIN, 0}, {inotify.get(), POLLIN, 0}};
      const int count = inotify.valid() ? 2 : 1;
      if (::poll(fds, count, -1) < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) {
        std::uint64_t value = 0;
        (void)!::read(wake.get(), &value, sizeof value);
      }
      bool overflowed = false;
      try {
        overflowed = count == 2 && (fds[1].revents & POLLIN) && !drainEvents();
      } catch (const std::exception&) {
        // As above: what the sink could not take is read again by the next pass.
      }
      if (overflowed) {
        std::lock_guard lock(mutex);
        rescanRequested = true;
      }
    }
  }
};

FolderScanner::FolderScanner(FolderScannerOptions options, ScanSink& sink)
    : state_(std::make_unique<State>(std::move(options), sink)) {}

FolderScanner::~FolderScanner() {
  state_->stopping.store(true);
  state_->signalWake();
  if (state_->thread.joinable()) state_->thread.join();
}

void FolderScanner::start() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started) return;
    state_->started = true;
    state_->busy = true;
  }
  state_->thread = std::thread([state = state_.get()] { state->run(); });
}

void FolderScanner::rescan() {
  {
    std::lock_guard lock(state_->mutex);
    state_->rescanRequested = true;
  }
  state_->signalWake();
}

void FolderScanner::scanOnce() {
  state_->fullPass();
}

void FolderScanner::waitUntilIdle() {
  std::unique_lock lock(state_->mutex);
  state_->idleChanged.wait(lock, [&] {
    return !state_->started || (!state_->busy && !state_->rescanRequested) ||
           state_->stopping.load();
  });
}

}  // namespace tarno::library
