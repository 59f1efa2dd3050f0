// Parameters and results of named snapshots of a photo's edit stack (snapshot.list, .save and
// .restore). Common record rules: library_records.hpp.
#pragma once

#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"

namespace tarno::protocol {

// Params of snapshot.list.
struct SnapshotListParams {
  std::string id;  // the photo
  static constexpr auto jsonFields = std::tuple{core::required("id", &SnapshotListParams::id)};
  friend bool operator==(const SnapshotListParams&, const SnapshotListParams&) = default;
};

// Params of snapshot.save and snapshot.restore.
struct SnapshotRefParams {
  std::string id;  // the photo
  std::string name;
  static constexpr auto jsonFields = std::tuple{core::required("id", &SnapshotRefParams::id),
                                                core::required("name", &SnapshotRefParams::name)};
  friend bool operator==(const SnapshotRefParams&, const SnapshotRefParams&) = default;
};

struct SnapshotInfo {
  std::string name;
  core::Date createdAt;
  static constexpr auto jsonFields =
      std::tuple{core::required("name", &SnapshotInfo::name),
                 core::required("createdAt", &SnapshotInfo::createdAt)};
  friend bool operator==(const SnapshotInfo&, const SnapshotInfo&) = default;
};

// Result of snapshot.list.
struct SnapshotListResult {
  std::vector<SnapshotInfo> snapshots;
  static constexpr auto jsonFields =
      std::tuple{core::required("snapshots", &SnapshotListResult::snapshots)};
};

}  // namespace tarno::protocol
