// Handlers of edit stacks, their snapshots and sidecars, renderings, video trims and LUTs.
#include <algorithm>
#include <set>

#include "library/atomic_file.hpp"
#include "library/handlers.hpp"
#include "tarno/core/adjustment_data_codec.hpp"
#include "tarno/core/edit_patch.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/text.hpp"
#include "tarno/library/develop_pipeline.hpp"
#include "tarno/library/image_reader.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/media_records.hpp"
#include "tarno/protocol/snapshot_records.hpp"

namespace tarno::library::handlers {

namespace {

using namespace protocol;

constexpr std::int64_t defaultPreviewLongEdge = 1024;
constexpr std::int64_t maxPreviewLongEdge = 4096;

// The stack committed beside an original: "<file>.tarno-edit.json".
struct EditSidecar {
  std::string formatIdentifier;
  std::string formatVersion;
  std::string photoID;
  core::EditStack stack;
  static constexpr auto jsonFields =
      std::tuple{core::required("formatIdentifier", &EditSidecar::formatIdentifier),
                 core::required("formatVersion", &EditSidecar::formatVersion),
                 core::required("photoID", &EditSidecar::photoID),
                 core::required("stack", &EditSidecar::stack)};
};

std::string patchErrorMessage(const core::EditPatchError& e) {
  if (const auto* m = e.as<core::EditPatchError::MalformedOp>()) {
    return "the op for " + std::string(core::rawValue(m->kind)) +
           " must carry exactly one of scalar, boolean, curve, rect, string, pointColors or "
           "remove: true";
  }
  if (const auto* m = e.as<core::EditPatchError::MalformedMaskOp>()) {
    return "the mask op " + std::string(core::rawValue(m->action)) + " lacks a field it needs";
  }
  if (const auto* m = e.as<core::EditPatchError::MaskNotFound>()) {
    return "no mask with id " + m->id.string();
  }
  return e.what();
}

core::EditOrigin originOf(const EditSetParams& p) {
  if (!p.agent && !p.sessionId) return core::EditOrigin::user();
  return core::EditOrigin::ai(p.agent.value_or("assistant"), p.sessionId.value_or(""));
}

std::int64_t previewEdge(std::optional<std::int64_t> longEdge) {
  const std::int64_t edge = longEdge.value_or(defaultPreviewLongEdge);
  if (edge < 1 || edge > maxPreviewLongEdge) {
    invalidParams("longEdge must be 1 to " + std::to_string(maxPreviewLongEdge));
  }
  return edge;
}

DevelopSettings developSettings(const Services& s) {
  return DevelopSettings{.lutDirectories = s.lutFolders()};
}

// Whether the photo renders with its stack: a still whose stack changes something.
bool rendersStack(const PhotoRow& row, const core::EditStack& stack) {
  return !row.isVideo && !developsToOriginal(stack);
}

// The committed rendering beside the original: hidden, so the scanner never takes it for a
// photo of its own ("dir/.IMG_1.jpg.tarno-edit.jpg" for "dir/IMG_1.jpg").
std::filesystem::path renderedCopyOf(const std::filesystem::path& original) {
  return original.parent_path() / ("." + original.filename().string() + ".tarno-edit.jpg");
}

// The photo with its stack developed, or the original when the stack changes nothing;
// developed previews come from the cache when asked again.
std::optional<PreviewResult> renderPreviewOf(const Services& s, const PhotoRow& row,
                                             const core::EditStack& stack, std::int64_t edge,
                                             RenderError* error) {
  const std::filesystem::path file = s.file(row.path);
  std::optional<Rendering> r;
  const bool developed = rendersStack(row, stack);
  if (developed) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    const auto changed = std::filesystem::last_write_time(file, ec).time_since_epoch().count();
    const develop::RenderKey key{row.id, stack.version, edge,
                                 ec ? -1 : static_cast<std::int64_t>(size),
                                 static_cast<std::int64_t>(changed)};
    r = s.renders->find(key);
    if (!r) {
      r = developPreview(file, stack, edge, developSettings(s), error);
      if (r && !ec) s.renders->insert(key, *r);
    }
  } else {
    r = renderPreview(file, edge, error);
  }
  if (!r) return std::nullopt;
  return PreviewResult{core::base64Encode(r->bytes), r->width, r->height, stack.version,
                       !developed};
}

struct StackOf {
  PhotoRow row;
  core::EditStack stack;
};

StackOf currentStack(Database& db, std::string_view id) {
  PhotoRow row = requirePhoto(db, id);
  core::EditStack stack = editStack(db, row.rowid).value_or(core::EditStack{});
  return StackOf{std::move(row), std::move(stack)};
}

}  // namespace

std::string editGet(Services& s, const Call& call) {
  const auto params = paramsOf<EditGetParams>(call);
  return reply(call, s.store.read([&](Database& db) {
    core::EditStack stack = currentStack(db, params.id).stack;
    const std::int64_t version = stack.version;
    return EditGetResult{std::move(stack), version};
  }));
}

std::string editSet(Services& s, const Call& call) {
  const auto p = paramsOf<EditSetParams>(call);
  const core::EditOrigin origin = originOf(p);
  const std::string label = p.agent ? "Edit by " + *p.agent : std::string("Edit");
  const bool preview = p.preview.value_or(false);
  const std::int64_t edge = preview ? previewEdge(p.previewLongEdge) : 0;
  // The version check and the change happen in one transaction under the store's lock: of two
  // requests made against one version exactly one finds it.
  StackOf edited = s.store.write([&](Database& db) {
    StackOf current = currentStack(db, p.id);
    try {
      current.stack.apply(p.ops, p.maskOps.value_or(std::vector<core::MaskPatchOp>{}), origin,
                          now(), p.expectedVersion);
    } catch (const core::EditPatchError& e) {
      if (const auto* m = e.as<core::EditPatchError::VersionMismatch>()) {
        fail(RPCErrorCode::versionConflict,
             "the edit stack is at version " + std::to_string(m->actual) + ", not " +
                 std::to_string(m->expected) + "; read it again with edit.get");
      }
      // The transaction is rolled back: a mask op that failed half-way leaves nothing behind.
      invalidParams(patchErrorMessage(e));
    }
    saveEditStack(db, current.row.rowid, current.stack, label);
    return current;
  });
  EditSetResult result{edited.stack.version, edited.stack, std::nullopt};
  // The change is made whatever the preview does: one that cannot be rendered is left out
  // rather than reported as a failed edit.
  RenderError error;
  if (preview) result.preview = renderPreviewOf(s, edited.row, edited.stack, edge, &error);
  return reply(call, result);
}

std::string editReset(Services& s, const Call& call) {
  const auto params = paramsOf<EditResetParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    StackOf current = currentStack(db, params.id);
    if (!current.stack.isEmpty()) {
      // The version keeps counting: a stale expectedVersion must not match the reset stack.
      core::EditStack empty;
      empty.version = current.stack.version + 1;
      saveEditStack(db, current.row.rowid, empty, "Reset");
      current.stack = empty;
    }
    const std::int64_t version = current.stack.version;
    return EditGetResult{std::move(current.stack), version};
  }));
}

std::string editCommit(Services& s, const Call& call) {
  const auto params = paramsOf<CommitParams>(call);
  const auto [row, stack] = s.store.read([&](Database& db) {
    PhotoRow found = requirePhoto(db, params.id);
    return std::pair{found, editStack(db, found.rowid)};
  });
  if (!stack) return reply(call, CommitResult{false, 0});
  const EditSidecar sidecar{std::string(core::AdjustmentDataCodec::formatIdentifier),
                            std::string(core::AdjustmentDataCodec::currentFormatVersion), row.id,
                            *stack};
  std::filesystem::path target = s.file(row.path);
  target += ".tarno-edit.json";
  std::string error;
  if (!replaceFileAtomically(target, core::encodeToString(sidecar) + "\n", &error)) {
    fail(RPCErrorCode::internalError, "cannot write the edit sidecar: " + error);
  }
  // The rendered copy goes beside the original and never over it; a stack that renders to the
  // original leaves none (an earlier one, ours, is removed).
  const std::filesystem::path rendered = renderedCopyOf(s.file(row.path));
  if (rendersStack(row, *stack)) {
    RenderError renderError;
    if (!developExport(s.file(row.path), *stack, "jpeg", std::nullopt, 0.92, rendered,
                       developSettings(s), &renderError)) {
      fail(RPCErrorCode::internalError, "cannot render the committed edit: " + renderError.message);
    }
  } else if (!row.isVideo) {
    std::error_code ec;
    std::filesystem::remove(rendered, ec);
  }
  // Copies, not the structured bindings: clang 14 lambdas cannot capture those.
  s.store.write([version = stack->version, rowid = row.rowid](Database& db) {
    db.prepare("UPDATE edits SET committed_version = ? WHERE photo = ?").bind(version, rowid).run();
  });
  return reply(call, CommitResult{true, stack->version});
}

std::string previewRender(Services& s, const Call& call) {
  const auto params = paramsOf<PreviewParams>(call);
  const std::int64_t edge = previewEdge(params.longEdge);
  const StackOf current = s.store.read([&](Database& db) { return currentStack(db, params.id); });
  RenderError error;
  const auto preview = renderPreviewOf(s, current.row, current.stack, edge, &error);
  if (!preview)
    fail(RPCErrorCode::internalError,
         "cannot render " + core::decodeUTF8Lossy(current.row.path) + ": " + error.message);
  return reply(call, *preview);
}

std::string exportRender(Services& s, const Call& call) {
  const auto p = paramsOf<ExportRenderParams>(call);
  const std::optional<std::string> format = exportFormatName(p.format.value_or("jpeg"));
  if (!format) invalidParams("unknown export format " + *p.format + "; jpeg, png or tiff");
  if (p.colorSpace && core::lowercased(*p.colorSpace) != "srgb") {
    invalidParams("unknown colour space " + *p.colorSpace + "; exports are sRGB");
  }
  if (p.quality && !(*p.quality >= 0 && *p.quality <= 1)) invalidParams("quality must be 0 to 1");
  if (p.longEdge && *p.longEdge < 1) invalidParams("longEdge must be at least 1");
  const StackOf current = s.store.read([&](Database& db) { return currentStack(db, p.id); });
  const PhotoRow& row = current.row;
  const std::string extension = *format == "jpeg" ? "jpg" : *format == "tiff" ? "tif" : *format;
  const std::string stem = core::decodeUTF8Lossy(std::filesystem::path(row.path).stem().string());
  std::error_code ec;
  std::filesystem::create_directories(s.exchangeDir(), ec);
  const std::filesystem::path out =
      s.exchangeDir() / (stem + "-" + row.id.substr(0, 8) + "." + extension);
  RenderError error;
  const std::optional<Rendering> r =
      rendersStack(row, current.stack)
          ? developExport(s.file(row.path), current.stack, *format, p.longEdge, p.quality, out,
                          developSettings(s), &error)
          : renderExport(s.file(row.path), *format, p.longEdge, p.quality, out, &error);
  if (!r)
    fail(RPCErrorCode::internalError,
         "cannot export " + core::decodeUTF8Lossy(row.path) + ": " + error.message);
  const auto size = std::filesystem::file_size(out, ec);
  return reply(call, ExportRenderResult{out.string(), *format, stem + "." + extension,
                                        ec ? static_cast<std::int64_t>(r->bytes.size())
                                           : static_cast<std::int64_t>(size)});
}

std::string snapshotList(Services& s, const Call& call) {
  const auto params = paramsOf<SnapshotListParams>(call);
  return reply(call, s.store.read([&](Database& db) {
    const PhotoRow row = requirePhoto(db, params.id);
    SnapshotListResult result;
    Statement& st =
        db.prepare("SELECT name, created FROM snapshots WHERE photo = ? ORDER BY created, name");
    st.bind(row.rowid);
    while (st.step())
      result.snapshots.push_back(SnapshotInfo{st.text(0), dateFromUnix(st.integer(1))});
    return result;
  }));
}

std::string snapshotSave(Services& s, const Call& call) {
  const auto params = paramsOf<SnapshotRefParams>(call);
  if (params.name.empty()) invalidParams("a snapshot needs a name");
  return reply(call, s.store.write([&](Database& db) {
    const StackOf current = currentStack(db, params.id);
    const core::Date created = now();
    // Saving under a taken name replaces that snapshot.
    db.prepare("INSERT OR REPLACE INTO snapshots(photo, name, stack, created) VALUES(?, ?, ?, ?)")
        .bind(current.row.rowid, params.name, core::encodeToString(current.stack),
              unixSeconds(created))
        .run();
    return SnapshotInfo{params.name, created};
  }));
}

std::string snapshotRestore(Services& s, const Call& call) {
  const auto params = paramsOf<SnapshotRefParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    const StackOf current = currentStack(db, params.id);
    Statement& st = db.prepare("SELECT stack FROM snapshots WHERE photo = ? AND name = ?");
    st.bind(current.row.rowid, params.name);
    if (!st.step()) invalidParams("photo " + params.id + " has no snapshot named " + params.name);
    core::EditStack restored = core::decodeFromString<core::EditStack>(st.text(0));
    st.run();
    restored.version = current.stack.version + 1;
    saveEditStack(db, current.row.rowid, restored, "Restore snapshot " + params.name);
    const std::int64_t version = restored.version;
    return EditGetResult{std::move(restored), version};
  }));
}

std::string videoCommit(Services& s, const Call& call) {
  const auto p = paramsOf<VideoCommitParams>(call);
  return reply(call, s.store.write([&](Database& db) {
    const PhotoRow row = requirePhoto(db, p.id);
    if (!row.isVideo) invalidParams(p.id + " is not a video");
    const double start = p.startSeconds.value_or(0);
    double end = p.endSeconds.value_or(row.duration);
    if (row.duration > 0) end = std::min(end, row.duration);
    if (!(start >= 0) || !(end > start)) {
      invalidParams("the range to keep must start at 0 or later and end after its start");
    }
    // The trim is the video's edit: the file itself is never rewritten.
    db.prepare("INSERT OR REPLACE INTO video_trims(photo, start, end, updated) VALUES(?, ?, ?, ?)")
        .bind(row.rowid, start, end, unixSeconds(now()))
        .run();
    updateEdited(db, row.rowid);
    return UpdatedResult{1, {}};
  }));
}

std::string lutList(Services& s, const Call& call) {
  LUTListResult result;
  std::set<std::string> seen;
  for (const std::filesystem::path& dir : s.lutFolders()) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::filesystem::path& f = it->path();
      if (core::lowercased(f.extension().string()) == ".cube" && it->is_regular_file(ec)) {
        files.push_back(f);
      }
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      const std::string id = core::decodeUTF8Lossy(f.filename().string());
      if (!seen.insert(id).second) continue;
      std::string name = core::decodeUTF8Lossy(f.stem().string());
      std::replace(name.begin(), name.end(), '_', ' ');
      result.luts.push_back(LUTInfo{id, name});
    }
  }
  return reply(call, result);
}

}  // namespace tarno::library::handlers
