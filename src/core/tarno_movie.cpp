// The movie timeline and its editing operations.
#include "tarno/core/tarno_movie.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace tarno::core {
namespace {

bool allFinite(std::initializer_list<double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// An infinite input is taken at its word: where an operation's limits bring it back to a finite
// value (a speed of +inf is the fastest speed), that value is stored. Only NaN, and results that
// would still be infinite, are refused, since a movie must stay writable as JSON.
bool anyNaN(std::initializer_list<double> values) {
  return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

// At least `low`, then at most `high` (which wins when they cross).
double clampTo(double value, double low, double high) {
  return std::min(std::max(value, low), high);
}

constexpr double kMinimumSpeed = 0.01;  // a clip at speed 0 still has a finite length
constexpr double kSplitMargin = 0.02;   // no cut this close to a clip's edges
constexpr double kStillSourceSeconds = 30;

}  // namespace

std::string_view displayName(TransitionKind kind) {
  switch (kind) {
    case TransitionKind::none:
      return "Cut";
    case TransitionKind::crossDissolve:
      return "Cross Dissolve";
    case TransitionKind::fadeToBlack:
      return "Fade to Black";
    case TransitionKind::slide:
      return "Slide";
    case TransitionKind::wipe:
      return "Wipe";
  }
  return {};
}

std::string_view displayName(KenBurnsStyle style) {
  switch (style) {
    case KenBurnsStyle::none:
      return "Still";
    case KenBurnsStyle::zoomIn:
      return "Zoom In";
    case KenBurnsStyle::zoomOut:
      return "Zoom Out";
    case KenBurnsStyle::panLeft:
      return "Pan Left";
    case KenBurnsStyle::panRight:
      return "Pan Right";
  }
  return {};
}

double MovieClip::sourceDuration() const {
  return std::max(outSeconds - inSeconds, 0.0);
}

double MovieClip::duration() const {
  return sourceDuration() / std::max(speed, kMinimumSpeed);
}

// ---- timeline ---------------------------------------------------------------------------------

double TarnoMovie::overlapAfter(std::ptrdiff_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) + 1 >= clips.size()) return 0;
  const MovieClip& c = clips[static_cast<std::size_t>(index)];
  if (c.transitionOut == TransitionKind::none) return 0;
  return std::min({std::max(c.transitionSeconds, 0.0), c.duration(),
                   clips[static_cast<std::size_t>(index) + 1].duration()});
}

std::vector<double> TarnoMovie::clipStartTimes() const {
  std::vector<double> starts;
  starts.reserve(clips.size());
  double t = 0;
  for (std::size_t i = 0; i < clips.size(); ++i) {
    starts.push_back(t);
    // The overlap never exceeds the duration, so adding their difference never goes back.
    t += clips[i].duration() - overlapAfter(static_cast<std::ptrdiff_t>(i));
  }
  return starts;
}

double TarnoMovie::duration() const {
  if (clips.empty()) return 0;
  return clipStartTimes().back() + clips.back().duration();
}

std::optional<TimelineSpan> TarnoMovie::timelineSpan(const Uuid& clipID) const {
  const auto it =
      std::find_if(clips.begin(), clips.end(), [&](const MovieClip& c) { return c.id == clipID; });
  if (it == clips.end()) return std::nullopt;
  const double start = clipStartTimes()[static_cast<std::size_t>(it - clips.begin())];
  return TimelineSpan{start, start + it->duration()};
}

const MovieClip* TarnoMovie::clip(double atTimelineTime) const {
  const std::vector<double> starts = clipStartTimes();
  for (std::size_t i = 0; i < clips.size(); ++i) {
    if (TimelineSpan{starts[i], starts[i] + clips[i].duration()}.contains(atTimelineTime)) {
      return &clips[i];
    }
  }
  return nullptr;
}

// ---- editing ----------------------------------------------------------------------------------

MovieClip* TarnoMovie::findClip(const Uuid& clipID) {
  const auto it =
      std::find_if(clips.begin(), clips.end(), [&](const MovieClip& c) { return c.id == clipID; });
  return it == clips.end() ? nullptr : &*it;
}

void TarnoMovie::touch() {
  updatedAt = currentDate();
}

std::optional<Uuid> TarnoMovie::append(std::string assetID, double inSeconds, double outSeconds,
                                       std::optional<double> sourceSeconds) {
  if (anyNaN({inSeconds, outSeconds, sourceSeconds.value_or(0)})) return std::nullopt;
  MovieClip c{.id = Uuid::random(),
              .assetID = std::move(assetID),
              .inSeconds = inSeconds,
              .outSeconds = std::max(inSeconds, outSeconds),
              .sourceSeconds = sourceSeconds.value_or(outSeconds)};
  if (!allFinite({c.inSeconds, c.outSeconds, *c.sourceSeconds})) return std::nullopt;
  clips.push_back(std::move(c));
  touch();
  return clips.back().id;
}

std::optional<Uuid> TarnoMovie::appendStill(std::string assetID, double duration,
                                            KenBurnsStyle kenBurns) {
  const double out = std::max(duration, 0.0);
  if (anyNaN({duration}) || !allFinite({out})) return std::nullopt;
  MovieClip c{.id = Uuid::random(),
              .assetID = std::move(assetID),
              .inSeconds = 0,
              .outSeconds = out,
              .sourceSeconds = kStillSourceSeconds,
              .isStill = true,
              .kenBurns = kenBurns};
  clips.push_back(std::move(c));
  touch();
  return clips.back().id;
}

void TarnoMovie::setTrim(const Uuid& clipID, double inSeconds, double outSeconds) {
  MovieClip* c = findClip(clipID);
  if (c == nullptr || anyNaN({inSeconds, outSeconds})) return;
  const double limit = c->sourceSeconds.value_or(std::max(outSeconds, c->outSeconds));
  const double a = clampTo(inSeconds, 0, limit);
  const double b = clampTo(outSeconds, 0, limit);
  if (!allFinite({a, b})) return;  // no source length, and an out point of +inf
  c->inSeconds = std::min(a, b);
  c->outSeconds = std::max(a, b);
  touch();
}

std::optional<Uuid> TarnoMovie::split(double atTimelineTime) {
  // No clip's span holds an infinite time, nor NaN.
  const double t = atTimelineTime;
  const std::vector<double> starts = clipStartTimes();
  for (std::size_t i = 0; i < clips.size(); ++i) {
    const auto index = static_cast<std::ptrdiff_t>(i);
    const double earliest = starts[i] + overlapAfter(index - 1) + kSplitMargin;
    const double latest = starts[i] + clips[i].duration() - overlapAfter(index) - kSplitMargin;
    if (!(earliest < t && t < latest)) continue;

    const MovieClip original = clips[i];
    const double cut =
        original.inSeconds + std::max(original.speed, kMinimumSpeed) * (t - starts[i]);
    MovieClip second = original;
    second.id = Uuid::random();
    second.inSeconds = cut;
    second.outSeconds = std::max(cut, original.outSeconds);
    second.audioFadeIn = 0;
    clips[i].outSeconds = cut;
    clips[i].transitionOut = TransitionKind::none;
    clips.insert(clips.begin() + index + 1, second);
    touch();
    return second.id;
  }
  return std::nullopt;
}

void TarnoMovie::remove(const Uuid& clipID) {
  if (std::erase_if(clips, [&](const MovieClip& c) { return c.id == clipID; }) > 0) touch();
}

void TarnoMovie::move(std::ptrdiff_t from, std::ptrdiff_t to) {
  if (from < 0 || static_cast<std::size_t>(from) >= clips.size()) return;
  MovieClip moving = std::move(clips[static_cast<std::size_t>(from)]);
  clips.erase(clips.begin() + from);
  const auto at = std::clamp<std::ptrdiff_t>(to, 0, static_cast<std::ptrdiff_t>(clips.size()));
  clips.insert(clips.begin() + at, std::move(moving));
  touch();
}

void TarnoMovie::setTransition(const Uuid& clipID, TransitionKind kind, double seconds) {
  MovieClip* c = findClip(clipID);
  const double length = std::max(seconds, 0.1);
  if (c == nullptr || anyNaN({seconds}) || !allFinite({length})) return;
  c->transitionOut = kind;
  c->transitionSeconds = length;
  touch();
}

void TarnoMovie::setKenBurns(const Uuid& clipID, KenBurnsStyle style) {
  MovieClip* c = findClip(clipID);
  if (c == nullptr) return;
  c->kenBurns = style;
  touch();
}

void TarnoMovie::setClipSpeed(const Uuid& clipID, double speed) {
  MovieClip* c = findClip(clipID);
  if (c == nullptr || anyNaN({speed})) return;
  c->speed = clampTo(speed, 0.25, 4.0);
  touch();
}

void TarnoMovie::setClipAudio(const Uuid& clipID, double volume, bool muted) {
  MovieClip* c = findClip(clipID);
  if (c == nullptr || anyNaN({volume})) return;
  c->volume = clampTo(volume, 0, 1.5);
  c->muted = muted;
  touch();
}

void TarnoMovie::setAudioFade(const Uuid& clipID, double fadeIn, double fadeOut) {
  MovieClip* c = findClip(clipID);
  if (c == nullptr || anyNaN({fadeIn, fadeOut})) return;
  const double half = c->duration() / 2;
  const double in = clampTo(fadeIn, 0, half);
  const double out = clampTo(fadeOut, 0, half);
  if (!allFinite({in, out})) return;  // a clip too long for a double's range
  c->audioFadeIn = in;
  c->audioFadeOut = out;
  touch();
}

void TarnoMovie::setStackData(std::optional<Bytes> data, const Uuid& clipID) {
  MovieClip* c = findClip(clipID);
  if (c == nullptr) return;
  c->stackData = std::move(data);
  touch();
}

void TarnoMovie::setMusic(std::optional<MovieMusic> newMusic) {
  if (newMusic && !allFinite({newMusic->volume})) return;
  music = std::move(newMusic);
  touch();
}

void TarnoMovie::addTitle(MovieTitle title) {
  if (!allFinite({title.startSeconds, title.durationSeconds})) return;
  titles.push_back(std::move(title));
  touch();
}

void TarnoMovie::updateTitle(const MovieTitle& title) {
  const auto it = std::find_if(titles.begin(), titles.end(),
                               [&](const MovieTitle& t) { return t.id == title.id; });
  if (it == titles.end() || !allFinite({title.startSeconds, title.durationSeconds})) return;
  *it = title;
  touch();
}

void TarnoMovie::removeTitle(const Uuid& titleID) {
  std::erase_if(titles, [&](const MovieTitle& t) { return t.id == titleID; });
  touch();
}

}  // namespace tarno::core
