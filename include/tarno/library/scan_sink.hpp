// Where the folder scanner and watcher report what they find: the store implements it. Calls
// come from the scanner's own thread; an implementation serialises them with its other work.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tarno/library/media_file.hpp"

namespace tarno::library {

class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // The stamps of every file the store knows, by relative path: the scanner reads again only
  // files whose stamp differs, and reports the known ones it no longer finds as removed.
  virtual std::unordered_map<std::string, FileStamp> knownFiles() = 0;
  // A new or changed file. The file keeps its photo id across changes and restarts.
  virtual void fileFound(const ScannedFile& file) = 0;
  // A known file that is gone (deleted, moved away, or no longer a media file).
  virtual void fileRemoved(std::string_view relativePath) = 0;
  // A pass over the whole folder has ended (the first scan, or a rescan).
  virtual void scanFinished() {}
  // The perceptual hash of a file, computed after the metadata pass.
  virtual void hashComputed(std::string_view relativePath, std::uint64_t hash) = 0;
  // The relative paths of files that have no perceptual hash yet, in any order.
  virtual std::vector<std::string> filesWithoutHash() = 0;
};

}  // namespace tarno::library
