// Evaluation of smart queries, and their depth-bounded decoding.
#include "tarno/core/smart_query.hpp"

#include <algorithm>
#include <string>

#include "tarno/core/text.hpp"

namespace tarno::core {

namespace smart_query {
namespace {

// One rule per case; recursion follows the query's own nesting, which decoding bounds.
bool holds(const All&, const PhotoAttributes&) {
  return true;
}
bool holds(const RatingAtLeast& q, const PhotoAttributes& p) {
  return p.rating >= q.rating;
}
bool holds(const RatingAtMost& q, const PhotoAttributes& p) {
  return p.rating <= q.rating;
}
bool holds(const Flag& q, const PhotoAttributes& p) {
  return p.flagRaw == q.flagRaw;
}
bool holds(const ColorLabel& q, const PhotoAttributes& p) {
  return p.colorLabelRaw == q.colorLabelRaw;
}
bool holds(const IsEdited& q, const PhotoAttributes& p) {
  return p.isEdited == q.isEdited;
}
bool holds(const IsRAW& q, const PhotoAttributes& p) {
  return p.isRAW == q.isRAW;
}
bool holds(const Keyword& q, const PhotoAttributes& p) {
  return std::any_of(p.keywords.begin(), p.keywords.end(),
                     [&](const std::string& k) { return equalsIgnoringCase(k, q.text); });
}
bool holds(const FilenameContains& q, const PhotoAttributes& p) {
  return localizedCaseInsensitiveContains(p.filename, q.text);
}
bool holds(const CapturedBetween& q, const PhotoAttributes& p) {
  return p.captureDate && q.start <= *p.captureDate && *p.captureDate <= q.end;
}
bool holds(const And& q, const PhotoAttributes& p) {
  return std::all_of(q.members.begin(), q.members.end(),
                     [&](const SmartQuery& m) { return m.matches(p); });
}
bool holds(const Or& q, const PhotoAttributes& p) {
  return std::any_of(q.members.begin(), q.members.end(),
                     [&](const SmartQuery& m) { return m.matches(p); });
}
bool holds(const Not& q, const PhotoAttributes& p) {
  return !q.member->matches(p);
}

}  // namespace

bool operator==(const And& a, const And& b) {
  return a.members == b.members;
}
bool operator==(const Or& a, const Or& b) {
  return a.members == b.members;
}
bool operator==(const Not& a, const Not& b) {
  return a.member == b.member;
}

}  // namespace smart_query

bool SmartQuery::matches(const PhotoAttributes& photo) const {
  return std::visit([&](const auto& c) { return smart_query::holds(c, photo); }, payload());
}

void fromJSON(const JsonValue& j, SmartQuery& out, const CodingPath& path) {
  if (path.depth() > SmartQuery::maxDecodingDepth) {
    throwDataCorrupted("Smart query nested more than " +
                           std::to_string(SmartQuery::maxDecodingDepth) + " levels deep.",
                       path);
  }
  JsonCoder<SmartQuery>::decodeCases(j, out, path);
}

}  // namespace tarno::core
