// Parameters and results of reading and changing a photo's edit stack and showing its result
// (edit.*, preview.render), and of what the user is looking at (app.context,
// library.selection). Common record rules: library_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/edit_patch.hpp"
#include "tarno/core/edit_stack.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/mask_patch.hpp"
#include "tarno/core/photo_ai_annotation.hpp"
#include "tarno/core/photo_summary.hpp"
#include "tarno/protocol/library_records.hpp"

namespace tarno::protocol {

// Params of edit.get.
struct EditGetParams {
  std::string id;
  static constexpr auto jsonFields = std::tuple{core::required("id", &EditGetParams::id)};
  friend bool operator==(const EditGetParams&, const EditGetParams&) = default;
};

// Result of edit.get.
struct EditGetResult {
  core::EditStack stack;
  std::int64_t version = 0;  // what edit.set's expectedVersion refers to
  static constexpr auto jsonFields = std::tuple{core::required("stack", &EditGetResult::stack),
                                                core::required("version", &EditGetResult::version)};
};

// Params of edit.set: ops change the global adjustments in order, maskOps the local masks.
// `agent` and `sessionId` (spelt with a lower-case d) are the assistant origin of the change.
struct EditSetParams {
  std::string id;
  std::vector<core::EditPatchOp> ops;
  std::optional<std::vector<core::MaskPatchOp>> maskOps;
  std::optional<std::int64_t> expectedVersion;
  std::optional<std::string> agent;
  std::optional<std::string> sessionId;
  std::optional<bool> preview;  // also render a preview of the result
  std::optional<std::int64_t> previewLongEdge;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &EditSetParams::id),
                 core::required("ops", &EditSetParams::ops),
                 core::optional("maskOps", &EditSetParams::maskOps),
                 core::optional("expectedVersion", &EditSetParams::expectedVersion),
                 core::optional("agent", &EditSetParams::agent),
                 core::optional("sessionId", &EditSetParams::sessionId),
                 core::optional("preview", &EditSetParams::preview),
                 core::optional("previewLongEdge", &EditSetParams::previewLongEdge)};
};

// Params of edit.commit.
struct CommitParams {
  std::string id;
  static constexpr auto jsonFields = std::tuple{core::required("id", &CommitParams::id)};
  friend bool operator==(const CommitParams&, const CommitParams&) = default;
};

// Result of edit.commit.
struct CommitResult {
  bool committed = false;  // written to the Apple Photos library
  std::int64_t version = 0;
  static constexpr auto jsonFields =
      std::tuple{core::required("committed", &CommitResult::committed),
                 core::required("version", &CommitResult::version)};
  friend bool operator==(const CommitResult&, const CommitResult&) = default;
};

// Params of edit.reset.
struct EditResetParams {
  std::string id;
  static constexpr auto jsonFields = std::tuple{core::required("id", &EditResetParams::id)};
  friend bool operator==(const EditResetParams&, const EditResetParams&) = default;
};

// Params of preview.render.
struct PreviewParams {
  std::string id;
  std::optional<std::int64_t> longEdge;  // pixels
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &PreviewParams::id),
                 core::optional("longEdge", &PreviewParams::longEdge)};
  friend bool operator==(const PreviewParams&, const PreviewParams&) = default;
};

// Result of preview.render, and the preview of an edit.set result.
struct PreviewResult {
  std::string pngBase64;  // a PNG file in standard Base64 text
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t appliedStackVersion = 0;
  bool basedOnOriginal = false;
  static constexpr auto jsonFields =
      std::tuple{core::required("pngBase64", &PreviewResult::pngBase64),
                 core::required("width", &PreviewResult::width),
                 core::required("height", &PreviewResult::height),
                 core::required("appliedStackVersion", &PreviewResult::appliedStackVersion),
                 core::required("basedOnOriginal", &PreviewResult::basedOnOriginal)};
};

// Result of edit.set.
struct EditSetResult {
  std::int64_t newVersion = 0;
  core::EditStack stack;
  std::optional<PreviewResult> preview;  // when one was asked for
  static constexpr auto jsonFields =
      std::tuple{core::required("newVersion", &EditSetResult::newVersion),
                 core::required("stack", &EditSetResult::stack),
                 core::optional("preview", &EditSetResult::preview)};
};

// Result of app.context: what the user is looking at right now.
struct ContextResult {
  bool editorOpen = false;
  std::optional<std::string> editorPhotoID;
  std::optional<std::string> focusID;
  std::vector<std::string> selectionIDs;
  std::optional<std::string> primarySelectionID;
  std::optional<core::PhotoSummary> focus;  // the focused photo and what the app knows of it
  std::optional<PhotoMetadataDTO> focusMetadata;
  std::optional<core::EditStack> focusStack;
  std::optional<core::PhotoAIAnnotation> focusAnnotation;
  static constexpr auto jsonFields =
      std::tuple{core::required("editorOpen", &ContextResult::editorOpen),
                 core::optional("editorPhotoID", &ContextResult::editorPhotoID),
                 core::optional("focusID", &ContextResult::focusID),
                 core::required("selectionIDs", &ContextResult::selectionIDs),
                 core::optional("primarySelectionID", &ContextResult::primarySelectionID),
                 core::optional("focus", &ContextResult::focus),
                 core::optional("focusMetadata", &ContextResult::focusMetadata),
                 core::optional("focusStack", &ContextResult::focusStack),
                 core::optional("focusAnnotation", &ContextResult::focusAnnotation)};
};

// Result of library.selection.
struct SelectionResult {
  std::vector<std::string> ids;
  std::optional<std::string> primary;
  static constexpr auto jsonFields =
      std::tuple{core::required("ids", &SelectionResult::ids),
                 core::optional("primary", &SelectionResult::primary)};
  friend bool operator==(const SelectionResult&, const SelectionResult&) = default;
};

}  // namespace tarno::protocol
