// A simple movie document: clips cut from library videos or made from stills, title cards and
// an optional music track; its timeline and the editing operations of the movie editor.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "tarno/core/json_record.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::core {

// The transition from a clip into the next one.
enum class TransitionKind { none, crossDissolve, fadeToBlack, slide, wipe };
// The move applied to a still.
enum class KenBurnsStyle { none, zoomIn, zoomOut, panLeft, panRight };

// The names the editor shows: "Cut", "Cross Dissolve", … and "Still", "Zoom In", ….
std::string_view displayName(TransitionKind kind);
std::string_view displayName(KenBurnsStyle style);

struct MovieClip {
  Uuid id{};
  std::string assetID{};  // library id of the source photo or video
  double inSeconds = 0;   // trim, in source time
  double outSeconds = 0;
  std::optional<double> sourceSeconds{};  // full length of the source
  std::optional<Bytes> stackData{};       // an edit stack, opaque here
  TransitionKind transitionOut = TransitionKind::none;
  double transitionSeconds = 0.75;
  double volume = 1.0;
  bool muted = false;
  double audioFadeIn = 0;
  double audioFadeOut = 0;
  double speed = 1.0;
  bool isStill = false;
  KenBurnsStyle kenBurns = KenBurnsStyle::zoomIn;

  static constexpr auto jsonFields =
      std::tuple{required("id", &MovieClip::id),
                 required("assetID", &MovieClip::assetID),
                 required("inSeconds", &MovieClip::inSeconds),
                 required("outSeconds", &MovieClip::outSeconds),
                 optional("sourceSeconds", &MovieClip::sourceSeconds),
                 optional("stackData", &MovieClip::stackData),
                 withDefault("transitionOut", &MovieClip::transitionOut),
                 withDefault("transitionSeconds", &MovieClip::transitionSeconds),
                 withDefault("volume", &MovieClip::volume),
                 withDefault("muted", &MovieClip::muted),
                 withDefault("audioFadeIn", &MovieClip::audioFadeIn),
                 withDefault("audioFadeOut", &MovieClip::audioFadeOut),
                 withDefault("speed", &MovieClip::speed),
                 withDefault("isStill", &MovieClip::isStill),
                 withDefault("kenBurns", &MovieClip::kenBurns)};

  // Length of the trimmed source, never negative.
  double sourceDuration() const;
  // Length on the timeline: the source duration at the clip's speed (at least 0.01).
  double duration() const;

  friend bool operator==(const MovieClip&, const MovieClip&) = default;
};

struct MovieTitle {
  enum class Style { centered, lowerThird };

  Uuid id{};
  std::string text{};
  double startSeconds = 0;  // timeline time
  double durationSeconds = 0;
  Style style = Style::centered;

  static constexpr auto jsonFields =
      std::tuple{required("id", &MovieTitle::id), required("text", &MovieTitle::text),
                 required("startSeconds", &MovieTitle::startSeconds),
                 required("durationSeconds", &MovieTitle::durationSeconds),
                 required("style", &MovieTitle::style)};
  friend bool operator==(const MovieTitle&, const MovieTitle&) = default;
};

struct MovieMusic {
  Bytes bookmark{};  // a file reference to the track
  double volume = 0;
  bool ducking = false;  // lower the music under clip audio
  static constexpr auto jsonFields = std::tuple{required("bookmark", &MovieMusic::bookmark),
                                                required("volume", &MovieMusic::volume),
                                                required("ducking", &MovieMusic::ducking)};
  friend bool operator==(const MovieMusic&, const MovieMusic&) = default;
};

// A half-open range of timeline time, [start, end).
struct TimelineSpan {
  double start = 0;
  double end = 0;
  bool contains(double t) const { return start <= t && t < end; }
  friend bool operator==(const TimelineSpan&, const TimelineSpan&) = default;
};

// A plain value record; one thread at a time may edit it. Every editing operation that changes
// the movie sets updatedAt to the current time; one that names a clip or title that is not
// there changes nothing (removeTitle still sets updatedAt). Numbers are kept finite, so that a
// movie can always be written: an operation given NaN changes nothing; an infinite number is
// taken through the operation's limits (a speed of +inf is 4, a trim from -inf starts at 0),
// and changes nothing only where the result would stay infinite (a title at +inf).
struct TarnoMovie {
  Uuid id{};
  std::string name{};
  Date createdAt{};
  Date updatedAt{};
  std::vector<MovieClip> clips{};
  std::vector<MovieTitle> titles{};
  std::optional<MovieMusic> music{};

  static constexpr auto jsonFields = std::tuple{required("id", &TarnoMovie::id),
                                                required("name", &TarnoMovie::name),
                                                required("createdAt", &TarnoMovie::createdAt),
                                                required("updatedAt", &TarnoMovie::updatedAt),
                                                required("clips", &TarnoMovie::clips),
                                                withDefault("titles", &TarnoMovie::titles),
                                                optional("music", &TarnoMovie::music)};

  // ---- timeline ----

  // Seconds by which clip `index` and the next one overlap: none without a transition.
  double overlapAfter(std::ptrdiff_t index) const;
  std::vector<double> clipStartTimes() const;
  double duration() const;
  // Where the first clip with this id lies on the timeline.
  std::optional<TimelineSpan> timelineSpan(const Uuid& clipID) const;
  // The first clip whose span holds t (the earlier one during a transition), or null. The
  // pointer is valid until the movie changes.
  const MovieClip* clip(double atTimelineTime) const;

  // ---- editing ----

  // A new clip with a random id: out at least in, the source length `out` when not given,
  // default settings. Returns its id.
  std::optional<Uuid> append(std::string assetID, double inSeconds, double outSeconds,
                             std::optional<double> sourceSeconds = std::nullopt);
  // A new still clip of the given length (at least 0), its source 30 s long.
  std::optional<Uuid> appendStill(std::string assetID, double duration, KenBurnsStyle kenBurns);
  // Trim within 0…the source length (or, when unknown, the larger of the requested and the
  // current out point); in and out are swapped if need be.
  void setTrim(const Uuid& clipID, double inSeconds, double outSeconds);
  // Cuts the clip under t in two, at least 0.02 s away from its edges and outside transitions;
  // returns the id of the second part.
  std::optional<Uuid> split(double atTimelineTime);
  void remove(const Uuid& clipID);
  // Moves a clip to position `to`, kept within the list.
  void move(std::ptrdiff_t from, std::ptrdiff_t to);
  void setTransition(const Uuid& clipID, TransitionKind kind, double seconds);  // at least 0.1 s
  void setKenBurns(const Uuid& clipID, KenBurnsStyle style);
  void setClipSpeed(const Uuid& clipID, double speed);               // 0.25…4
  void setClipAudio(const Uuid& clipID, double volume, bool muted);  // volume 0…1.5
  // Each fade at most half the clip's duration.
  void setAudioFade(const Uuid& clipID, double fadeIn, double fadeOut);
  void setStackData(std::optional<Bytes> data, const Uuid& clipID);
  void setMusic(std::optional<MovieMusic> newMusic);
  void addTitle(MovieTitle title);
  void updateTitle(const MovieTitle& title);  // replaces the first title with its id
  void removeTitle(const Uuid& titleID);

  friend bool operator==(const TarnoMovie&, const TarnoMovie&) = default;

 private:
  MovieClip* findClip(const Uuid& clipID);
  void touch();
};

}  // namespace tarno::core
