// The library: its store, its scanner, and the dispatch of request lines to method handlers.
#include "tarno/library/library.hpp"

#include <array>
#include <stdexcept>

#include "library/handlers.hpp"
#include "library/library_state.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/text.hpp"
#include "tarno/core/uuid.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::library {

namespace {

using protocol::IPCMethod;
using protocol::RPCErrorCode;

// The switch has no default: a method without a handler does not compile (-Wswitch, -Werror).
constexpr Handler handlerFor(IPCMethod method) {
  using namespace handlers;
  switch (method) {
    case IPCMethod::ping:
      return ping;
    case IPCMethod::list:
      return list;
    case IPCMethod::selection:
      return selection;
    case IPCMethod::get:
      return get;
    case IPCMethod::rate:
      return rate;
    case IPCMethod::flag:
      return flag;
    case IPCMethod::label:
      return label;
    case IPCMethod::editGet:
      return editGet;
    case IPCMethod::editSet:
      return editSet;
    case IPCMethod::editCommit:
      return editCommit;
    case IPCMethod::previewRender:
      return previewRender;
    case IPCMethod::context:
      return context;
    case IPCMethod::annotatePending:
      return annotatePending;
    case IPCMethod::annotateSet:
      return annotateSet;
    case IPCMethod::similarFind:
      return similarFind;
    case IPCMethod::query:
      return query;
    case IPCMethod::show:
      return show;
    case IPCMethod::select:
      return select;
    case IPCMethod::editorOpen:
      return editorOpen;
    case IPCMethod::favorite:
      return favorite;
    case IPCMethod::hide:
      return hide;
    case IPCMethod::delete_:
      return deletePhotos;
    case IPCMethod::editReset:
      return editReset;
    case IPCMethod::collectionList:
      return collectionList;
    case IPCMethod::collectionCreate:
      return collectionCreate;
    case IPCMethod::collectionAdd:
      return collectionAdd;
    case IPCMethod::collectionRemove:
      return collectionRemove;
    case IPCMethod::keywordList:
      return keywordList;
    case IPCMethod::keywordCreate:
      return keywordCreate;
    case IPCMethod::keywordAssign:
      return keywordAssign;
    case IPCMethod::keywordRemove:
      return keywordRemove;
    case IPCMethod::albumList:
      return albumList;
    case IPCMethod::albumCreate:
      return albumCreate;
    case IPCMethod::albumAdd:
      return albumAdd;
    case IPCMethod::albumRemove:
      return albumRemove;
    case IPCMethod::snapshotList:
      return snapshotList;
    case IPCMethod::snapshotSave:
      return snapshotSave;
    case IPCMethod::snapshotRestore:
      return snapshotRestore;
    case IPCMethod::exportRender:
      return exportRender;
    case IPCMethod::exif:
      return exif;
    case IPCMethod::importAssets:
      return importAssets;
    case IPCMethod::videoCommit:
      return videoCommit;
    case IPCMethod::lutList:
      return lutList;
    case IPCMethod::geotag:
      return geotag;
    case IPCMethod::movieMake:
      return movieMake;
    case IPCMethod::movieList:
      return movieList;
  }
  return nullptr;
}

constexpr auto handlerTable = [] {
  std::array<Handler, core::allCases<IPCMethod>.size()> table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i] = handlerFor(core::allCases<IPCMethod>[i]);
  }
  return table;
}();
static_assert(
    [] {
      for (Handler h : handlerTable) {
        if (h == nullptr) return false;
      }
      return true;
    }(),
    "every method has a handler");

std::filesystem::path absolutePath(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::path out = std::filesystem::absolute(p, ec);
  return ec ? p : out.lexically_normal();
}

// Whether a method changes what the store holds (the view state included); a new method must
// be placed here (-Wswitch, -Werror).
constexpr bool changesStore(IPCMethod method) {
  switch (method) {
    case IPCMethod::ping:
    case IPCMethod::list:
    case IPCMethod::selection:
    case IPCMethod::get:
    case IPCMethod::editGet:
    case IPCMethod::previewRender:
    case IPCMethod::context:
    case IPCMethod::annotatePending:
    case IPCMethod::similarFind:
    case IPCMethod::query:  // unless it shows its matches: see changeOf
    case IPCMethod::collectionList:
    case IPCMethod::keywordList:
    case IPCMethod::albumList:
    case IPCMethod::snapshotList:
    case IPCMethod::exportRender:
    case IPCMethod::exif:
    case IPCMethod::lutList:
    case IPCMethod::movieList:
      return false;
    case IPCMethod::rate:
    case IPCMethod::flag:
    case IPCMethod::label:
    case IPCMethod::editSet:
    case IPCMethod::editCommit:
    case IPCMethod::annotateSet:
    case IPCMethod::show:
    case IPCMethod::select:
    case IPCMethod::editorOpen:
    case IPCMethod::favorite:
    case IPCMethod::hide:
    case IPCMethod::delete_:
    case IPCMethod::editReset:
    case IPCMethod::collectionCreate:
    case IPCMethod::collectionAdd:
    case IPCMethod::collectionRemove:
    case IPCMethod::keywordCreate:
    case IPCMethod::keywordAssign:
    case IPCMethod::keywordRemove:
    case IPCMethod::albumCreate:
    case IPCMethod::albumAdd:
    case IPCMethod::albumRemove:
    case IPCMethod::snapshotSave:
    case IPCMethod::snapshotRestore:
    case IPCMethod::importAssets:
    case IPCMethod::videoCommit:
    case IPCMethod::geotag:
    case IPCMethod::movieMake:
      return true;
  }
  return true;
}

// The methods whose `ids` name a view or a selection rather than photos that changed.
constexpr bool isAboutTheView(IPCMethod method) {
  return method == IPCMethod::show || method == IPCMethod::select ||
         method == IPCMethod::editorOpen || method == IPCMethod::query;
}

// The change a successful request made, if any: the photos its params name ("id", "ids"),
// canonical.
std::optional<LibraryChange> changeOf(IPCMethod method, const std::string& name,
                                      std::string_view line) {
  const std::optional<core::JsonValue> request = core::parseJsonIfValid(line);
  const core::JsonValue* params = request ? request->find("params") : nullptr;
  if (method == IPCMethod::query) {
    const core::JsonValue* show = params ? params->find("show") : nullptr;
    if (!show || !show->asBool() || !*show->asBool()) return std::nullopt;
  } else if (!changesStore(method)) {
    return std::nullopt;
  }
  LibraryChange change{name, {}};
  if (!params || isAboutTheView(method)) return change;
  const auto add = [&](const core::JsonValue& id) {
    const std::string* text = id.asString();
    if (!text) return;
    const std::optional<core::Uuid> uuid = core::Uuid::parse(*text);
    change.ids.push_back(uuid ? uuid->string() : *text);
  };
  if (const core::JsonValue* id = params->find("id")) add(*id);
  if (const core::JsonValue* ids = params->find("ids"); ids && ids->asArray()) {
    for (const core::JsonValue& id : *ids->asArray())
      add(id);
  }
  return change;
}

bool isParseError(const core::DecodingError& e) {
  return e.kind() == core::DecodingError::Kind::dataCorrupted && e.path().empty() &&
         e.description().starts_with("The given data was not valid JSON");
}

}  // namespace

PhotoRow requirePhoto(Database& db, std::string_view id) {
  std::optional<PhotoRow> row = photoRow(db, id);
  if (!row) noSuchPhoto(id);
  return std::move(*row);
}

Library::Library(LibraryOptions options) {
  options.folder = absolutePath(options.folder);
  std::error_code ec;
  if (!std::filesystem::is_directory(options.folder, ec)) {
    throw std::runtime_error("the photo folder " + options.folder.string() +
                             " is not a readable folder");
  }
  if (options.storeDir.empty()) options.storeDir = options.folder / ".tarno";
  options.storeDir = absolutePath(options.storeDir);
  if (options.supportDir.empty()) options.supportDir = protocol::IPCEndpoint::supportDir();
  options.supportDir = absolutePath(options.supportDir);
  state_ = std::make_unique<State>(options);
  Services& s = state_->services;
  // The store folder is skipped only when it lies inside the photo folder.
  std::filesystem::path skip;
  const auto rel = s.options.storeDir.lexically_relative(s.options.folder);
  if (!rel.empty() && *rel.begin() != "..") skip = s.options.storeDir;
  s.scanner = std::make_unique<FolderScanner>(
      FolderScannerOptions{s.options.folder, skip, s.options.watch, true}, state_->sink);
}

Library::~Library() {
  // The scanner reports into the store: it stops (and joins its thread) first.
  if (state_) state_->services.scanner.reset();
}

void Library::start() {
  state_->services.scanner->start();
}

void Library::waitUntilScanned() {
  state_->services.scanner->waitUntilIdle();
}

void Library::setChangeListener(ChangeListener listener) {
  state_->changes.set(std::move(listener));
}

ScanSink& Library::scanSink() {
  return state_->sink;
}

std::optional<std::string> Library::fileName(std::string_view id) {
  try {
    return state_->services.store.read([&](Database& db) -> std::optional<std::string> {
      const std::optional<PhotoRow> row = photoRow(db, id);
      if (!row) return std::nullopt;
      return core::decodeUTF8Lossy(std::filesystem::path(row->path).filename().string());
    });
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> Library::handleLine(std::string_view line) {
  protocol::RPCEnvelope envelope;
  try {
    envelope = protocol::RPC::decode<protocol::RPCEnvelope>(line);
  } catch (const core::DecodingError& e) {
    if (isParseError(e))
      return protocol::RPC::encodeError(std::nullopt, RPCErrorCode::parseError, e.what());
    return protocol::RPC::encodeError(std::nullopt, RPCErrorCode::invalidRequest, e.what());
  } catch (const std::exception& e) {
    return protocol::RPC::encodeError(std::nullopt, RPCErrorCode::internalError, e.what());
  }
  const Call call{envelope.id, line};
  std::string response;
  try {
    const std::optional<IPCMethod> method = core::caseWithRawValue<IPCMethod>(envelope.method);
    if (!method) {
      response = protocol::RPC::encodeError(call.id, RPCErrorCode::methodNotFound,
                                            "no method " + envelope.method);
    } else {
      response = handlerTable[static_cast<std::size_t>(*method)](state_->services, call);
      if (std::optional<LibraryChange> change = changeOf(*method, envelope.method, line))
        state_->changes.report(*change);
    }
  } catch (const RequestError& e) {
    response = protocol::RPC::encodeError(call.id, e.code, e.message);
  } catch (const StoreUnavailable& e) {
    response = protocol::RPC::encodeError(call.id, RPCErrorCode::storeUnavailable, e.what());
  } catch (const std::exception& e) {
    response = protocol::RPC::encodeError(call.id, RPCErrorCode::internalError, e.what());
  }
  // A request without an id is a notification: it is carried out and not answered.
  if (!envelope.id) return std::nullopt;
  return response;
}

}  // namespace tarno::library
