// The SQLite store: schema, the scanner's reports, and the queries the handlers share.
#include "library/store.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "tarno/core/json_coding.hpp"
#include "tarno/core/text.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::library {

namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS photos(
  rowid INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  path TEXT NOT NULL UNIQUE,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  present INTEGER NOT NULL DEFAULT 1,
  capture INTEGER,
  modified INTEGER,
  width INTEGER NOT NULL DEFAULT 0,
  height INTEGER NOT NULL DEFAULT 0,
  format TEXT,
  lat REAL,
  lon REAL,
  is_video INTEGER NOT NULL DEFAULT 0,
  is_raw INTEGER NOT NULL DEFAULT 0,
  duration REAL NOT NULL DEFAULT 0,
  info TEXT,
  search_base TEXT NOT NULL DEFAULT '',
  search TEXT NOT NULL DEFAULT '',
  phash INTEGER,
  rating INTEGER NOT NULL DEFAULT 0,
  flag INTEGER NOT NULL DEFAULT 0,
  label INTEGER NOT NULL DEFAULT 0,
  favorite INTEGER NOT NULL DEFAULT 0,
  hidden INTEGER NOT NULL DEFAULT 0,
  edited INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS photos_by_capture ON photos(capture, rowid);
CREATE TABLE IF NOT EXISTS edits(
  photo INTEGER PRIMARY KEY,
  stack TEXT NOT NULL,
  version INTEGER NOT NULL,
  nonempty INTEGER NOT NULL,
  committed_version INTEGER);
CREATE TABLE IF NOT EXISTS history(
  rowid INTEGER PRIMARY KEY,
  photo INTEGER NOT NULL,
  step_id TEXT NOT NULL,
  label TEXT NOT NULL,
  stack TEXT NOT NULL,
  date INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS history_by_photo ON history(photo, rowid);
CREATE TABLE IF NOT EXISTS snapshots(
  photo INTEGER NOT NULL,
  name TEXT NOT NULL,
  stack TEXT NOT NULL,
  created INTEGER NOT NULL,
  PRIMARY KEY(photo, name)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS annotations(
  photo INTEGER PRIMARY KEY,
  annotation TEXT NOT NULL,
  model TEXT,
  search TEXT NOT NULL,
  updated INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS collections(
  rowid INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  parent TEXT,
  query TEXT,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS collection_photos(
  collection INTEGER NOT NULL,
  photo INTEGER NOT NULL,
  PRIMARY KEY(collection, photo)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS keywords(
  rowid INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  parent TEXT);
CREATE TABLE IF NOT EXISTS photo_keywords(
  keyword INTEGER NOT NULL,
  photo INTEGER NOT NULL,
  PRIMARY KEY(keyword, photo)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS photo_keywords_by_photo ON photo_keywords(photo);
CREATE TABLE IF NOT EXISTS albums(
  rowid INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  title TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS album_photos(
  album INTEGER NOT NULL,
  photo INTEGER NOT NULL,
  position INTEGER NOT NULL,
  PRIMARY KEY(album, photo)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS movies(
  rowid INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  movie TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS video_trims(
  photo INTEGER PRIMARY KEY,
  start REAL NOT NULL,
  end REAL NOT NULL,
  updated INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS trash(
  rowid INTEGER PRIMARY KEY,
  photo INTEGER NOT NULL,
  original TEXT NOT NULL,
  trashed TEXT NOT NULL,
  deleted INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS view_state(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL) WITHOUT ROWID;
PRAGMA user_version = 1;
)sql";

// Scanner reports waiting for the next write; a batch is one transaction (one sync).
constexpr std::size_t pendingBatch = 256;
// History steps kept per photo.
constexpr std::int64_t historyDepth = 100;

std::string fileSearchText(const ScannedFile& file) {
  const core::PhotoInfo& info = file.metadata.info;
  std::string text = core::decodeUTF8Lossy(file.relativePath);
  for (const auto* part : {&info.cameraMake, &info.cameraModel, &info.lens}) {
    if (*part) text += " " + **part;
  }
  for (const std::string& keyword : file.metadata.keywords)
    text += " " + keyword;
  return core::lowercased(core::decodeUTF8Lossy(text));
}

std::int64_t storeFile(Database& db, const ScannedFile& file) {
  const MediaMetadata& m = file.metadata;
  std::optional<std::int64_t> capture;
  if (m.info.captureDate) capture = unixSeconds(*m.info.captureDate);
  Statement& upsert = db.prepare(
      "INSERT INTO photos(id, path, size, mtime_ns, present, capture, modified, width, height, "
      "format, lat, lon, is_video, is_raw, duration, info, search_base) "
      "VALUES(?1, ?2, ?3, ?4, 1, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16) "
      "ON CONFLICT(path) DO UPDATE SET phash = CASE WHEN size = excluded.size AND "
      "mtime_ns = excluded.mtime_ns THEN phash END, size = excluded.size, "
      "mtime_ns = excluded.mtime_ns, present = 1, capture = excluded.capture, "
      "modified = excluded.modified, width = excluded.width, height = excluded.height, "
      "format = excluded.format, lat = excluded.lat, lon = excluded.lon, "
      "is_video = excluded.is_video, is_raw = excluded.is_raw, duration = excluded.duration, "
      "info = excluded.info, search_base = excluded.search_base RETURNING rowid");
  upsert.bind(core::Uuid::random().string(), file.relativePath, file.stamp.size, file.stamp.mtimeNs,
              capture, file.stamp.mtimeNs / 1'000'000'000, m.info.pixelWidth, m.info.pixelHeight,
              m.info.formatLabel, m.latitude, m.longitude, m.isVideo, m.isRAW, m.durationSeconds,
              core::encodeToString(m.info), fileSearchText(file));
  std::int64_t rowid = 0;
  if (upsert.step()) rowid = upsert.integer(0);
  upsert.run();
  refreshSearchText(db, rowid);
  return rowid;
}

}  // namespace

struct Store::Pending {
  enum class Kind { found, removed, hash } kind;
  ScannedFile file;  // found; for the others only relativePath
  std::uint64_t hash = 0;
};

Store::Store(std::filesystem::path storeDir) : dir_(std::move(storeDir)) {}

Store::~Store() {
  std::lock_guard lock(mutex_);
  try {
    if (!pending_.empty()) {
      connection();
      flushPending();
    }
  } catch (const std::exception&) {
    // What the scanner found is found again by the next scan.
  }
}

Database& Store::connection() {
  if (!db_) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir_, ec)) {
      // Only the store folder itself; its parent is the user's and must exist already.
      if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        throw StoreUnavailable("cannot create the store folder " + dir_.string() + ": " +
                               std::strerror(errno));
      }
    }
    auto db = std::make_unique<Database>(dir_ / "library.sqlite");
    // WAL lets readers of other processes (backups, the sqlite3 shell) in while we write; FULL
    // syncs the log at every commit, so an acknowledged change survives a power cut too. The
    // scanner's reports are batched, so the syncs are per request, not per file.
    db->exec("PRAGMA journal_mode = WAL");
    db->exec("PRAGMA synchronous = FULL");
    // A bounded page cache: the store never holds the library in memory.
    db->exec("PRAGMA cache_size = -4096");
    db->exec("PRAGMA mmap_size = 0");
    db->exec("BEGIN IMMEDIATE");
    try {
      db->exec(schema);
      db->exec("COMMIT");
    } catch (...) {
      db->exec("ROLLBACK");
      throw;
    }
    db_ = std::move(db);
  }
  flushPending();
  return *db_;
}

void Store::rollback() noexcept {
  try {
    if (!db_) return;
    db_->resetStatements();
    db_->exec("ROLLBACK");
  } catch (const std::exception&) {
    // A failed commit may already have rolled back; the connection is reopened if it is broken.
    db_.reset();
  }
}

void Store::flushPending() {
  if (pending_.empty() || !db_) return;
  std::vector<Pending> batch;
  batch.swap(pending_);
  Database& db = *db_;
  db.exec("BEGIN IMMEDIATE");
  try {
    for (const Pending& op : batch) {
      switch (op.kind) {
        case Pending::Kind::found:
          storeFile(db, op.file);
          break;
        case Pending::Kind::removed:
          db.prepare("UPDATE photos SET present = 0 WHERE path = ?")
              .bind(op.file.relativePath)
              .run();
          break;
        case Pending::Kind::hash:
          db.prepare("UPDATE photos SET phash = ? WHERE path = ?")
              .bind(static_cast<std::int64_t>(op.hash), op.file.relativePath)
              .run();
          break;
      }
    }
    db.exec("COMMIT");
  } catch (...) {
    rollback();
    throw;
  }
}

void Store::queue(Pending op) {
  std::lock_guard lock(mutex_);
  pending_.push_back(std::move(op));
  if (pending_.size() < pendingBatch) return;
  try {
    guarded([&] { connection(); });
  } catch (const std::exception&) {
    // Unusable store: the reports are dropped and found again by a later scan.
    pending_.clear();
  }
}

std::unordered_map<std::string, FileStamp> Store::knownFiles() {
  std::unordered_map<std::string, FileStamp> known;
  try {
    read([&](Database& db) {
      Statement& s = db.prepare("SELECT path, size, mtime_ns FROM photos WHERE present = 1");
      s.bind();
      while (s.step())
        known.emplace(s.text(0), FileStamp{s.integer(1), s.integer(2)});
    });
  } catch (const std::exception&) {
    known.clear();
  }
  return known;
}

void Store::fileFound(const ScannedFile& file) {
  queue(Pending{Pending::Kind::found, file, 0});
}

void Store::fileRemoved(std::string_view relativePath) {
  Pending op{Pending::Kind::removed, {}, 0};
  op.file.relativePath = relativePath;
  queue(std::move(op));
}

void Store::hashComputed(std::string_view relativePath, std::uint64_t hash) {
  Pending op{Pending::Kind::hash, {}, hash};
  op.file.relativePath = relativePath;
  queue(std::move(op));
}

void Store::scanFinished() {
  try {
    read([](Database&) {});
  } catch (const std::exception&) {
    std::lock_guard lock(mutex_);
    pending_.clear();
  }
}

std::vector<std::string> Store::filesWithoutHash() {
  std::vector<std::string> paths;
  try {
    read([&](Database& db) {
      Statement& s = db.prepare(
          "SELECT path FROM photos WHERE present = 1 AND phash IS NULL AND is_video = 0");
      s.bind();
      while (s.step())
        paths.push_back(s.text(0));
    });
  } catch (const std::exception&) {
    paths.clear();
  }
  return paths;
}

std::string Store::addFile(const ScannedFile& file) {
  return write([&](Database& db) {
    const std::int64_t rowid = storeFile(db, file);
    Statement& s = db.prepare("SELECT id FROM photos WHERE rowid = ?");
    s.bind(rowid);
    std::string id = s.step() ? s.text(0) : std::string();
    s.run();
    return id;
  });
}

// ---- shared queries

std::int64_t unixSeconds(core::Date d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count();
}

core::Date dateFromUnix(std::int64_t seconds) {
  return core::Date{std::chrono::seconds{seconds}};
}

core::Date now() {
  return dateFromUnix(std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count());
}

std::optional<std::int64_t> rowidOf(Database& db, std::string_view id) {
  const std::optional<core::Uuid> uuid = core::Uuid::parse(id);
  if (!uuid) return std::nullopt;
  Statement& s = db.prepare("SELECT rowid FROM photos WHERE id = ? AND present = 1");
  s.bind(uuid->string());
  std::optional<std::int64_t> rowid;
  if (s.step()) rowid = s.integer(0);
  s.run();
  return rowid;
}

std::optional<PhotoRow> photoRow(Database& db, std::string_view id) {
  const std::optional<core::Uuid> uuid = core::Uuid::parse(id);
  if (!uuid) return std::nullopt;
  Statement& s = db.prepare(
      "SELECT rowid, id, path, is_video, duration FROM photos WHERE id = ? AND present = 1");
  s.bind(uuid->string());
  std::optional<PhotoRow> row;
  if (s.step()) row = PhotoRow{s.integer(0), s.text(1), s.text(2), s.integer(3) != 0, s.real(4)};
  s.run();
  return row;
}

ResolvedIDs resolveIDs(Database& db, const std::vector<std::string>& ids) {
  ResolvedIDs out;
  std::unordered_map<std::int64_t, bool> seen;
  seen.reserve(std::min<std::size_t>(ids.size(), 1 << 20));
  for (const std::string& id : ids) {
    const std::optional<core::Uuid> uuid = core::Uuid::parse(id);
    std::optional<std::int64_t> rowid;
    std::string canonical;
    if (uuid) {
      canonical = uuid->string();
      Statement& s = db.prepare("SELECT rowid FROM photos WHERE id = ? AND present = 1");
      s.bind(canonical);
      if (s.step()) rowid = s.integer(0);
      s.run();
    }
    if (!rowid) {
      out.skipped.push_back(id);
    } else if (seen.emplace(*rowid, true).second) {
      out.photos.emplace_back(*rowid, std::move(canonical));
    }
  }
  return out;
}

core::PhotoSummary photoSummary(const Statement& row) {
  core::PhotoSummary p;
  p.id = row.text(0);
  p.pixelWidth = row.integer(1);
  p.pixelHeight = row.integer(2);
  if (auto capture = row.optionalInteger(3)) p.creationDate = dateFromUnix(*capture);
  if (auto modified = row.optionalInteger(4)) p.modificationDate = dateFromUnix(*modified);
  p.formatLabel = row.optionalText(5);
  p.latitude = row.optionalReal(6);
  p.longitude = row.optionalReal(7);
  p.isFavorite = row.integer(8) != 0;
  p.isHidden = row.integer(9) != 0;
  p.durationSeconds = row.real(10);
  const bool video = row.integer(11) != 0;
  p.playbackStyle = video ? core::PhotoPlaybackStyle::video : core::PhotoPlaybackStyle::image;
  p.sourceType = core::PhotoSourceType::userLibrary;
  p.canEditContent = true;
  p.canEditProperties = true;
  p.canDelete = true;
  p.hasAdjustments = row.integer(12) != 0;
  return p;
}

std::optional<core::PhotoSummary> photoSummary(Database& db, std::int64_t rowid) {
  static const std::string sql =
      "SELECT " + std::string(summaryColumns) + " FROM photos p WHERE p.rowid = ?";
  Statement& s = db.prepare(sql);
  s.bind(rowid);
  std::optional<core::PhotoSummary> out;
  if (s.step()) out = photoSummary(s);
  s.run();
  return out;
}

protocol::PhotoMetadataDTO photoMetadata(Database& db, std::int64_t rowid) {
  Statement& s = db.prepare(
      "SELECT rating, flag, label, EXISTS(SELECT 1 FROM edits WHERE photo = ?1) FROM photos "
      "WHERE rowid = ?1");
  s.bind(rowid);
  protocol::PhotoMetadataDTO m;
  if (s.step()) {
    m = protocol::PhotoMetadataDTO{s.integer(0), s.integer(1), s.integer(2), s.integer(3) != 0};
  }
  s.run();
  return m;
}

std::optional<core::EditStack> editStack(Database& db, std::int64_t rowid) {
  Statement& s = db.prepare("SELECT stack FROM edits WHERE photo = ?");
  s.bind(rowid);
  std::optional<core::EditStack> stack;
  if (s.step()) stack = core::decodeFromString<core::EditStack>(s.text(0));
  s.run();
  return stack;
}

void saveEditStack(Database& db, std::int64_t rowid, const core::EditStack& stack,
                   std::string_view label) {
  const std::string json = core::encodeToString(stack);
  db.prepare(
        "INSERT INTO edits(photo, stack, version, nonempty) VALUES(?1, ?2, ?3, ?4) "
        "ON CONFLICT(photo) DO UPDATE SET stack = ?2, version = ?3, nonempty = ?4")
      .bind(rowid, json, stack.version, !stack.isEmpty())
      .run();
  db.prepare("INSERT INTO history(photo, step_id, label, stack, date) VALUES(?, ?, ?, ?, ?)")
      .bind(rowid, core::Uuid::random().string(), label, json, unixSeconds(now()))
      .run();
  db.prepare(
        "DELETE FROM history WHERE photo = ?1 AND rowid <= (SELECT rowid FROM history WHERE "
        "photo = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)")
      .bind(rowid, historyDepth)
      .run();
  updateEdited(db, rowid);
}

void updateEdited(Database& db, std::int64_t rowid) {
  db.prepare(
        "UPDATE photos SET edited = (EXISTS(SELECT 1 FROM edits WHERE photo = ?1 AND nonempty) "
        "OR EXISTS(SELECT 1 FROM video_trims WHERE photo = ?1)) WHERE rowid = ?1")
      .bind(rowid)
      .run();
}

std::optional<core::PhotoAIAnnotation> annotation(Database& db, std::int64_t rowid) {
  Statement& s = db.prepare("SELECT annotation FROM annotations WHERE photo = ?");
  s.bind(rowid);
  std::optional<core::PhotoAIAnnotation> out;
  if (s.step()) out = core::decodeFromString<core::PhotoAIAnnotation>(s.text(0));
  s.run();
  return out;
}

void refreshSearchText(Database& db, std::int64_t rowid) {
  Statement& s = db.prepare(
      "SELECT search_base, (SELECT group_concat(k.name, ' ') FROM photo_keywords pk JOIN "
      "keywords k ON k.rowid = pk.keyword WHERE pk.photo = ?1), (SELECT search FROM annotations "
      "WHERE photo = ?1) FROM photos WHERE rowid = ?1");
  s.bind(rowid);
  if (!s.step()) return;
  std::string text = s.text(0);
  for (int column : {1, 2}) {
    const std::string part = s.text(column);
    if (!part.empty()) text += " " + core::lowercased(part);
  }
  s.run();
  db.prepare("UPDATE photos SET search = ? WHERE rowid = ?").bind(text, rowid).run();
}

std::optional<std::string> viewValue(Database& db, std::string_view key) {
  Statement& s = db.prepare("SELECT value FROM view_state WHERE key = ?");
  s.bind(key);
  std::optional<std::string> out;
  if (s.step()) out = s.text(0);
  s.run();
  return out;
}

void setViewValue(Database& db, std::string_view key, std::optional<std::string> value) {
  if (value) {
    db.prepare("INSERT OR REPLACE INTO view_state(key, value) VALUES(?, ?)")
        .bind(key, *value)
        .run();
  } else {
    db.prepare("DELETE FROM view_state WHERE key = ?").bind(key).run();
  }
}

std::vector<std::string> viewPhotos(Database& db, std::string_view key) {
  const std::optional<std::string> json = viewValue(db, key);
  if (!json) return {};
  std::vector<std::string> stored;
  try {
    stored = core::decodeFromString<std::vector<std::string>>(*json);
  } catch (const core::DecodingError&) {
    return {};
  }
  std::vector<std::string> present;
  for (auto& [rowid, id] : resolveIDs(db, stored).photos)
    present.push_back(std::move(id));
  return present;
}

std::optional<std::string> viewPhoto(Database& db, std::string_view key) {
  std::optional<std::string> id = viewValue(db, key);
  if (!id || !rowidOf(db, *id)) return std::nullopt;
  return id;
}

void setView(Database& db, const std::vector<std::string>& ids, std::string_view title) {
  setViewValue(db, viewKey::ids, core::encodeToString(ids));
  setViewValue(db, viewKey::title, std::string(title));
}

}  // namespace tarno::library
