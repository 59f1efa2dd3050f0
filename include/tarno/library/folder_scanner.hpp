// Finds the photos and videos under the library's folder and keeps the store in step with it:
// one pass over the folder at start, then inotify events for what changes while it runs, then
// a background pass that computes perceptual hashes. Hidden folders and the store's own folder
// are skipped; symbolic links are never followed.
//
// The scanner owns its thread; the destructor stops it and joins. Its sink is called from that
// thread only.
#pragma once

#include <filesystem>
#include <memory>

#include "tarno/library/scan_sink.hpp"

namespace tarno::library {

struct FolderScannerOptions {
  std::filesystem::path folder;  // absolute
  std::filesystem::path skip;    // a folder under `folder` never scanned (the store), may be empty
  bool watch = true;             // follow changes with inotify after the first pass
  bool hashes = true;            // compute perceptual hashes after the first pass
};

class FolderScanner {
 public:
  FolderScanner(FolderScannerOptions options, ScanSink& sink);
  ~FolderScanner();
  FolderScanner(const FolderScanner&) = delete;
  FolderScanner& operator=(const FolderScanner&) = delete;

  // Starts the thread: the first pass, then watching and hashing.
  void start();
  // Asks for a pass over the whole folder (after an import, say); returns at once.
  void rescan();
  // Runs one pass over the folder on the calling thread (tests, benchmarks); start() not needed.
  void scanOnce();
  // Blocks until the first pass (and its hashes, when enabled) has ended.
  void waitUntilIdle();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarno::library
