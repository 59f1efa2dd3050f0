// Edit stack writers, readers and merge.
#include "tarno/core/edit_stack.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include "tarno/core/optional_list.hpp"

namespace tarno::core {

namespace {

// The version only ever counts changes; at the end of its range it wraps instead of overflowing,
// so a change still changes it.
std::int64_t nextVersion(std::int64_t v) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(v) + 1);
}

// A stored number read as a case of an integer-coded enumeration, rounded to the nearest whole.
template <class E>
E caseNear(std::optional<double> stored, E fallback) {
  const double r = std::round(stored.value_or(0));
  if (!(r >= 0 && r <= static_cast<double>(allCases<E>.size()))) return fallback;
  return caseWithRawValue<E>(static_cast<std::int64_t>(r)).value_or(fallback);
}

}  // namespace

// ---- writers ----------------------------------------------------------------------------------

void EditStack::store(AdjustmentKind kind, AdjustmentPayload p, const EditOrigin& origin, Date at) {
  values.insert_or_assign(kind, AdjustmentValue{kind, std::move(p), origin, at});
  version = nextVersion(version);
}

void EditStack::setScalar(AdjustmentKind kind, double v, const EditOrigin& origin, Date at) {
  store(kind, AdjustmentPayload::scalar(v), origin, at);
}
void EditStack::setBoolean(AdjustmentKind kind, bool v, const EditOrigin& origin, Date at) {
  store(kind, AdjustmentPayload::boolean(v), origin, at);
}
void EditStack::setCurve(AdjustmentKind kind, std::vector<Point> v, const EditOrigin& origin,
                         Date at) {
  store(kind, AdjustmentPayload::curve(std::move(v)), origin, at);
}
void EditStack::setRect(AdjustmentKind kind, Rect v, const EditOrigin& origin, Date at) {
  store(kind, AdjustmentPayload::rect(v), origin, at);
}
void EditStack::setString(AdjustmentKind kind, std::string v, const EditOrigin& origin, Date at) {
  store(kind, AdjustmentPayload::string(std::move(v)), origin, at);
}
void EditStack::setPointColors(std::vector<PointColorTarget> v, const EditOrigin& origin, Date at) {
  if (v.empty()) {
    clear(AdjustmentKind::pointColor);
  } else {
    store(AdjustmentKind::pointColor, AdjustmentPayload::pointColors(std::move(v)), origin, at);
  }
}

void EditStack::clear(AdjustmentKind kind) {
  if (values.erase(kind) > 0) version = nextVersion(version);
}

void EditStack::setColorProfile(ColorProfile p) {
  if (isIdentity(p)) {
    clear(AdjustmentKind::colorProfile);
  } else {
    setScalar(AdjustmentKind::colorProfile, static_cast<double>(id(p)), EditOrigin::user(),
              currentDate());
  }
}

void EditStack::setDevelopSource(DevelopSource s) {
  if (s == DevelopSource::raw) {
    clear(AdjustmentKind::developSource);
  } else {
    setScalar(AdjustmentKind::developSource, static_cast<double>(id(s)), EditOrigin::user(),
              currentDate());
  }
}

void EditStack::applyPreset(const EditStack& preset) {
  std::erase_if(values, [](const auto& v) { return !isGeometryKind(v.first); });
  for (const auto& [kind, value] : preset.values) {
    if (!isGeometryKind(kind)) values.insert_or_assign(kind, value);
  }
  version = nextVersion(version);
}

// ---- masks ------------------------------------------------------------------------------------

const std::vector<LocalMask>& EditStack::masks() const {
  return orEmpty(maskList);
}

void EditStack::setMasks(std::vector<LocalMask> masks) {
  maskList = absentIfEmpty(std::move(masks));
}

void EditStack::addMask(LocalMask mask) {
  if (!maskList) maskList.emplace();
  maskList->push_back(std::move(mask));
  version = nextVersion(version);
}

void EditStack::updateMask(LocalMask mask) {
  if (!maskList) return;
  const auto it = std::find_if(maskList->begin(), maskList->end(),
                               [&](const LocalMask& m) { return m.id == mask.id; });
  if (it == maskList->end()) return;
  *it = std::move(mask);
  version = nextVersion(version);
}

void EditStack::removeMask(const Uuid& id) {
  if (maskList) {
    std::erase_if(*maskList, [&](const LocalMask& m) { return m.id == id; });
    maskList = absentIfEmpty(std::move(*maskList));
  }
  version = nextVersion(version);
}

// ---- readers ----------------------------------------------------------------------------------

const AdjustmentPayload* EditStack::payload(AdjustmentKind kind) const {
  const auto it = values.find(kind);
  return it == values.end() ? nullptr : &it->second.payload;
}

namespace {
template <class T>
std::optional<T> held(const AdjustmentPayload* p) {
  if (p == nullptr) return std::nullopt;
  if (const T* v = p->as<T>()) return *v;
  return std::nullopt;
}
}  // namespace

std::optional<double> EditStack::scalar(AdjustmentKind kind) const {
  return held<double>(payload(kind));
}
double EditStack::scalar(AdjustmentKind kind, double fallback) const {
  return scalar(kind).value_or(fallback);
}
std::optional<bool> EditStack::boolean(AdjustmentKind kind) const {
  return held<bool>(payload(kind));
}
bool EditStack::boolean(AdjustmentKind kind, bool fallback) const {
  return boolean(kind).value_or(fallback);
}
std::optional<std::vector<Point>> EditStack::curve(AdjustmentKind kind) const {
  return held<std::vector<Point>>(payload(kind));
}
std::optional<Rect> EditStack::rect(AdjustmentKind kind) const {
  return held<Rect>(payload(kind));
}
std::optional<std::string> EditStack::string(AdjustmentKind kind) const {
  return held<std::string>(payload(kind));
}
std::vector<PointColorTarget> EditStack::pointColors() const {
  return held<std::vector<PointColorTarget>>(payload(AdjustmentKind::pointColor))
      .value_or(std::vector<PointColorTarget>{});
}

ColorProfile EditStack::colorProfile() const {
  return caseNear(scalar(AdjustmentKind::colorProfile), ColorProfile::standard);
}
DevelopSource EditStack::developSource() const {
  return caseNear(scalar(AdjustmentKind::developSource), DevelopSource::raw);
}

bool EditStack::hasGeometry() const {
  if (auto crop = rect(AdjustmentKind::crop); crop && *crop != Rect{{0, 0}, {1, 1}}) return true;
  for (AdjustmentKind k :
       {AdjustmentKind::straighten, AdjustmentKind::rotation, AdjustmentKind::perspectiveVertical,
        AdjustmentKind::perspectiveHorizontal, AdjustmentKind::lensDistortion}) {
    if (scalar(k, 0) != 0) return true;
  }
  return boolean(AdjustmentKind::flipHorizontal, false) ||
         boolean(AdjustmentKind::flipVertical, false);
}

EditStack EditStack::presetSubset() const {
  EditStack out;
  for (const auto& [kind, value] : values) {
    if (!isGeometryKind(kind)) out.values.emplace_hint(out.values.end(), kind, value);
  }
  out.maskList = maskList;
  return out;
}

bool EditStack::sameContent(const EditStack& other) const {
  return values == other.values && masks() == other.masks();
}

// ---- merge ------------------------------------------------------------------------------------

EditStack EditStack::merged(const EditStack& theirs) const {
  EditStack out;
  out.values = values;
  for (const auto& [kind, theirValue] : theirs.values) {
    const auto [it, inserted] = out.values.try_emplace(kind, theirValue);
    if (!inserted && theirValue.lastModifiedAt > it->second.lastModifiedAt) {
      it->second = theirValue;
    }
  }
  std::vector<LocalMask> masks = this->masks();
  std::set<Uuid> mine;
  for (const LocalMask& m : masks)
    mine.insert(m.id);
  for (const LocalMask& m : theirs.masks()) {
    if (!mine.contains(m.id)) masks.push_back(m);
  }
  out.setMasks(std::move(masks));
  out.version = nextVersion(std::max(version, theirs.version));
  return out;
}

}  // namespace tarno::core
