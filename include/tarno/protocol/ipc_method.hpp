// The closed list of the app's JSON-RPC methods. A request's `method` text is a case's raw value:
// core::rawValue(m) gives it, core::caseWithRawValue<IPCMethod>(text) maps an exact,
// case-sensitive text back and gives nothing for any other.
#pragma once

#include <array>
#include <string_view>
#include <utility>

#include "tarno/core/json_record.hpp"

namespace tarno::protocol {

// In the order the app lists its methods; core::allCases<IPCMethod> keeps it.
enum class IPCMethod {
  ping,
  list,
  selection,
  get,
  rate,
  flag,
  label,
  editGet,
  editSet,
  editCommit,
  previewRender,
  context,
  annotatePending,
  annotateSet,
  similarFind,
  query,
  show,
  select,
  editorOpen,
  favorite,
  hide,
  delete_,
  editReset,
  collectionList,
  collectionCreate,
  collectionAdd,
  collectionRemove,
  keywordList,
  keywordCreate,
  keywordAssign,
  keywordRemove,
  albumList,
  albumCreate,
  albumAdd,
  albumRemove,
  snapshotList,
  snapshotSave,
  snapshotRestore,
  exportRender,
  exif,
  importAssets,
  videoCommit,
  lutList,
  geotag,
  movieMake,
  movieList,
};

// The method texts; the layer checks at compile time that every case is listed once, in order.
constexpr std::array<std::pair<IPCMethod, std::string_view>, 46> jsonRawValues(IPCMethod) {
  using enum IPCMethod;
  return {{
      {ping, "system.ping"},
      {list, "library.list"},
      {selection, "library.selection"},
      {get, "photo.get"},
      {rate, "photo.rate"},
      {flag, "photo.flag"},
      {label, "photo.label"},
      {editGet, "edit.get"},
      {editSet, "edit.set"},
      {editCommit, "edit.commit"},
      {previewRender, "preview.render"},
      {context, "app.context"},
      {annotatePending, "annotate.pending"},
      {annotateSet, "annotate.set"},
      {similarFind, "similar.find"},
      {query, "library.query"},
      {show, "library.show"},
      {select, "library.select"},
      {editorOpen, "editor.open"},
      {favorite, "photo.favorite"},
      {hide, "photo.hide"},
      {delete_, "photo.delete"},
      {editReset, "edit.reset"},
      {collectionList, "collection.list"},
      {collectionCreate, "collection.create"},
      {collectionAdd, "collection.add"},
      {collectionRemove, "collection.remove"},
      {keywordList, "keyword.list"},
      {keywordCreate, "keyword.create"},
      {keywordAssign, "keyword.assign"},
      {keywordRemove, "keyword.remove"},
      {albumList, "album.list"},
      {albumCreate, "album.create"},
      {albumAdd, "album.add"},
      {albumRemove, "album.remove"},
      {snapshotList, "snapshot.list"},
      {snapshotSave, "snapshot.save"},
      {snapshotRestore, "snapshot.restore"},
      {exportRender, "export.render"},
      {exif, "photo.exif"},
      {importAssets, "library.import"},
      {videoCommit, "video.commit"},
      {lutList, "lut.list"},
      {geotag, "photo.geotag"},
      {movieMake, "movie.make"},
      {movieList, "movie.list"},
  }};
}

}  // namespace tarno::protocol
