// Every type a document of the app's protocol can be checked against, by name: the envelope,
// the records of every method, the endpoint description and the model records they carry. For tools
// that take a type name from their command line; the names are the types' own (core::typeName),
// never a second list.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/core/adjustment_value.hpp"
#include "tarno/core/edit_origin.hpp"
#include "tarno/core/edit_patch.hpp"
#include "tarno/core/edit_stack.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/local_mask.hpp"
#include "tarno/core/mask_patch.hpp"
#include "tarno/core/photo_ai_annotation.hpp"
#include "tarno/core/photo_info.hpp"
#include "tarno/core/photo_summary.hpp"
#include "tarno/core/smart_query.hpp"
#include "tarno/core/tarno_movie.hpp"
#include "tarno/protocol/annotation_records.hpp"
#include "tarno/protocol/collection_records.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/media_records.hpp"
#include "tarno/protocol/movie_records.hpp"
#include "tarno/protocol/query_records.hpp"
#include "tarno/protocol/rpc.hpp"
#include "tarno/protocol/snapshot_records.hpp"

namespace tarno::protocol {

template <class... T>
struct TypeList {};

template <class... A, class... B>
constexpr TypeList<A..., B...> join(TypeList<A...>, TypeList<B...>) {
  return {};
}

using ProtocolTypes = TypeList<
    // envelope and endpoint
    RPCID, RPCError, RPCEnvelope, IPCMethod, IPCEndpoint::EndpointInfo,
    // library and photos
    PingResult, ListParams, ListResult, GetParams, PhotoMetadataDTO, GetResult, RateParams,
    FlagParams, LabelParams, FavoriteParams, HideParams, DeleteParams, UpdatedResult,
    // edits, previews, context
    EditGetParams, EditGetResult, EditSetParams, EditSetResult, CommitParams, CommitResult,
    EditResetParams, PreviewParams, PreviewResult, ContextResult, SelectionResult,
    // annotation, similarity, query, views
    AnnotatePendingParams, AnnotatePendingResult, AnnotateSetParams, AnnotateSetResult,
    SimilarFindParams, SimilarMatch, SimilarFindResult, QueryParams, QueryResult, ShowParams,
    ShowResult, SelectParams, SelectResult, OpenEditorParams, OpenEditorResult,
    // groups
    GroupMembershipParams, GroupCreateParams, CollectionInfo, CollectionListResult, KeywordInfo,
    KeywordListResult, AlbumInfo, AlbumListResult,
    // snapshots, export, import, video, LUTs, geotags, movies
    SnapshotListParams, SnapshotRefParams, SnapshotInfo, SnapshotListResult, ExportRenderParams,
    ExportRenderResult, ImportParams, ImportResult, VideoCommitParams, LUTInfo, LUTListResult,
    GeotagParams, GeotagResult, MovieMakeParams, MovieInfo, MovieListResult>;

// The photo-model records that the protocol's records carry, and the movie document.
using ModelTypes =
    TypeList<core::EditStack, core::LocalMask, core::SmartQuery, core::PhotoSummary,
             core::PhotoInfo, core::PhotoAIAnnotation, core::TarnoMovie, core::EditPatchOp,
             core::MaskPatchOp, core::AdjustmentValue, core::EditOrigin>;

// The names of the listed types, in list order.
template <class... T>
std::vector<std::string_view> typeNames(TypeList<T...>) {
  return {core::typeName<T>...};
}

// `json` decoded as the listed type called `name` and encoded again with the protocol's shared
// coders; absent when no listed type has that name. Throws core::DecodingError, and
// core::EncodingError for a value without a JSON form.
template <class... T>
std::optional<std::string> reencodeAs(TypeList<T...>, std::string_view name,
                                      std::string_view json) {
  static_assert(
      [] {
        const std::array<std::string_view, sizeof...(T)> names{core::typeName<T>...};
        for (std::size_t i = 0; i < names.size(); ++i) {
          for (std::size_t k = i + 1; k < names.size(); ++k) {
            if (names[i] == names[k]) return false;
          }
        }
        return true;
      }(),
      "every listed type has a name of its own");
  std::optional<std::string> out;
  (void)((name == core::typeName<T> && (out = RPC::encode(RPC::decode<T>(json)), true)) || ...);
  return out;
}

}  // namespace tarno::protocol
