// What a Library holds: the handlers' services, and the listener told of changes, with the
// sink that passes the scanner's reports on to the store and tells the listener of them.
#pragma once

#include <mutex>

#include "library/handlers.hpp"
#include "tarno/library/library_view.hpp"

namespace tarno::library {

class ChangeReporter {
 public:
  void set(ChangeListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
  }
  void report(const LibraryChange& change) {
    ChangeListener listener;
    {
      std::lock_guard lock(mutex_);
      listener = listener_;
    }
    if (listener) listener(change);
  }

 private:
  std::mutex mutex_;
  ChangeListener listener_;
};

// The store's sink as the scanner sees it: every report goes to the store first; a found or
// removed file is then a "scan" change.
class ReportingSink final : public ScanSink {
 public:
  ReportingSink(ScanSink& store, ChangeReporter& reporter) : store_(store), reporter_(reporter) {}
  std::unordered_map<std::string, FileStamp> knownFiles() override { return store_.knownFiles(); }
  void fileFound(const ScannedFile& file) override {
    store_.fileFound(file);
    reporter_.report({"scan", {}});
  }
  void fileRemoved(std::string_view relativePath) override {
    store_.fileRemoved(relativePath);
    reporter_.report({"scan", {}});
  }
  void scanFinished() override {
    store_.scanFinished();
    reporter_.report({"scan", {}});
  }
  void hashComputed(std::string_view relativePath, std::uint64_t hash) override {
    store_.hashComputed(relativePath, hash);
  }
  std::vector<std::string> filesWithoutHash() override { return store_.filesWithoutHash(); }

 private:
  ScanSink& store_;
  ChangeReporter& reporter_;
};

struct Library::State {
  explicit State(const LibraryOptions& options)
      : services{options, Store(options.storeDir), nullptr}, sink(services.store, changes) {}
  Services services;
  ChangeReporter changes;
  ReportingSink sink;
};

}  // namespace tarno::library
