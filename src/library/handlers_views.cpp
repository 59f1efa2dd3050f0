// Handlers of what the user looks at: the displayed view, the selection, the focused photo and
// the editor, and the search that can display its matches. None of them changes a photo.
#include <algorithm>
#include <cmath>

#include "library/handlers.hpp"
#include "library/photo_codes.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/text.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/query_records.hpp"

namespace tarno::library::handlers {

namespace {

using namespace protocol;

constexpr std::int64_t defaultQueryLimit = 200;
constexpr std::int64_t maxQueryLimit = 10'000;
constexpr std::size_t querySampleSize = 10;
constexpr double defaultRadiusMeters = 5'000;

std::vector<std::string> canonicalIDs(const ResolvedIDs& resolved) {
  std::vector<std::string> ids;
  ids.reserve(resolved.photos.size());
  for (const auto& [rowid, id] : resolved.photos)
    ids.push_back(id);
  return ids;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
      ++i;
    std::size_t end = i;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
      ++end;
    if (end > i) out.push_back(core::lowercased(text.substr(i, end - i)));
    i = end;
  }
  return out;
}

}  // namespace

std::string selection(Services& s, const Call& call) {
  return reply(call, s.store.read([&](Database& db) {
    SelectionResult result{viewPhotos(db, viewKey::selection), {}};
    result.primary = viewPhoto(db, viewKey::primary);
    return result;
  }));
}

std::string context(Services& s, const Call& call) {
  return reply(call, s.store.read([&](Database& db) {
    ContextResult result;
    result.editorPhotoID = viewPhoto(db, viewKey::editorPhoto);
    result.editorOpen = result.editorPhotoID.has_value();
    result.selectionIDs = viewPhotos(db, viewKey::selection);
    result.primarySelectionID = viewPhoto(db, viewKey::primary);
    // The photo in the editor, else the one focused last, else the primary selection.
    result.focusID = result.editorPhotoID;
    if (!result.focusID) result.focusID = viewPhoto(db, viewKey::focus);
    if (!result.focusID) result.focusID = result.primarySelectionID;
    if (result.focusID) {
      const std::int64_t rowid = *rowidOf(db, *result.focusID);
      result.focus = photoSummary(db, rowid);
      result.focusMetadata = photoMetadata(db, rowid);
      result.focusStack = editStack(db, rowid);
      result.focusAnnotation = annotation(db, rowid);
    }
    return result;
  }));
}

std::string query(Services& s, const Call& call) {
  const auto p = paramsOf<QueryParams>(call);
  const std::int64_t limit = std::min(p.limit.value_or(defaultQueryLimit), maxQueryLimit);
  if (limit < 1) invalidParams("limit must be at least 1");
  if (p.latitude.has_value() != p.longitude.has_value()) {
    invalidParams("a place filter needs both latitude and longitude");
  }
  std::optional<std::int64_t> flag;
  if (p.flag) {
    flag = flagCode(*p.flag);
    if (!flag) invalidParams("flag must be \"pick\", \"reject\" or \"none\", not " + *p.flag);
  }
  const double radius = p.radiusMeters.value_or(defaultRadiusMeters);
  if (p.latitude && !(radius >= 0)) invalidParams("radiusMeters must not be negative");
  const std::vector<std::string> textWords = words(p.text.value_or(""));

  // One statement whatever the filters: each given filter adds its condition, the words one
  // instr() each on the lower-cased search text.
  std::string sql =
      "SELECT p.rowid, p.id, count(*) OVER () FROM photos p WHERE p.present = 1 "
      "AND p.hidden = 0";
  if (p.dateFrom) sql += " AND p.capture >= :from";
  if (p.dateTo) sql += " AND p.capture <= :to";
  if (p.minRating) sql += " AND p.rating >= :rating";
  if (flag) sql += " AND p.flag = :flag";
  if (p.editedOnly.value_or(false)) sql += " AND p.edited = 1";
  if (p.videoOnly.value_or(false)) sql += " AND p.is_video = 1";
  if (p.favoritesOnly.value_or(false)) sql += " AND p.favorite = 1";
  if (p.latitude) {
    sql +=
        " AND p.lat BETWEEN :lat - :dlat AND :lat + :dlat AND "
        "distance_m(p.lat, p.lon, :lat, :lon) <= :radius";
  }
  for (std::size_t i = 0; i < textWords.size(); ++i) {
    sql += " AND instr(p.search, :w" + std::to_string(i) + ") > 0";
  }
  sql += " ORDER BY p.capture DESC, p.rowid DESC LIMIT :limit";

  QueryResult result;
  result.shown = p.show.value_or(false);
  const auto run = [&](Database& db) {
    Statement& st = db.prepare(sql);
    st.bind();
    st.bindNamed(":from", p.dateFrom ? std::optional(unixSeconds(*p.dateFrom)) : std::nullopt);
    st.bindNamed(":to", p.dateTo ? std::optional(unixSeconds(*p.dateTo)) : std::nullopt);
    st.bindNamed(":rating", p.minRating);
    st.bindNamed(":flag", flag);
    st.bindNamed(":lat", p.latitude);
    st.bindNamed(":lon", p.longitude);
    // A degree of latitude is at least 110.5 km: the band holds every point within the radius.
    st.bindNamed(":dlat", radius / 110'500.0);
    st.bindNamed(":radius", radius);
    for (std::size_t i = 0; i < textWords.size(); ++i) {
      st.bindNamed(":w" + std::to_string(i), textWords[i]);
    }
    st.bindNamed(":limit", limit);
    std::vector<std::int64_t> sampleRows;
    while (st.step()) {
      if (sampleRows.size() < querySampleSize) sampleRows.push_back(st.integer(0));
      result.ids.push_back(st.text(1));
      result.count = st.integer(2);
    }
    for (std::int64_t rowid : sampleRows)
      result.sample.push_back(*photoSummary(db, rowid));
    if (result.shown) {
      setView(db, result.ids,
              p.title  ? *p.title
              : p.text ? *p.text
                       : std::string("Search results"));
    }
  };
  if (result.shown) {
    s.store.write(run);
  } else {
    s.store.read(run);
  }
  return reply(call, result);
}

std::string show(Services& s, const Call& call) {
  const auto params = paramsOf<ShowParams>(call);
  const std::string title = params.title.value_or(std::string(defaultViewTitle));
  return reply(call, s.store.write([&](Database& db) {
    const std::vector<std::string> ids = canonicalIDs(resolveIDs(db, params.ids));
    setView(db, ids, title);
    return ShowResult{static_cast<std::int64_t>(ids.size()), title};
  }));
}

std::string select(Services& s, const Call& call) {
  const auto params = paramsOf<SelectParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    const std::vector<std::string> ids = canonicalIDs(resolveIDs(db, params.ids));
    SelectResult result{static_cast<std::int64_t>(ids.size()), {}};
    // The primary is one of the selected photos; otherwise the first of them.
    if (params.primary) {
      const std::optional<core::Uuid> uuid = core::Uuid::parse(*params.primary);
      if (uuid && std::find(ids.begin(), ids.end(), uuid->string()) != ids.end()) {
        result.primary = uuid->string();
      }
    }
    if (!result.primary && !ids.empty()) result.primary = ids.front();
    setViewValue(db, viewKey::selection, core::encodeToString(ids));
    setViewValue(db, viewKey::primary, result.primary);
    if (result.primary) setViewValue(db, viewKey::focus, result.primary);
    return result;
  }));
}

std::string editorOpen(Services& s, const Call& call) {
  const auto params = paramsOf<OpenEditorParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    if (params.open == false) {
      setViewValue(db, viewKey::editorPhoto, std::nullopt);
      return OpenEditorResult{false, {}};
    }
    std::optional<std::string> photo;
    if (params.id) {
      photo = requirePhoto(db, *params.id).id;
    } else {
      // Without an id the editor opens on the focused photo, else the primary selection, else
      // the photo it shows already.
      photo = viewPhoto(db, viewKey::focus);
      if (!photo) photo = viewPhoto(db, viewKey::primary);
      if (!photo) photo = viewPhoto(db, viewKey::editorPhoto);
      if (!photo) invalidParams("no photo to open: give an id or select a photo");
    }
    setViewValue(db, viewKey::editorPhoto, photo);
    setViewValue(db, viewKey::focus, photo);
    return OpenEditorResult{true, photo};
  }));
}

}  // namespace tarno::library::handlers
