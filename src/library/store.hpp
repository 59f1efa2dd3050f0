// The library's store: one SQLite file in the store folder holding every photo the scanner found
// (a stable id per relative path, kept across restarts and rescans, its stamp, metadata and
// perceptual hash) and everything the app keeps about photos: ratings, flags, labels,
// favourites, hidden photos, edit stacks with their history and snapshots, collections,
// keywords, albums, annotations, movies, video trims and the view state.
//
// Thread-safe: every use runs under one lock on one connection, so writes are serialised and a
// reader never sees half a change. Changes run in a transaction committed before `write`
// returns. A store that cannot be opened or used throws StoreUnavailable from `read`/`write`; the
// connection is dropped and opened again on the next call, so the store recovers once the
// problem is gone. The scanner's reports are batched and written before any other use sees the
// store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "library/sqlite_db.hpp"
#include "tarno/core/edit_stack.hpp"
#include "tarno/core/photo_ai_annotation.hpp"
#include "tarno/core/photo_summary.hpp"
#include "tarno/library/scan_sink.hpp"
#include "tarno/protocol/library_records.hpp"

namespace tarno::library {

class Store final : public ScanSink {
 public:
  explicit Store(std::filesystem::path storeDir);
  ~Store() override;

  const std::filesystem::path& directory() const { return dir_; }

  // f(Database&) under the lock; its result is returned.
  template <class F>
  auto read(F&& f) {
    std::lock_guard lock(mutex_);
    return guarded([&] { return f(connection()); });
  }
  // f(Database&) under the lock in an immediate transaction, committed before returning; rolled
  // back when f throws.
  template <class F>
  auto write(F&& f) {
    std::lock_guard lock(mutex_);
    return guarded([&] {
      Database& db = connection();
      db.exec("BEGIN IMMEDIATE");
      try {
        if constexpr (std::is_void_v<decltype(f(db))>) {
          f(db);
          db.exec("COMMIT");
        } else {
          auto result = f(db);
          db.exec("COMMIT");
          return result;
        }
      } catch (...) {
        rollback();
        throw;
      }
    });
  }

  // ---- ScanSink: called from the scanner's thread; never throws.
  std::unordered_map<std::string, FileStamp> knownFiles() override;
  void fileFound(const ScannedFile& file) override;
  void fileRemoved(std::string_view relativePath) override;
  void scanFinished() override;
  void hashComputed(std::string_view relativePath, std::uint64_t hash) override;
  std::vector<std::string> filesWithoutHash() override;

  // Records a file at once (an import) and returns its photo id.
  std::string addFile(const ScannedFile& file);

 private:
  struct Pending;
  template <class F>
  auto guarded(F&& f) {
    try {
      return f();
    } catch (const StoreUnavailable&) {
      db_.reset();
      throw;
    } catch (...) {
      if (db_) db_->resetStatements();
      throw;
    }
  }
  Database& connection();
  void rollback() noexcept;
  void flushPending();
  void queue(Pending op);

  std::filesystem::path dir_;
  std::mutex mutex_;
  std::unique_ptr<Database> db_;
  std::vector<Pending> pending_;
};

// ---- queries shared by the handlers; each takes the connection `read`/`write` hands out.

// Unix seconds and back: dates travel in whole seconds.
std::int64_t unixSeconds(core::Date d);
core::Date dateFromUnix(std::int64_t seconds);
core::Date now();

// What the handlers need of one photo's row.
struct PhotoRow {
  std::int64_t rowid = 0;
  std::string id;
  std::string path;  // relative to the folder
  bool isVideo = false;
  double duration = 0;
  bool present = true;
};

// The rowid of a photo id (any letter case), absent when no file found has it.
std::optional<std::int64_t> rowidOf(Database& db, std::string_view id);
std::optional<PhotoRow> photoRow(Database& db, std::string_view id);

// Photo ids resolved to rowids in request order without repeats, and the ids that name no photo.
struct ResolvedIDs {
  std::vector<std::pair<std::int64_t, std::string>> photos;  // rowid and canonical id
  std::vector<std::string> skipped;
};
ResolvedIDs resolveIDs(Database& db, const std::vector<std::string>& ids);

// The columns photoSummary reads, as the first columns of a SELECT over `photos p`.
inline constexpr std::string_view summaryColumns =
    "p.id, p.width, p.height, p.capture, p.modified, p.format, p.lat, p.lon, p.favorite, "
    "p.hidden, p.duration, p.is_video, p.edited";
core::PhotoSummary photoSummary(const Statement& row);
std::optional<core::PhotoSummary> photoSummary(Database& db, std::int64_t rowid);
protocol::PhotoMetadataDTO photoMetadata(Database& db, std::int64_t rowid);

std::optional<core::EditStack> editStack(Database& db, std::int64_t rowid);
// Stores the stack, records a history step labelled `label`, and keeps `edited` in step.
void saveEditStack(Database& db, std::int64_t rowid, const core::EditStack& stack,
                   std::string_view label);
// Recomputes whether the photo counts as edited (a non-empty stack or a trimmed video).
void updateEdited(Database& db, std::int64_t rowid);

std::optional<core::PhotoAIAnnotation> annotation(Database& db, std::int64_t rowid);
// Rebuilds the photo's lower-cased search text from its file, keywords and annotation.
void refreshSearchText(Database& db, std::int64_t rowid);

// The view state: small named values (JSON text), absent when never set.
std::optional<std::string> viewValue(Database& db, std::string_view key);
void setViewValue(Database& db, std::string_view key, std::optional<std::string> value);

// Its keys: the displayed view, the selection and its primary, the focused photo, the editor's.
namespace viewKey {
inline constexpr std::string_view ids = "view.ids";
inline constexpr std::string_view title = "view.title";
inline constexpr std::string_view selection = "selection.ids";
inline constexpr std::string_view primary = "selection.primary";
inline constexpr std::string_view focus = "focus";
inline constexpr std::string_view editorPhoto = "editor.photo";
}  // namespace viewKey

// The canonical ids of a stored list that still name present photos, in order; empty when the
// list was never set or cannot be read.
std::vector<std::string> viewPhotos(Database& db, std::string_view key);
// The stored id, when it still names a present photo.
std::optional<std::string> viewPhoto(Database& db, std::string_view key);
// The title of a view shown without one.
inline constexpr std::string_view defaultViewTitle = "Photos";
// The displayed view becomes `ids` titled `title`.
void setView(Database& db, const std::vector<std::string>& ids, std::string_view title);

}  // namespace tarno::library
