// What a page shows of the library, read in one go: the displayed view with the selection and
// the focus, a grid tile per photo, the details of one photo, and the changes any client makes.
// Plain values; the Library fills them (library.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/photo_ai_annotation.hpp"

namespace tarno::library {

// The view the user looks at. While nothing was ever shown it is the whole library, newest
// first, titled "Library" (`isLibrary`).
struct ViewState {
  std::string title;
  std::vector<std::string> ids;
  bool isLibrary = false;
  std::vector<std::string> selection;
  std::optional<std::string> primary;
  std::optional<std::string> focus;
  std::optional<std::string> editorPhotoID;
  std::int64_t libraryCount = 0;  // present, not hidden photos
  friend bool operator==(const ViewState&, const ViewState&) = default;
};

// One photo as the grid draws it; flag and label are the store's codes (flag -1 reject,
// 0 none, 1 pick; label 0 none, 1 red … 7 gray).
struct PhotoTile {
  std::string id;
  std::string fileName;
  bool isVideo = false;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t rating = 0;
  std::int64_t flag = 0;
  std::int64_t label = 0;
  bool favorite = false;
  std::int64_t stackVersion = 0;
  friend bool operator==(const PhotoTile&, const PhotoTile&) = default;
};

// One photo as the info panel shows it; the display strings come from its PhotoInfo.
struct PhotoDetails {
  PhotoTile tile;
  std::optional<std::string> capturedAt;  // ISO 8601
  std::string camera;
  std::string exposure;
  std::string dimensions;
  std::vector<std::string> keywords;
  std::optional<core::PhotoAIAnnotation> annotation;
  bool hasEdits = false;
  friend bool operator==(const PhotoDetails&, const PhotoDetails&) = default;
};

// A request that changed the store (its method, the photos it named, empty when it is not about
// photos), or "scan" when the folder's files changed.
struct LibraryChange {
  std::string method;
  std::vector<std::string> ids;
  friend bool operator==(const LibraryChange&, const LibraryChange&) = default;
};
// Called on the thread that made the change, after it was committed; it must not block.
using ChangeListener = std::function<void(const LibraryChange&)>;

}  // namespace tarno::library
