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
#include <vector>

#include "tarno/library/image_reader.hpp"
#include "tarno/library/library_view.hpp"
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

  // Set once, before start(): told of every request that changed the store and of every
  // change of the folder's files.
  void setChangeListener(ChangeListener listener);

  // The reads of a page. They throw std::runtime_error (StoreUnavailable) when the store
  // cannot be used.
  ViewState viewState();
  // The whole library (present photos, newest first) becomes the displayed view, titled
  // "Library", as library.show would make it; the change is reported like that method's.
  ViewState showLibrary();
  // Tiles of the ids in their order; unknown ids are left out.
  std::vector<PhotoTile> tiles(const std::vector<std::string>& ids);
  std::optional<PhotoDetails> photoDetails(std::string_view id);
  // The photo developed with its stack as JPEG, long edge at most `longEdge`, from a bounded
  // cache keyed by photo, stack version, size and the file's stamp. Absent (with the reason)
  // for an unknown id or what cannot be rendered (a video without a frame).
  std::optional<Rendering> thumbnailJPEG(std::string_view id, std::int64_t longEdge,
                                         RenderError* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarno::library
