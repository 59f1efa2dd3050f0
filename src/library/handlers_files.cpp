// Handlers that change files of the folder: deleting into the trash, locations in sidecars,
// imports. Originals are never rewritten, truncated or unlinked.
#include <sys/stat.h>

#include <cmath>

#include "library/file_ops.hpp"
#include "library/handlers.hpp"
#include "library/place_names.hpp"
#include "tarno/core/text.hpp"
#include "tarno/library/media_reader.hpp"
#include "tarno/protocol/media_records.hpp"

namespace tarno::library::handlers {

namespace {

using namespace protocol;

struct Target {
  std::int64_t rowid = 0;
  std::string id;
  std::string path;
};

// The named photos with their files, and the ids that name none.
std::pair<std::vector<Target>, std::vector<std::string>> targets(
    Services& s, const std::vector<std::string>& ids) {
  return s.store.read([&](Database& db) {
    ResolvedIDs resolved = resolveIDs(db, ids);
    std::vector<Target> out;
    out.reserve(resolved.photos.size());
    Statement& st = db.prepare("SELECT path FROM photos WHERE rowid = ?");
    for (auto& [rowid, id] : resolved.photos) {
      st.bind(rowid);
      if (st.step()) out.push_back(Target{rowid, std::move(id), st.text(0)});
      st.run();
    }
    return std::pair{std::move(out), std::move(resolved.skipped)};
  });
}

std::optional<FileStamp> stampOf(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileStamp{
      static_cast<std::int64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// The path of `file` relative to the folder when it lies inside it (and outside its hidden
// folders), else empty.
std::string insideFolder(const Services& s, const std::filesystem::path& file) {
  const std::filesystem::path rel = file.lexically_relative(s.options.folder);
  if (rel.empty()) return {};
  for (const auto& part : rel) {
    const std::string name = part.string();
    if (name == ".." || name.starts_with(".")) return {};
  }
  return rel.generic_string();
}

}  // namespace

std::string deletePhotos(Services& s, const Call& call) {
  const auto p = paramsOf<DeleteParams>(call);
  auto [photos, skipped] = targets(s, p.ids);
  // Deleting moves the file into the trash under its relative path, where it can be taken back
  // from; the store forgets the photo until the file is found in the folder again.
  std::vector<std::pair<Target, std::string>> moved;
  for (Target& t : photos) {
    std::string error;
    const std::filesystem::path to =
        moveWithoutReplacing(s.file(t.path), s.trashDir() / t.path, &error);
    if (to.empty()) {
      skipped.push_back(t.id);
    } else {
      moved.emplace_back(std::move(t), to.string());
    }
  }
  if (!moved.empty()) {
    s.store.write([&](Database& db) {
      for (const auto& [t, to] : moved) {
        db.prepare("UPDATE photos SET present = 0 WHERE rowid = ?").bind(t.rowid).run();
        db.prepare("INSERT INTO trash(photo, original, trashed, deleted) VALUES(?, ?, ?, ?)")
            .bind(t.rowid, t.path, to, unixSeconds(now()))
            .run();
      }
    });
  }
  return reply(call, UpdatedResult{static_cast<std::int64_t>(moved.size()), std::move(skipped)});
}

std::string geotag(Services& s, const Call& call) {
  const auto p = paramsOf<GeotagParams>(call);
  const bool clear = p.clear.value_or(false);
  const bool coordinates = p.latitude || p.longitude;
  if (int(clear) + int(coordinates) + int(p.place.has_value()) != 1) {
    invalidParams("give exactly one of latitude and longitude, place, or clear: true");
  }
  std::optional<core::Coordinate> where;
  if (coordinates) {
    if (!p.latitude || !p.longitude) invalidParams("give both latitude and longitude");
    if (!(std::abs(*p.latitude) <= 90) || !(std::abs(*p.longitude) <= 180)) {
      invalidParams("latitude must be -90 to 90 and longitude -180 to 180");
    }
    where = core::Coordinate{*p.latitude, *p.longitude};
  } else if (p.place) {
    where = placeCoordinate(*p.place);
    if (!where) invalidParams("unknown place " + *p.place + "; give a city name or coordinates");
  }
  auto [photos, skipped] = targets(s, p.ids);
  std::vector<Target> changed;
  for (Target& t : photos) {
    std::optional<std::pair<double, double>> position;
    if (where) position = std::pair{where->latitude, where->longitude};
    std::string error;
    if (writeLocationSidecar(s.file(t.path), position, &error)) {
      changed.push_back(std::move(t));
    } else {
      skipped.push_back(t.id);
    }
  }
  s.store.write([&](Database& db) {
    Statement& st = db.prepare("UPDATE photos SET lat = ?, lon = ? WHERE rowid = ?");
    for (const Target& t : changed) {
      st.bind(where ? std::optional(where->latitude) : std::nullopt,
              where ? std::optional(where->longitude) : std::nullopt, t.rowid)
          .run();
    }
  });
  GeotagResult result{static_cast<std::int64_t>(changed.size()), std::move(skipped), {}, {}};
  if (where) {
    result.latitude = where->latitude;
    result.longitude = where->longitude;
  }
  return reply(call, result);
}

std::string importAssets(Services& s, const Call& call) {
  const auto p = paramsOf<ImportParams>(call);
  ImportResult result;
  const std::filesystem::path importDir = s.options.folder / "Imported";
  for (const std::string& input : p.paths) {
    const std::filesystem::path source(input);
    const std::optional<FileStamp> sourceStamp =
        source.is_absolute() ? stampOf(source) : std::nullopt;
    if (!sourceStamp || !isMediaFileName(source.filename().string()) ||
        !readMetadata(source, *sourceStamp)) {
      result.failed.push_back(input);
      continue;
    }
    // A file inside the folder is in the library already: it is taken where it is.
    std::string relative = insideFolder(s, source.lexically_normal());
    std::filesystem::path file = source;
    if (relative.empty()) {
      std::string error;
      file = copyIntoFolder(source, importDir, &error);
      if (file.empty()) {
        result.failed.push_back(input);
        continue;
      }
      relative = insideFolder(s, file);
    }
    const std::optional<FileStamp> stamp = stampOf(file);
    std::optional<MediaMetadata> metadata;
    if (stamp) metadata = readMetadata(file, *stamp);
    if (!metadata) {
      result.failed.push_back(input);
      continue;
    }
    result.importedIDs.push_back(s.store.addFile(ScannedFile{relative, *stamp, *metadata}));
  }
  return reply(call, result);
}

}  // namespace tarno::library::handlers
