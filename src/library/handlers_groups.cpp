// Handlers of photo groups (collections, keywords, albums), annotations and movies.
#include <algorithm>

#include "library/handlers.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/tarno_movie.hpp"
#include "tarno/core/text.hpp"
#include "tarno/core/uuid.hpp"
#include "tarno/protocol/annotation_records.hpp"
#include "tarno/protocol/collection_records.hpp"
#include "tarno/protocol/movie_records.hpp"

namespace tarno::library::handlers {

namespace {

using namespace protocol;

constexpr std::int64_t defaultPendingLimit = 50;
constexpr std::int64_t maxPendingLimit = 1000;
constexpr double stillClipSeconds = 3.0;

// The three kinds of group share one shape: a table of groups and a table of members.
struct GroupKind {
  std::string_view noun;     // for messages
  std::string_view table;    // id, name column, parent (collections and keywords)
  std::string_view name;     // the name column
  std::string_view members;  // (group column, photo)
  std::string_view member;   // the group column of `members`
  bool nested;               // honours parentID
  bool createdOnUse;         // a membership request naming a missing group creates it
  bool searchable;           // member names are part of the photos' search text
};
constexpr GroupKind collections{"collection", "collections", "name", "collection_photos",
                                "collection", true,          false,  false};
constexpr GroupKind keywords{"keyword", "keywords", "name", "photo_keywords",
                             "keyword", true,       true,   true};
constexpr GroupKind albums{"album", "albums", "title", "album_photos",
                           "album", false,    false,   false};

std::string sql(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts)
    out += p;
  return out;
}

struct Group {
  std::int64_t rowid = 0;
  std::string id;
  std::string name;
  std::optional<std::string> parent;
  std::int64_t count = 0;
};

std::optional<Group> groupWhere(Database& db, const GroupKind& k, std::string_view condition,
                                std::string_view value) {
  Statement& st = db.prepare(
      sql({"SELECT g.rowid, g.id, g.", k.name, ", ", k.nested ? "g.parent" : "NULL",
           ", (SELECT count(*) FROM ", k.members, " m JOIN photos p ON p.rowid = m.photo WHERE m.",
           k.member, " = g.rowid AND p.present = 1) FROM ", k.table, " g WHERE ", condition,
           " ORDER BY g.rowid LIMIT 1"}));
  st.bind(value);
  std::optional<Group> g;
  if (st.step()) {
    g = Group{st.integer(0), st.text(1), st.text(2), st.optionalText(3), st.integer(4)};
  }
  st.run();
  return g;
}

std::optional<Group> groupByID(Database& db, const GroupKind& k, std::string_view id) {
  return groupWhere(db, k, "g.id = ?", id);
}

// Names compare without regard to ASCII letter case.
std::optional<Group> groupByName(Database& db, const GroupKind& k, std::string_view name) {
  return groupWhere(db, k, sql({"g.", k.name, " = ? COLLATE NOCASE"}), name);
}

std::string trimmedName(std::string_view name, const GroupKind& k) {
  std::string out = core::trimmingWhitespaceAndNewlines(name);
  if (out.empty()) invalidParams("a " + std::string(k.noun) + " needs a name");
  return out;
}

Group createGroup(Database& db, const GroupKind& k, std::string_view name,
                  const std::optional<std::string>& parentID) {
  std::optional<std::string> parent;
  if (k.nested && parentID) {
    const auto p = groupByID(db, k, *parentID);
    if (!p) invalidParams("no " + std::string(k.noun) + " with id " + *parentID);
    parent = p->id;
  }
  // A group of the same name under the same parent is the one asked for: creating is idempotent.
  Statement& same =
      db.prepare(sql({"SELECT id FROM ", k.table, " WHERE ", k.name, " = ? COLLATE NOCASE",
                      k.nested ? " AND parent IS ?" : "", " ORDER BY rowid LIMIT 1"}));
  if (k.nested) {
    same.bind(name, parent);
  } else {
    same.bind(name);
  }
  std::optional<std::string> existing;
  if (same.step()) existing = same.text(0);
  same.run();
  if (existing) return *groupByID(db, k, *existing);
  const std::string id = core::Uuid::random().string();
  if (k.table == "collections") {
    db.prepare("INSERT INTO collections(id, name, parent, created) VALUES(?, ?, ?, ?)")
        .bind(id, name, parent, unixSeconds(now()))
        .run();
  } else if (k.table == "keywords") {
    db.prepare("INSERT INTO keywords(id, name, parent) VALUES(?, ?, ?)")
        .bind(id, name, parent)
        .run();
  } else {
    db.prepare("INSERT INTO albums(id, title, created) VALUES(?, ?, ?)")
        .bind(id, name, unixSeconds(now()))
        .run();
  }
  return *groupByID(db, k, id);
}

UpdatedResult changeMembers(Database& db, const GroupKind& k, const Group& g,
                            const std::vector<std::string>& ids, bool add) {
  ResolvedIDs resolved = resolveIDs(db, ids);
  Statement& change =
      add ? db.prepare(sql({"INSERT OR IGNORE INTO ", k.members, "(", k.member, ", photo",
                            k.table == "albums" ? ", position" : "", ") VALUES(?1, ?2",
                            k.table == "albums"
                                ? ", (SELECT coalesce(max(position), 0) + 1 FROM album_photos "
                                  "WHERE album = ?1)"
                                : "",
                            ")"}))
          : db.prepare(sql({"DELETE FROM ", k.members, " WHERE ", k.member, " = ? AND photo = ?"}));
  for (const auto& [rowid, id] : resolved.photos) {
    change.bind(g.rowid, rowid).run();
    if (k.searchable) refreshSearchText(db, rowid);
  }
  return UpdatedResult{static_cast<std::int64_t>(resolved.photos.size()),
                       std::move(resolved.skipped)};
}

std::string membership(Services& s, const Call& call, const GroupKind& k, bool add) {
  const auto p = paramsOf<GroupMembershipParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    std::optional<Group> g;
    // An id names one group for certain: it wins over a name.
    if (p.id) {
      g = groupByID(db, k, *p.id);
      if (!g) invalidParams("no " + std::string(k.noun) + " with id " + *p.id);
    } else if (p.name) {
      g = groupByName(db, k, trimmedName(*p.name, k));
      if (!g && add && k.createdOnUse)
        g = createGroup(db, k, trimmedName(*p.name, k), std::nullopt);
      if (!g) invalidParams("no " + std::string(k.noun) + " named " + *p.name);
    } else {
      invalidParams("name the " + std::string(k.noun) + " by id or name");
    }
    return changeMembers(db, k, *g, p.ids, add);
  }));
}

Group create(Services& s, const Call& call, const GroupKind& k) {
  const auto p = paramsOf<GroupCreateParams>(call);
  return s.store.write([&](Database& db) {
    Group g = createGroup(db, k, trimmedName(p.name, k), p.parentID);
    if (p.ids) changeMembers(db, k, g, *p.ids, true);
    return *groupByID(db, k, g.id);
  });
}

std::vector<Group> listGroups(Services& s, const GroupKind& k) {
  return s.store.read([&](Database& db) {
    Statement& st = db.prepare(sql({"SELECT g.rowid, g.id, g.", k.name, ", ",
                                    k.nested ? "g.parent" : "NULL", ", (SELECT count(*) FROM ",
                                    k.members, " m JOIN photos p ON p.rowid = m.photo WHERE m.",
                                    k.member, " = g.rowid AND p.present = 1) FROM ", k.table,
                                    " g ORDER BY g.", k.name, " COLLATE NOCASE, g.rowid"}));
    st.bind();
    std::vector<Group> out;
    while (st.step()) {
      out.push_back(
          Group{st.integer(0), st.text(1), st.text(2), st.optionalText(3), st.integer(4)});
    }
    return out;
  });
}

CollectionInfo collectionInfo(const Group& g) {
  return CollectionInfo{g.id, g.name, g.count, false, g.parent};
}
KeywordInfo keywordInfo(const Group& g) {
  return KeywordInfo{g.id, g.name, g.count, g.parent};
}
AlbumInfo albumInfo(const Group& g) {
  return AlbumInfo{g.id, g.name, g.count};
}

template <class Info, class Result, class Convert>
Result listResult(const std::vector<Group>& groups, Convert convert) {
  std::vector<Info> infos;
  infos.reserve(groups.size());
  for (const Group& g : groups)
    infos.push_back(convert(g));
  return Result{std::move(infos)};
}

MovieInfo movieInfo(const core::TarnoMovie& m) {
  return MovieInfo{m.id.string(), m.name, static_cast<std::int64_t>(m.clips.size()), m.duration()};
}

}  // namespace

std::string annotatePending(Services& s, const Call& call) {
  const auto p = paramsOf<AnnotatePendingParams>(call);
  const std::int64_t limit = std::min(p.limit.value_or(defaultPendingLimit), maxPendingLimit);
  if (limit < 0) invalidParams("limit must not be negative");
  return reply(call, s.store.read([&](Database& db) {
    AnnotatePendingResult result;
    Statement& count = db.prepare(
        "SELECT count(*) FROM photos p WHERE p.present = 1 AND p.hidden = 0 AND NOT EXISTS "
        "(SELECT 1 FROM annotations a WHERE a.photo = p.rowid)");
    count.bind();
    if (count.step()) result.remaining = count.integer(0);
    count.run();
    Statement& st = db.prepare(
        "SELECT p.id FROM photos p WHERE p.present = 1 AND p.hidden = 0 AND NOT EXISTS "
        "(SELECT 1 FROM annotations a WHERE a.photo = p.rowid) ORDER BY p.capture DESC, "
        "p.rowid DESC LIMIT ?");
    st.bind(limit);
    while (st.step())
      result.ids.push_back(st.text(0));
    return result;
  }));
}

std::string annotateSet(Services& s, const Call& call) {
  const auto p = paramsOf<AnnotateSetParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    const PhotoRow row = requirePhoto(db, p.id);
    // A new annotation is laid over the stored one: its non-empty texts and present values win,
    // lists are united, so a partial annotation adds to what is known instead of erasing it.
    const std::optional<core::PhotoAIAnnotation> stored = annotation(db, row.rowid);
    const core::PhotoAIAnnotation merged = stored ? stored->overlaid(p.annotation) : p.annotation;
    std::optional<std::string> model = p.model;
    if (!model) {
      Statement& st = db.prepare("SELECT model FROM annotations WHERE photo = ?");
      st.bind(row.rowid);
      if (st.step()) model = st.optionalText(0);
      st.run();
    }
    db.prepare(
          "INSERT OR REPLACE INTO annotations(photo, annotation, model, search, updated) "
          "VALUES(?, ?, ?, ?, ?)")
        .bind(row.rowid, core::encodeToString(merged), model, merged.searchText(),
              unixSeconds(now()))
        .run();
    refreshSearchText(db, row.rowid);
    return AnnotateSetResult{merged};
  }));
}

std::string collectionList(Services& s, const Call& call) {
  return reply(call, listResult<CollectionInfo, CollectionListResult>(listGroups(s, collections),
                                                                      collectionInfo));
}
std::string collectionCreate(Services& s, const Call& call) {
  return reply(call, collectionInfo(create(s, call, collections)));
}
std::string collectionAdd(Services& s, const Call& call) {
  return membership(s, call, collections, true);
}
std::string collectionRemove(Services& s, const Call& call) {
  return membership(s, call, collections, false);
}

std::string keywordList(Services& s, const Call& call) {
  return reply(call,
               listResult<KeywordInfo, KeywordListResult>(listGroups(s, keywords), keywordInfo));
}
std::string keywordCreate(Services& s, const Call& call) {
  return reply(call, keywordInfo(create(s, call, keywords)));
}
std::string keywordAssign(Services& s, const Call& call) {
  return membership(s, call, keywords, true);
}
std::string keywordRemove(Services& s, const Call& call) {
  return membership(s, call, keywords, false);
}

std::string albumList(Services& s, const Call& call) {
  return reply(call, listResult<AlbumInfo, AlbumListResult>(listGroups(s, albums), albumInfo));
}
std::string albumCreate(Services& s, const Call& call) {
  return reply(call, albumInfo(create(s, call, albums)));
}
std::string albumAdd(Services& s, const Call& call) {
  return membership(s, call, albums, true);
}
std::string albumRemove(Services& s, const Call& call) {
  return membership(s, call, albums, false);
}

std::string movieMake(Services& s, const Call& call) {
  const auto p = paramsOf<MovieMakeParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    const ResolvedIDs resolved = resolveIDs(db, p.ids);
    if (resolved.photos.empty()) invalidParams("none of the ids names a photo or video");
    core::TarnoMovie movie;
    movie.id = core::Uuid::random();
    movie.name = p.name ? trimmedName(*p.name, GroupKind{"movie"}) : std::string("Untitled Movie");
    movie.createdAt = now();
    Statement& st = db.prepare(
        "SELECT p.is_video, p.duration, t.start, t.end FROM photos p LEFT JOIN video_trims t ON "
        "t.photo = p.rowid WHERE p.rowid = ?");
    for (const auto& [rowid, id] : resolved.photos) {
      st.bind(rowid);
      if (!st.step()) continue;
      if (st.integer(0) != 0) {
        // A trimmed video brings its trim.
        const double duration = st.real(1);
        const double in = st.isNull(2) ? 0 : st.real(2);
        const double out = st.isNull(3) ? duration : st.real(3);
        movie.append(id, in, out, duration > 0 ? std::optional(duration) : std::nullopt);
      } else {
        movie.appendStill(id, stillClipSeconds, core::KenBurnsStyle::zoomIn);
      }
      st.run();
    }
    movie.updatedAt = movie.createdAt;
    db.prepare("INSERT INTO movies(id, name, movie, created) VALUES(?, ?, ?, ?)")
        .bind(movie.id.string(), movie.name, core::encodeToString(movie),
              unixSeconds(movie.createdAt))
        .run();
    return movieInfo(movie);
  }));
}

std::string movieList(Services& s, const Call& call) {
  return reply(call, s.store.read([&](Database& db) {
    MovieListResult result;
    Statement& st = db.prepare("SELECT movie FROM movies ORDER BY created DESC, rowid DESC");
    st.bind();
    while (st.step()) {
      result.movies.push_back(movieInfo(core::decodeFromString<core::TarnoMovie>(st.text(0))));
    }
    return result;
  }));
}

}  // namespace tarno::library::handlers
