// The app on Linux: a library of the photos under one folder, its store, and the handlers of
// the app's JSON-RPC methods. `handleLine` takes one request line (without its line feed) and
// gives the response line, or nothing for a notification; it is what the IPC server calls for
// every line of every client, and it may be called from several threads at once.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tarno/library/scan_sink.hpp"

namespace tarno::library {

struct LibraryOptions {
  std::filesystem::path folder;      // the photos; absolute
  std::filesystem::path storeDir;    // empty: folder / ".tarno"
  std::filesystem::path supportDir;  // ~/.tarno: LUTs ("luts"), the exchange folder ("exchange")
  bool watch = true;                 // scan in the background and follow changes
  std::string appVersion = "0.1.0";
};

class Library {
 public:
  // Opens (or creates) the store. Throws std::runtime_error with a message for the user when the
  // folder cannot be read or the store cannot be created at all.
  explicit Library(LibraryOptions options);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Starts the first scan (and then watching) in the background; returns at once.
  void start();
  // Blocks until the first scan and its hashes have ended (tests, tools).
  void waitUntilScanned();

  // The sink the scanner reports into (the store): tools and tests can report files themselves.
  ScanSink& scanSink();

  // The name of a photo's file (invalid UTF-8 replaced by U+FFFD), for captions; absent for an
  // unknown id or an unusable store.
  std::optional<std::string> fileName(std::string_view id);

  // One JSON-RPC request line in, its response line out (absent for a request without an id
  // that needs no answer). Never throws.
  std::optional<std::string> handleLine(std::string_view line);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarno::library
