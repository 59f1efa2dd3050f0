// The parameters record each method of the app takes, as a type: for whatever needs to check,
// decode or describe a method's parameters without naming the record a second time.
//
//   using P = protocol::MethodParams<IPCMethod::rate>;   // RateParams
#pragma once

#include <cstddef>
#include <tuple>
#include <utility>

#include "tarno/protocol/annotation_records.hpp"
#include "tarno/protocol/collection_records.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/ipc_method.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/media_records.hpp"
#include "tarno/protocol/movie_records.hpp"
#include "tarno/protocol/query_records.hpp"
#include "tarno/protocol/snapshot_records.hpp"

namespace tarno::protocol {

// The parameters of a method that takes none: any object reads as it, and it describes itself as
// an object without members.
struct NoParameters {
  static constexpr auto jsonFields = std::tuple{};
  friend bool operator==(const NoParameters&, const NoParameters&) = default;
};

namespace detail {

// One method and its record.
template <IPCMethod M, class P>
struct Entry {
  static constexpr IPCMethod method = M;
  using type = P;
};

// In method order; checked below to name every method once, in its place.
using ParamsTable = std::tuple<
    Entry<IPCMethod::ping, NoParameters>, Entry<IPCMethod::list, ListParams>,
    Entry<IPCMethod::selection, NoParameters>, Entry<IPCMethod::get, GetParams>,
    Entry<IPCMethod::rate, RateParams>, Entry<IPCMethod::flag, FlagParams>,
    Entry<IPCMethod::label, LabelParams>, Entry<IPCMethod::editGet, EditGetParams>,
    Entry<IPCMethod::editSet, EditSetParams>, Entry<IPCMethod::editCommit, CommitParams>,
    Entry<IPCMethod::previewRender, PreviewParams>, Entry<IPCMethod::context, NoParameters>,
    Entry<IPCMethod::annotatePending, AnnotatePendingParams>,
    Entry<IPCMethod::annotateSet, AnnotateSetParams>,
    Entry<IPCMethod::similarFind, SimilarFindParams>, Entry<IPCMethod::query, QueryParams>,
    Entry<IPCMethod::show, ShowParams>, Entry<IPCMethod::select, SelectParams>,
    Entry<IPCMethod::editorOpen, OpenEditorParams>, Entry<IPCMethod::favorite, FavoriteParams>,
    Entry<IPCMethod::hide, HideParams>, Entry<IPCMethod::delete_, DeleteParams>,
    Entry<IPCMethod::editReset, EditResetParams>, Entry<IPCMethod::collectionList, NoParameters>,
    Entry<IPCMethod::collectionCreate, GroupCreateParams>,
    Entry<IPCMethod::collectionAdd, GroupMembershipParams>,
    Entry<IPCMethod::collectionRemove, GroupMembershipParams>,
    Entry<IPCMethod::keywordList, NoParameters>, Entry<IPCMethod::keywordCreate, GroupCreateParams>,
    Entry<IPCMethod::keywordAssign, GroupMembershipParams>,
    Entry<IPCMethod::keywordRemove, GroupMembershipParams>,
    Entry<IPCMethod::albumList, NoParameters>, Entry<IPCMethod::albumCreate, GroupCreateParams>,
    Entry<IPCMethod::albumAdd, GroupMembershipParams>,
    Entry<IPCMethod::albumRemove, GroupMembershipParams>,
    Entry<IPCMethod::snapshotList, SnapshotListParams>,
    Entry<IPCMethod::snapshotSave, SnapshotRefParams>,
    Entry<IPCMethod::snapshotRestore, SnapshotRefParams>,
    Entry<IPCMethod::exportRender, ExportRenderParams>,
    // No record is fixed for it; the app reads the photo's id as photo.get does.
    Entry<IPCMethod::exif, GetParams>, Entry<IPCMethod::importAssets, ImportParams>,
    Entry<IPCMethod::videoCommit, VideoCommitParams>, Entry<IPCMethod::lutList, NoParameters>,
    Entry<IPCMethod::geotag, GeotagParams>, Entry<IPCMethod::movieMake, MovieMakeParams>,
    Entry<IPCMethod::movieList, NoParameters>>;

static_assert(std::tuple_size_v<ParamsTable> == core::allCases<IPCMethod>.size(),
              "every method names its parameters record");
static_assert(
    []<std::size_t... I>(std::index_sequence<I...>) {
      return ((std::tuple_element_t<I, ParamsTable>::method == core::allCases<IPCMethod>[I]) &&
              ...);
    }(std::make_index_sequence<std::tuple_size_v<ParamsTable>>{}),
    "the table lists the methods in their declaration order");

template <IPCMethod M>
constexpr std::size_t methodIndex() {
  for (std::size_t i = 0; i < core::allCases<IPCMethod>.size(); ++i) {
    if (core::allCases<IPCMethod>[i] == M) return i;
  }
  return core::allCases<IPCMethod>.size();
}

}  // namespace detail

template <IPCMethod M>
using MethodParams =
    typename std::tuple_element_t<detail::methodIndex<M>(), detail::ParamsTable>::type;

}  // namespace tarno::protocol
