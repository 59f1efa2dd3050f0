// Handlers that read the library and change per-photo properties kept in the store.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "library/handlers.hpp"
#include "library/photo_codes.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/core/text.hpp"
#include "tarno/library/image_reader.hpp"
#include "tarno/library/media_reader.hpp"
#include "tarno/protocol/annotation_records.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::library::handlers {

namespace {

using namespace protocol;

// Pages of library.list.
constexpr std::int64_t defaultPageSize = 100;
constexpr std::int64_t maxPageSize = 1000;
// similar.find: matches differ in at most this many of the hash's 64 bits.
constexpr int similarMaxDistance = 12;
constexpr std::int64_t defaultSimilarLimit = 20;
constexpr std::int64_t maxSimilarLimit = 500;

// Sets one integer column of every named photo; unknown ids are skipped.
UpdatedResult setColumn(Services& s, const std::vector<std::string>& ids, const char* sql,
                        std::int64_t value) {
  return s.store.write([&](Database& db) {
    ResolvedIDs resolved = resolveIDs(db, ids);
    Statement& update = db.prepare(sql);
    for (const auto& [rowid, id] : resolved.photos)
      update.bind(value, rowid).run();
    return UpdatedResult{static_cast<std::int64_t>(resolved.photos.size()),
                         std::move(resolved.skipped)};
  });
}

// The result of photo.exif: every tag of the file as one flat object. A key that appears again
// (an XMP list, say) has its texts joined with ", ".
struct ExifTags {
  std::vector<std::pair<std::string, std::string>> tags;
};
void toJSON(core::JsonWriter& w, const ExifTags& t) {
  w.beginObject();
  for (const auto& [key, value] : t.tags)
    w.member(key, value);
  w.endObject();
}

}  // namespace

std::string ping(Services& s, const Call& call) {
  const std::int64_t count = s.store.read([](Database& db) {
    Statement& st = db.prepare("SELECT count(*) FROM photos WHERE present = 1");
    st.bind();
    const std::int64_t n = st.step() ? st.integer(0) : 0;
    st.run();
    return n;
  });
  std::error_code ec;
  const bool readable = std::filesystem::is_directory(s.options.folder, ec);
  return reply(call, PingResult{s.options.appVersion, "tarno-headless " + s.options.appVersion,
                                ipcProtocolVersion, readable, count});
}

std::string list(Services& s, const Call& call) {
  const auto params = paramsOf<ListParams>(call);
  const std::int64_t limit = std::min(params.limit.value_or(defaultPageSize), maxPageSize);
  const std::int64_t offset = params.cursor.value_or(0);
  if (limit < 1) invalidParams("limit must be at least 1");
  if (offset < 0) invalidParams("cursor must not be negative");
  return reply(call, s.store.read([&](Database& db) {
    static const std::string sql = "SELECT " + std::string(summaryColumns) +
                                   " FROM photos p WHERE p.present = 1 AND p.hidden = 0 ORDER BY "
                                   "p.capture DESC, p.rowid DESC LIMIT ? OFFSET ?";
    Statement& st = db.prepare(sql);
    // One more than the page tells whether another page follows.
    st.bind(limit + 1, offset);
    ListResult result;
    while (st.step())
      result.photos.push_back(photoSummary(st));
    if (static_cast<std::int64_t>(result.photos.size()) > limit) {
      result.photos.pop_back();
      result.nextCursor = offset + limit;
    }
    return result;
  }));
}

std::string get(Services& s, const Call& call) {
  const auto params = paramsOf<GetParams>(call);
  return reply(call, s.store.read([&](Database& db) {
    const PhotoRow row = requirePhoto(db, params.id);
    return GetResult{*photoSummary(db, row.rowid), photoMetadata(db, row.rowid),
                     annotation(db, row.rowid)};
  }));
}

std::string rate(Services& s, const Call& call) {
  const auto params = paramsOf<RateParams>(call);
  if (params.rating < 0 || params.rating > 5) invalidParams("rating must be 0 to 5");
  return reply(call, setColumn(s, params.ids, "UPDATE photos SET rating = ? WHERE rowid = ?",
                               params.rating));
}

std::string flag(Services& s, const Call& call) {
  const auto params = paramsOf<FlagParams>(call);
  const std::optional<std::int64_t> code = flagCode(params.flag);
  if (!code) invalidParams("flag must be \"pick\", \"reject\" or \"none\", not " + params.flag);
  return reply(call, setColumn(s, params.ids, "UPDATE photos SET flag = ? WHERE rowid = ?", *code));
}

std::string label(Services& s, const Call& call) {
  const auto params = paramsOf<LabelParams>(call);
  const std::optional<std::int64_t> code = colorLabelCode(params.color);
  if (!code) invalidParams("unknown colour label " + params.color + "; " + colorLabelNames());
  return reply(call,
               setColumn(s, params.ids, "UPDATE photos SET label = ? WHERE rowid = ?", *code));
}

std::string favorite(Services& s, const Call& call) {
  const auto params = paramsOf<FavoriteParams>(call);
  return reply(call, setColumn(s, params.ids, "UPDATE photos SET favorite = ? WHERE rowid = ?",
                               params.favorite ? 1 : 0));
}

std::string hide(Services& s, const Call& call) {
  const auto params = paramsOf<HideParams>(call);
  return reply(call, setColumn(s, params.ids, "UPDATE photos SET hidden = ? WHERE rowid = ?",
                               params.hidden ? 1 : 0));
}

std::string exif(Services& s, const Call& call) {
  const auto params = paramsOf<GetParams>(call);
  const PhotoRow row = s.store.read([&](Database& db) { return requirePhoto(db, params.id); });
  auto tags = readAllTags(s.file(row.path));
  if (!tags)
    fail(RPCErrorCode::internalError,
         "cannot read the metadata of " + core::decodeUTF8Lossy(row.path));
  ExifTags out;
  std::unordered_map<std::string, std::size_t> index;
  for (auto& [key, value] : *tags) {
    std::string text = core::decodeUTF8Lossy(std::move(value));
    auto [it, fresh] = index.emplace(key, out.tags.size());
    if (fresh) {
      out.tags.emplace_back(core::decodeUTF8Lossy(key), std::move(text));
    } else {
      out.tags[it->second].second += ", " + text;
    }
  }
  return reply(call, out);
}

std::string similarFind(Services& s, const Call& call) {
  const auto params = paramsOf<SimilarFindParams>(call);
  const std::int64_t limit = std::min(params.limit.value_or(defaultSimilarLimit), maxSimilarLimit);
  if (limit < 1) invalidParams("limit must be at least 1");
  std::optional<std::uint64_t> probe;
  std::optional<std::int64_t> probeRow;
  if (params.id) {
    const PhotoRow row = s.store.read([&](Database& db) {
      PhotoRow found = requirePhoto(db, *params.id);
      Statement& st = db.prepare("SELECT phash FROM photos WHERE rowid = ?");
      st.bind(found.rowid);
      if (st.step() && !st.isNull(0)) probe = static_cast<std::uint64_t>(st.integer(0));
      st.run();
      return found;
    });
    probeRow = row.rowid;
    // Not hashed yet: hashed now rather than after the background pass.
    if (!probe && !row.isVideo) probe = perceptualHash(s.file(row.path));
    if (!probe) invalidParams("photo " + *params.id + " has no image to compare");
  } else if (params.imageBase64) {
    const std::optional<std::string> bytes = core::base64Decode(*params.imageBase64);
    if (!bytes) invalidParams("imageBase64 is not Base64 text");
    probe = perceptualHashOfBytes(*bytes);
    if (!probe) invalidParams("imageBase64 is not an image this library can read");
  } else {
    invalidParams("give a photo id or an imageBase64 image to compare with");
  }
  return reply(call, s.store.read([&](Database& db) {
    SimilarFindResult result;
    std::vector<std::pair<int, std::int64_t>> close;
    Statement& st = db.prepare(
        "SELECT rowid, phash FROM photos WHERE present = 1 AND hidden = 0 AND phash IS NOT NULL");
    st.bind();
    while (st.step()) {
      ++result.indexed;
      const std::int64_t rowid = st.integer(0);
      if (rowid == probeRow) continue;
      const int d = hashDistance(*probe, static_cast<std::uint64_t>(st.integer(1)));
      if (d <= similarMaxDistance) close.emplace_back(d, rowid);
    }
    std::sort(close.begin(), close.end());
    if (static_cast<std::int64_t>(close.size()) > limit) close.resize(limit);
    Statement& idOf = db.prepare("SELECT id FROM photos WHERE rowid = ?");
    for (const auto& [d, rowid] : close) {
      idOf.bind(rowid);
      if (idOf.step()) result.matches.push_back(SimilarMatch{idOf.text(0), static_cast<double>(d)});
      idOf.run();
    }
    return result;
  }));
}

}  // namespace tarno::library::handlers
