// The reads a page makes of the library (the displayed view, tiles, one photo's details) and
// its thumbnails: JPEG renderings kept in their own bounded cache.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "library/handlers.hpp"
#include "library/library_state.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/photo_info.hpp"
#include "tarno/core/text.hpp"
#include "tarno/core/uuid.hpp"
#include "tarno/library/develop_pipeline.hpp"

namespace tarno::library {

namespace {

constexpr std::string_view libraryTitle = "Library";
// Maximum thumbnail edge: what the page may ask for.
constexpr std::int64_t maxThumbnailEdge = 4096;

// Grid-sized thumbnails are also kept on disk, in the store's "thumbnails" folder (one folder a
// photo, one file a size), so that a page opened after a restart does not wait for every photo
// of its first screen to be decoded again. A file's name carries everything its bytes depend on:
// a changed stack or file is a new name, and writing it removes the older one of that size.
// It is a cache: written under a temporary name and renamed, never synced.
constexpr std::int64_t maxStoredThumbnailEdge = 1024;

std::string storedThumbnailPrefix(const develop::RenderKey& key) {
  return std::to_string(key.longEdge) + "-" + std::to_string(key.stackVersion) + "-" +
         std::to_string(key.fileSize) + "-" + std::to_string(key.fileChanged) + "-";
}

std::optional<Rendering> readStoredThumbnail(const std::filesystem::path& folder,
                                             const develop::RenderKey& key) {
  const std::string prefix = storedThumbnailPrefix(key);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(".jpg")) continue;
    // "WIDTHxHEIGHT.jpg" after the prefix.
    Rendering r;
    const std::string size = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (std::sscanf(size.c_str(), "%" SCNd64 "x%" SCNd64, &r.width, &r.height) != 2) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    r.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || r.bytes.empty()) return std::nullopt;
    return r;
  }
  return std::nullopt;
}

void storeThumbnail(const std::filesystem::path& folder, const develop::RenderKey& key,
                    const Rendering& r) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return;
  const std::string name = storedThumbnailPrefix(key) + std::to_string(r.width) + "x" +
                           std::to_string(r.height) + ".jpg";
  const std::string sizePrefix = std::to_string(key.longEdge) + "-";
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string other = entry.path().filename().string();
    if (other.starts_with(sizePrefix) && other != name) std::filesystem::remove(entry.path(), ec);
  }
  std::ostringstream thread;
  thread << std::this_thread::get_id();
  const std::filesystem::path temporary = folder / ("." + name + "." + thread.str() + ".tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(r.bytes.data(), static_cast<std::streamsize>(r.bytes.size()));
    if (!out.flush()) {
      out.close();
      std::filesystem::remove(temporary, ec);
      return;
    }
  }
  std::filesystem::rename(temporary, folder / name, ec);
  if (ec) std::filesystem::remove(temporary, ec);
}

std::vector<std::string> wholeLibrary(Database& db) {
  Statement& st = db.prepare(
      "SELECT id FROM photos WHERE present = 1 AND hidden = 0 ORDER BY capture DESC, rowid DESC");
  st.bind();
  std::vector<std::string> ids;
  while (st.step())
    ids.push_back(st.text(0));
  return ids;
}

ViewState readViewState(Database& db) {
  ViewState state;
  state.ids = wholeLibrary(db);
  state.libraryCount = static_cast<std::int64_t>(state.ids.size());
  if (viewValue(db, viewKey::ids)) {
    std::vector<std::string> shown = viewPhotos(db, viewKey::ids);
    state.title = viewValue(db, viewKey::title).value_or(std::string(defaultViewTitle));
    // Shown as the library (by the page, or library.show of every photo) and still all of it.
    state.isLibrary = state.title == libraryTitle && shown == state.ids;
    state.ids = std::move(shown);
  } else {
    state.title = libraryTitle;
    state.isLibrary = true;
  }
  state.selection = viewPhotos(db, viewKey::selection);
  state.primary = viewPhoto(db, viewKey::primary);
  state.focus = viewPhoto(db, viewKey::focus);
  state.editorPhotoID = viewPhoto(db, viewKey::editorPhoto);
  return state;
}

constexpr std::string_view tileColumns =
    "p.id, p.path, p.is_video, p.width, p.height, p.rating, p.flag, p.label, p.favorite, "
    "coalesce((SELECT version FROM edits WHERE photo = p.rowid), 0)";

PhotoTile tileOf(const Statement& st) {
  return PhotoTile{
      .id = st.text(0),
      .fileName = core::decodeUTF8Lossy(std::filesystem::path(st.text(1)).filename().string()),
      .isVideo = st.integer(2) != 0,
      .width = st.integer(3),
      .height = st.integer(4),
      .rating = st.integer(5),
      .flag = st.integer(6),
      .label = st.integer(7),
      .favorite = st.integer(8) != 0,
      .stackVersion = st.integer(9)};
}

std::optional<PhotoTile> tileOf(Database& db, std::int64_t rowid) {
  static const std::string sql =
      "SELECT " + std::string(tileColumns) + " FROM photos p WHERE p.rowid = ?";
  Statement& st = db.prepare(sql);
  st.bind(rowid);
  std::optional<PhotoTile> tile;
  if (st.step()) tile = tileOf(st);
  st.run();
  return tile;
}

}  // namespace

ViewState Library::viewState() {
  return state_->services.store.read(readViewState);
}

ViewState Library::showLibrary() {
  const ViewState state = state_->services.store.write([](Database& db) {
    setView(db, wholeLibrary(db), libraryTitle);
    return readViewState(db);
  });
  state_->changes.report({"library.show", {}});
  return state;
}

std::vector<PhotoTile> Library::tiles(const std::vector<std::string>& ids) {
  return state_->services.store.read([&](Database& db) {
    std::vector<PhotoTile> out;
    out.reserve(ids.size());
    for (const std::string& id : ids) {
      const std::optional<std::int64_t> rowid = rowidOf(db, id);
      if (!rowid) continue;
      if (std::optional<PhotoTile> tile = tileOf(db, *rowid)) out.push_back(std::move(*tile));
    }
    return out;
  });
}

std::optional<PhotoDetails> Library::photoDetails(std::string_view id) {
  return state_->services.store.read([&](Database& db) -> std::optional<PhotoDetails> {
    const std::optional<std::int64_t> rowid = rowidOf(db, id);
    if (!rowid) return std::nullopt;
    std::optional<PhotoTile> tile = tileOf(db, *rowid);
    if (!tile) return std::nullopt;
    PhotoDetails details{.tile = std::move(*tile)};
    Statement& st = db.prepare("SELECT capture, info, edited FROM photos WHERE rowid = ?");
    st.bind(*rowid);
    if (st.step()) {
      if (std::optional<std::int64_t> capture = st.optionalInteger(0))
        details.capturedAt = core::formatISO8601(dateFromUnix(*capture));
      core::PhotoInfo info;
      if (std::optional<std::string> json = st.optionalText(1)) {
        try {
          info = core::decodeFromString<core::PhotoInfo>(*json);
        } catch (const core::DecodingError&) {
          // An unreadable record shows as a photo without metadata.
        }
      }
      details.camera = info.cameraDisplayName();
      details.exposure = info.exposureLine();
      details.dimensions = info.dimensionsDisplay();
      details.hasEdits = st.integer(2) != 0;
    }
    st.run();
    Statement& keywords = db.prepare(
        "SELECT k.name FROM photo_keywords pk JOIN keywords k ON k.rowid = pk.keyword "
        "WHERE pk.photo = ? ORDER BY k.name");
    keywords.bind(*rowid);
    while (keywords.step())
      details.keywords.push_back(keywords.text(0));
    details.annotation = annotation(db, *rowid);
    return details;
  });
}

std::optional<Rendering> Library::thumbnailJPEG(std::string_view id, std::int64_t longEdge,
                                                RenderError* error) {
  Services& s = state_->services;
  if (longEdge < 1 || longEdge > maxThumbnailEdge) {
    error->message = "the size must lie between 1 and " + std::to_string(maxThumbnailEdge);
    return std::nullopt;
  }
  struct Found {
    PhotoRow row;
    core::EditStack stack;
  };
  const std::optional<Found> found = s.store.read([&](Database& db) -> std::optional<Found> {
    std::optional<PhotoRow> row = photoRow(db, id);
    if (!row) return std::nullopt;
    core::EditStack stack = editStack(db, row->rowid).value_or(core::EditStack{});
    return Found{std::move(*row), std::move(stack)};
  });
  if (!found) {
    error->message = "no photo with id " + std::string(id);
    return std::nullopt;
  }
  const std::filesystem::path file = s.file(found->row.path);
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  const auto changed = std::filesystem::last_write_time(file, ec).time_since_epoch().count();
  const develop::RenderKey key{found->row.id, found->stack.version, longEdge,
                               ec ? -1 : static_cast<std::int64_t>(size),
                               static_cast<std::int64_t>(changed)};
  if (std::optional<Rendering> cached = s.thumbnails->find(key)) return cached;
  // The id names a folder: only the store's own UUIDs do.
  const bool onDisk =
      !ec && longEdge <= maxStoredThumbnailEdge && core::Uuid::parse(found->row.id).has_value();
  const std::filesystem::path folder = s.options.storeDir / "thumbnails" / found->row.id;
  if (onDisk) {
    if (std::optional<Rendering> stored = readStoredThumbnail(folder, key)) {
      s.thumbnails->insert(key, *stored);
      return stored;
    }
  }
  const bool developed = !found->row.isVideo && !developsToOriginal(found->stack);
  std::optional<Rendering> r =
      developed ? developPreview(file, found->stack, longEdge,
                                 DevelopSettings{.lutDirectories = s.lutFolders()}, error,
                                 PreviewEncoding::jpeg)
                : renderPreview(file, longEdge, error, PreviewEncoding::jpeg);
  if (r && !ec) s.thumbnails->insert(key, *r);
  if (r && onDisk) storeThumbnail(folder, key, *r);
  return r;
}

}  // namespace tarno::library
