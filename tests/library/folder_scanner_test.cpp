#include "tarno/library/folder_scanner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "library/media_fixture.hpp"
#include "tarno/library/media_reader.hpp"

namespace tarno::library {
namespace {

using namespace std::chrono_literals;
using testing::TempFolder;
using testing::writeBytes;
using testing::writeImage;

// A store in memory: keeps what it is told and lets a test wait for it.
class RecordingSink : public ScanSink {
 public:
  std::unordered_map<std::string, FileStamp> knownFiles() override {
    std::lock_guard lock(mutex_);
    std::unordered_map<std::string, FileStamp> known;
    for (const auto& [path, file] : files_)
      known[path] = file.stamp;
    return known;
  }
  void fileFound(const ScannedFile& file) override {
    record([&] {
      files_[file.relativePath] = file;
      found_.push_back(file.relativePath);
    });
  }
  void fileRemoved(std::string_view path) override {
    record([&] {
      files_.erase(std::string(path));
      removed_.emplace_back(path);
    });
  }
  void scanFinished() override {
    record([&] { ++passes_; });
  }
  void hashComputed(std::string_view path, std::uint64_t hash) override {
    record([&] { hashes_[std::string(path)] = hash; });
  }
  std::vector<std::string> filesWithoutHash() override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    for (const auto& [path, file] : files_)
      if (!hashes_.contains(path)) paths.push_back(path);
    return paths;
  }

  // Waits (up to ten seconds) until `ready` holds; false if it never did.
  template <class Ready>
  bool waitFor(Ready ready) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return ready(*this); });
  }
  std::set<std::string> paths() {
    std::set<std::string> result;
    for (const auto& [path, file] : files_)
      result.insert(path);
    return result;
  }
  std::vector<std::string> take(std::vector<std::string>& list) {
    std::lock_guard lock(mutex_);
    std::sort(list.begin(), list.end());
    return std::exchange(list, {});
  }

  std::map<std::string, ScannedFile> files_;
  std::map<std::string, std::uint64_t> hashes_;
  std::vector<std::string> found_;
  std::vector<std::string> removed_;
  int passes_ = 0;

 private:
  template <class Change>
  void record(Change change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
};

FolderScannerOptions onlyScan(const TempFolder& folder) {
  return FolderScannerOptions{
      .folder = folder.path(), .skip = folder / ".tarno", .watch = false, .hashes = false};
}

TEST(FolderScanner, APassFindsMediaAndSkipsHiddenLinkedAndStoreFolders) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "2019/summer");
  std::filesystem::create_directories(folder / ".hidden");
  std::filesystem::create_directories(folder / "store");
  writeImage(folder / "top.jpg", 20, 10);
  writeImage(folder / "2019/summer/beach.png", 10, 20);
  writeImage(folder / ".hidden/secret.jpg", 8, 8);
  writeImage(folder / "store/thumb.jpg", 8, 8);
  writeImage(folder / "2019/.partial.jpg", 8, 8);
  writeBytes(folder / "2019/notes.txt", "not a photo");
  writeBytes(folder / "2019/broken.jpg", "not a jpeg either");
  std::filesystem::create_symlink(folder / "top.jpg", folder / "2019/link.jpg");
  std::filesystem::create_directory_symlink(folder / "2019", folder / "2019/summer/loop");
  std::filesystem::create_directory_symlink("..", folder / "2019/up");

  RecordingSink sink;
  FolderScanner scanner(FolderScannerOptions{.folder = folder.path(), .skip = folder / "store"},
                        sink);
  scanner.scanOnce();
  EXPECT_EQ(sink.paths(), (std::set<std::string>{"top.jpg", "2019/summer/beach.png"}));
  EXPECT_EQ(sink.passes_, 1);
  const ScannedFile& beach = sink.files_.at("2019/summer/beach.png");
  EXPECT_EQ(beach.metadata.info.pixelWidth, 10);
  EXPECT_EQ(beach.metadata.info.originalFilename, "beach.png");
  struct stat st {};
  ASSERT_EQ(::stat((folder / "2019/summer/beach.png").c_str(), &st), 0);
  EXPECT_EQ(beach.stamp.size, st.st_size);
  EXPECT_EQ(beach.stamp.mtimeNs, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec);
}

TEST(FolderScanner, LaterPassesReadOnlyWhatChangedAndReportWhatWentAway) {
  TempFolder folder;
  writeImage(folder / "a.jpg", 20, 10);
  writeImage(folder / "b.jpg", 20, 10);
  writeImage(folder / "c.jpg", 20, 10);
  RecordingSink sink;
  FolderScanner scanner(onlyScan(folder), sink);
  scanner.scanOnce();
  ASSERT_EQ(sink.take(sink.found_).size(), 3u);

  scanner.scanOnce();
  EXPECT_TRUE(sink.take(sink.found_).empty());
  EXPECT_TRUE(sink.take(sink.removed_).empty());

  writeImage(folder / "b.jpg", 40, 30, 2);
  std::filesystem::remove(folder / "c.jpg");
  // A file that turned into something unreadable is no longer a photo of the library.
  writeBytes(folder / "a.jpg", "overwritten with text");
  scanner.scanOnce();
  EXPECT_EQ(sink.take(sink.found_), (std::vector<std::string>{"b.jpg"}));
  EXPECT_EQ(sink.take(sink.removed_), (std::vector<std::string>{"a.jpg", "c.jpg"}));
  EXPECT_EQ(sink.files_.at("b.jpg").metadata.info.pixelWidth, 40);
}

TEST(FolderScanner, ANameThatIsNotUtf8IsFoundUnderItsOwnBytes) {
  TempFolder folder;
  const std::string name = "f\xff\xfe.jpg";
  writeImage(folder / name, 12, 12);
  RecordingSink sink;
  FolderScanner scanner(onlyScan(folder), sink);
  scanner.scanOnce();
  ASSERT_EQ(sink.paths(), std::set<std::string>{name});
  EXPECT_EQ(sink.files_.at(name).metadata.info.originalFilename, "f\xef\xbf\xbd\xef\xbf\xbd.jpg");
}

// Runs `body` where folder permissions hold: as root, in a child that has given root up.
template <class Body>
void withoutPrivileges(Body body) {
  if (::geteuid() != 0) {
    body();
    return;
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    body();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged pass failed";
}

TEST(FolderScanner, AnUnreadableFolderIsSkippedAndKeepsItsKnownFiles) {
  TempFolder folder;
  ::chmod(folder.path().c_str(), 0755);
  std::filesystem::create_directories(folder / "open");
  std::filesystem::create_directories(folder / "locked");
  writeImage(folder / "open/a.jpg", 8, 8);
  writeImage(folder / "locked/b.jpg", 8, 8);
  for (const char* path : {"open", "open/a.jpg", "locked", "locked/b.jpg"})
    ::chmod((folder / path).c_str(),
            std::string_view(path).find('.') == std::string_view::npos ? 0755 : 0644);
  ::chmod((folder / "locked").c_str(), 0);
  withoutPrivileges([&] {
    RecordingSink sink;
    sink.files_["locked/b.jpg"] = ScannedFile{.relativePath = "locked/b.jpg"};
    sink.files_["gone.jpg"] = ScannedFile{.relativePath = "gone.jpg"};
    FolderScanner scanner(onlyScan(folder), sink);
    scanner.scanOnce();
    EXPECT_EQ(sink.paths(), (std::set<std::string>{"open/a.jpg", "locked/b.jpg"}));
    EXPECT_EQ(sink.removed_, std::vector<std::string>{"gone.jpg"});
  });
}

TEST(FolderScanner, TheThreadHashesThenFollowsAddedChangedAndRemovedFiles) {
  TempFolder folder;
  writeImage(folder / "first.jpg", 64, 48, 1);
  RecordingSink sink;
  FolderScanner scanner(FolderScannerOptions{.folder = folder.path()}, sink);
  scanner.start();
  scanner.waitUntilIdle();
  ASSERT_TRUE(sink.waitFor([](RecordingSink& s) { return s.hashes_.contains("first.jpg"); }));

  // Written elsewhere and moved in, written in place, and in a folder made afterwards.
  writeImage(folder / ".incoming.jpg", 64, 48, 2);
  std::filesystem::rename(folder / ".incoming.jpg", folder / "moved.jpg");
  writeImage(folder / "written.png", 32, 32, 3);
  std::filesystem::create_directories(folder / "new/deeper");
  writeImage(folder / "new/deeper/late.jpg", 16, 16, 4);
  EXPECT_TRUE(sink.waitFor([](RecordingSink& s) {
    return s.paths() == std::set<std::string>{"first.jpg", "moved.jpg", "written.png",
                                              "new/deeper/late.jpg"} &&
           s.hashes_.size() == 4;
  })) << ::testing::PrintToString(sink.paths());

  writeImage(folder / "written.png", 50, 20, 5);
  EXPECT_TRUE(sink.waitFor(
      [](RecordingSink& s) { return s.files_.at("written.png").metadata.info.pixelWidth == 50; }));

  std::filesystem::remove(folder / "first.jpg");
  std::filesystem::rename(folder / "new", folder / ".trash");
  EXPECT_TRUE(sink.waitFor([](RecordingSink& s) {
    return s.paths() == std::set<std::string>{"moved.jpg", "written.png"};
  })) << ::testing::PrintToString(sink.paths());
}

TEST(FolderScanner, ASidecarWrittenBesideAPhotoIsReadWithIt) {
  TempFolder folder;
  writeImage(folder / "p.jpg", 16, 16);
  RecordingSink sink;
  FolderScanner scanner(
      FolderScannerOptions{.folder = folder.path(), .watch = true, .hashes = false}, sink);
  scanner.start();
  scanner.waitUntilIdle();
  ASSERT_TRUE(
      sink.waitFor([](RecordingSink& s) { return s.paths() == std::set<std::string>{"p.jpg"}; }));
  std::string error;
  ASSERT_TRUE(writeLocationSidecar(folder / "p.jpg", std::pair{45.0, 7.5}, &error)) << error;
  EXPECT_TRUE(sink.waitFor(
      [](RecordingSink& s) { return s.files_.at("p.jpg").metadata.latitude.value_or(0) == 45.0; }));
}

TEST(FolderScanner, RescanFindsWhatAnUnwatchedFolderGained) {
  TempFolder folder;
  RecordingSink sink;
  FolderScanner scanner(onlyScan(folder), sink);
  scanner.start();
  scanner.waitUntilIdle();
  EXPECT_TRUE(sink.waitFor([](RecordingSink& s) { return s.paths().empty(); }));
  writeImage(folder / "imported.jpg", 16, 16);
  scanner.rescan();
  scanner.waitUntilIdle();
  EXPECT_TRUE(sink.waitFor(
      [](RecordingSink& s) { return s.paths() == std::set<std::string>{"imported.jpg"}; }));
  EXPECT_TRUE(sink.waitFor([](RecordingSink& s) { return s.passes_ == 2; }));
}

// A store whose database fails once: the scanner's thread lives on, and the next pass delivers.
TEST(FolderScanner, ASinkThatThrowsDoesNotEndTheThread) {
  struct FailingOnce : RecordingSink {
    void fileFound(const ScannedFile& file) override {
      if (!failed.exchange(true)) throw std::runtime_error("database is locked");
      RecordingSink::fileFound(file);
    }
    std::atomic<bool> failed{false};
  };
  TempFolder folder;
  writeImage(folder / "a.jpg", 16, 16);
  FailingOnce sink;
  FolderScanner scanner(onlyScan(folder), sink);
  scanner.start();
  scanner.waitUntilIdle();
  EXPECT_TRUE(sink.failed.load());
  scanner.rescan();
  scanner.waitUntilIdle();
  EXPECT_TRUE(
      sink.waitFor([](RecordingSink& s) { return s.paths() == std::set<std::string>{"a.jpg"}; }));
}

// While the scanner is held inside the sink, more changes arrive than the kernel queues; it
// then passes over the whole folder again on its own.
TEST(FolderScanner, AnOverflowingEventQueueLeadsToAFullPass) {
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  long limit = 0;
  if (!(limitFile >> limit) || limit <= 0 || limit > 1'000'000)
    GTEST_SKIP() << "inotify queue limit unknown or too large to fill";
  struct HeldOnce : RecordingSink {
    void fileFound(const ScannedFile& file) override {
      if (hold.exchange(false)) {
        held.set_value();
        release.get_future().wait();
      }
      RecordingSink::fileFound(file);
    }
    std::atomic<bool> hold{false};
    std::promise<void> held;
    std::promise<void> release;
  };
  TempFolder folder;
  HeldOnce sink;
  FolderScanner scanner(
      FolderScannerOptions{.folder = folder.path(), .watch = true, .hashes = false}, sink);
  scanner.start();
  scanner.waitUntilIdle();
  sink.hold = true;
  writeImage(folder / "first.jpg", 8, 8);
  ASSERT_EQ(sink.held.get_future().wait_for(10s), std::future_status::ready);
  // Two names in turn, so that the kernel cannot fold repeated events into one.
  const std::string names[2] = {(folder / "a.txt").string(), (folder / "b.txt").string()};
  for (long i = 0; i <= limit + 10; ++i)
    ::close(::open(names[i % 2].c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  writeImage(folder / "second.jpg", 8, 8);
  sink.release.set_value();
  EXPECT_TRUE(sink.waitFor([](RecordingSink& s) {
    return s.passes_ == 2 && s.paths() == std::set<std::string>{"first.jpg", "second.jpg"};
  })) << sink.passes_;
}

}  // namespace
}  // namespace tarno::library
