// Parameters and results of the three kinds of photo group: the app's collections and keywords
// (both may be nested) and the Apple Photos library's albums (flat, with a title). One pair of
// parameter records serves all three kinds. Common record rules: library_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"

namespace tarno::protocol {

// Params of collection.add/remove, keyword.assign/remove and album.add/remove. The group is named
// by id or by name; which wins when both are given is the app's decision.
struct GroupMembershipParams {
  std::optional<std::string> id;
  std::optional<std::string> name;
  std::vector<std::string> ids;  // the photos
  static constexpr auto jsonFields =
      std::tuple{core::optional("id", &GroupMembershipParams::id),
                 core::optional("name", &GroupMembershipParams::name),
                 core::required("ids", &GroupMembershipParams::ids)};
  friend bool operator==(const GroupMembershipParams&, const GroupMembershipParams&) = default;
};

// Params of collection.create, keyword.create and album.create.
struct GroupCreateParams {
  std::string name;
  std::optional<std::string> parentID;
  std::optional<std::vector<std::string>> ids;  // photos to put in it at once
  static constexpr auto jsonFields =
      std::tuple{core::required("name", &GroupCreateParams::name),
                 core::optional("parentID", &GroupCreateParams::parentID),
                 core::optional("ids", &GroupCreateParams::ids)};
  friend bool operator==(const GroupCreateParams&, const GroupCreateParams&) = default;
};

struct CollectionInfo {
  std::string id;
  std::string name;
  std::int64_t count = 0;
  bool isSmart = false;  // content defined by a query rather than by membership
  std::optional<std::string> parentID;
  static constexpr auto jsonFields = std::tuple{
      core::required("id", &CollectionInfo::id), core::required("name", &CollectionInfo::name),
      core::required("count", &CollectionInfo::count),
      core::required("isSmart", &CollectionInfo::isSmart),
      core::optional("parentID", &CollectionInfo::parentID)};
  friend bool operator==(const CollectionInfo&, const CollectionInfo&) = default;
};

// Result of collection.list.
struct CollectionListResult {
  std::vector<CollectionInfo> collections;
  static constexpr auto jsonFields =
      std::tuple{core::required("collections", &CollectionListResult::collections)};
};

struct KeywordInfo {
  std::string id;
  std::string name;
  std::int64_t count = 0;
  std::optional<std::string> parentID;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &KeywordInfo::id), core::required("name", &KeywordInfo::name),
                 core::required("count", &KeywordInfo::count),
                 core::optional("parentID", &KeywordInfo::parentID)};
  friend bool operator==(const KeywordInfo&, const KeywordInfo&) = default;
};

// Result of keyword.list.
struct KeywordListResult {
  std::vector<KeywordInfo> keywords;
  static constexpr auto jsonFields =
      std::tuple{core::required("keywords", &KeywordListResult::keywords)};
};

// An Apple Photos album: a title, not a name, and no parent.
struct AlbumInfo {
  std::string id;
  std::string title;
  std::int64_t count = 0;
  static constexpr auto jsonFields =
      std::tuple{core::required("id", &AlbumInfo::id), core::required("title", &AlbumInfo::title),
                 core::required("count", &AlbumInfo::count)};
  friend bool operator==(const AlbumInfo&, const AlbumInfo&) = default;
};

// Result of album.list.
struct AlbumListResult {
  std::vector<AlbumInfo> albums;
  static constexpr auto jsonFields = std::tuple{core::required("albums", &AlbumListResult::albums)};
};

}  // namespace tarno::protocol
