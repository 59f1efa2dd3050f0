// The method handlers of the library and what they share: each decodes its parameters record,
// acts on the store (and, for the methods that change files, on the folder), and encodes its
// result record. A handler reports a failure by throwing RequestError (or StoreUnavailable from
// the store); Library::handleLine turns both into error responses, so nothing crosses it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "library/develop/render_cache.hpp"
#include "library/store.hpp"
#include "tarno/library/folder_scanner.hpp"
#include "tarno/library/library.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::library {

// What every handler can reach; lives as long as the Library.
struct Services {
  LibraryOptions options;  // folder, store, support folders: absolute
  Store store;
  std::unique_ptr<FolderScanner> scanner;
  // Previews of edited photos, by photo, stack version and size.
  std::shared_ptr<develop::RenderCache> renders = std::make_shared<develop::RenderCache>();
  // A page's JPEG thumbnails, edited or not: many and small.
  std::shared_ptr<develop::RenderCache> thumbnails =
      std::make_shared<develop::RenderCache>(4096, 96u << 20);

  std::filesystem::path file(const std::string& relativePath) const {
    return options.folder / relativePath;
  }
  std::filesystem::path trashDir() const { return options.folder / ".tarno" / "trash"; }
  std::filesystem::path exchangeDir() const { return options.supportDir / "exchange"; }
  // Where `lut` values and lut.list look for .cube files, in this order.
  std::vector<std::filesystem::path> lutFolders() const {
    return {options.folder / ".tarno" / "luts", options.storeDir / "luts",
            options.supportDir / "luts"};
  }
};

struct RequestError {
  protocol::RPCErrorCode code;
  std::string message;
};

[[noreturn]] inline void fail(protocol::RPCErrorCode code, std::string message) {
  throw RequestError{code, std::move(message)};
}
[[noreturn]] inline void invalidParams(std::string message) {
  fail(protocol::RPCErrorCode::invalidParams, std::move(message));
}
[[noreturn]] inline void noSuchPhoto(std::string_view id) {
  invalidParams("no photo with id " + std::string(id));
}

// One request: its id and its whole line (the parameters are decoded from it).
struct Call {
  std::optional<protocol::RPCID> id;
  std::string_view line;
};

// The request's parameters; a request without them reads as {} (so a record with required
// members fails with the decoder's message). Throws RequestError invalidParams.
template <class P>
P paramsOf(const Call& call) {
  try {
    std::optional<P> params = protocol::RPC::decodeParams<P>(call.line);
    if (params) return std::move(*params);
    return protocol::RPC::decode<P>("{}");
  } catch (const core::DecodingError& e) {
    invalidParams(e.what());
  }
}

template <class R>
std::string reply(const Call& call, const R& result) {
  return protocol::RPC::encodeResult(call.id, result);
}

// The row of a photo named by id, or the error that names it.
PhotoRow requirePhoto(Database& db, std::string_view id);

using Handler = std::string (*)(Services&, const Call&);

// One handler per method; each file holds one area.
namespace handlers {
// library and photos (handlers_photos.cpp)
std::string ping(Services&, const Call&);
std::string list(Services&, const Call&);
std::string get(Services&, const Call&);
std::string rate(Services&, const Call&);
std::string flag(Services&, const Call&);
std::string label(Services&, const Call&);
std::string favorite(Services&, const Call&);
std::string hide(Services&, const Call&);
std::string exif(Services&, const Call&);
std::string similarFind(Services&, const Call&);
// views and search (handlers_views.cpp)
std::string selection(Services&, const Call&);
std::string context(Services&, const Call&);
std::string query(Services&, const Call&);
std::string show(Services&, const Call&);
std::string select(Services&, const Call&);
std::string editorOpen(Services&, const Call&);
// edits (handlers_edits.cpp)
std::string editGet(Services&, const Call&);
std::string editSet(Services&, const Call&);
std::string editCommit(Services&, const Call&);
std::string editReset(Services&, const Call&);
std::string previewRender(Services&, const Call&);
std::string exportRender(Services&, const Call&);
std::string snapshotList(Services&, const Call&);
std::string snapshotSave(Services&, const Call&);
std::string snapshotRestore(Services&, const Call&);
std::string videoCommit(Services&, const Call&);
std::string lutList(Services&, const Call&);
// groups, annotations, movies (handlers_groups.cpp)
std::string annotatePending(Services&, const Call&);
std::string annotateSet(Services&, const Call&);
std::string collectionList(Services&, const Call&);
std::string collectionCreate(Services&, const Call&);
std::string collectionAdd(Services&, const Call&);
std::string collectionRemove(Services&, const Call&);
std::string keywordList(Services&, const Call&);
std::string keywordCreate(Services&, const Call&);
std::string keywordAssign(Services&, const Call&);
std::string keywordRemove(Services&, const Call&);
std::string albumList(Services&, const Call&);
std::string albumCreate(Services&, const Call&);
std::string albumAdd(Services&, const Call&);
std::string albumRemove(Services&, const Call&);
std::string movieMake(Services&, const Call&);
std::string movieList(Services&, const Call&);
// files: trash, locations, imports (handlers_files.cpp)
std::string deletePhotos(Services&, const Call&);
std::string geotag(Services&, const Call&);
std::string importAssets(Services&, const Call&);
}  // namespace handlers

}  // namespace tarno::library
