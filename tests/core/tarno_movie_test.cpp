// Movies: the timeline, every editing operation with its clamping and time stamp, the JSON
// form, and random edit sequences that must keep the timeline consistent.
#include "tarno/core/tarno_movie.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>

namespace tarno::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const Date kLongAgo{};

// Clips of the given timeline lengths, each cut from 1 s into a 10 s source.
TarnoMovie movieOf(std::initializer_list<double> lengths) {
  TarnoMovie m;
  for (double length : lengths)
    (void)m.append("asset", 1, 1 + length, 10);
  m.updatedAt = kLongAgo;
  return m;
}

std::vector<double> outPoints(const TarnoMovie& m) {
  std::vector<double> outs;
  for (const MovieClip& c : m.clips)
    outs.push_back(c.outSeconds);
  return outs;
}

TEST(TarnoMovie, TimelineOverlapsClipsByTheirTransitions) {
  TarnoMovie m = movieOf({4, 4});
  m.setTransition(m.clips[0].id, TransitionKind::crossDissolve, 0.75);
  EXPECT_EQ(m.clipStartTimes(), (std::vector<double>{0, 3.25}));
  EXPECT_EQ(m.duration(), 7.25);
  EXPECT_EQ(m.clip(3.5), &m.clips[0]);
  EXPECT_EQ(m.clip(4), &m.clips[1]);
  EXPECT_EQ(m.clip(7.25), nullptr);
  EXPECT_EQ(m.timelineSpan(m.clips[1].id), (TimelineSpan{3.25, 7.25}));
  EXPECT_EQ(m.timelineSpan(Uuid::random()), std::nullopt);

  TarnoMovie three = movieOf({2, 3, 5});
  three.setTransition(three.clips[0].id, TransitionKind::wipe, 10);
  three.setTransition(three.clips[2].id, TransitionKind::slide, 1);
  EXPECT_EQ(three.overlapAfter(0), 2);
  EXPECT_EQ(three.overlapAfter(-1), 0);
  EXPECT_EQ(three.overlapAfter(1), 0);
  EXPECT_EQ(three.overlapAfter(2), 0);           // the last clip has no next one
  three.clips[1].speed = 0;                      // timed as 0.01
  EXPECT_EQ(three.duration(), 2 - 2 + 300 + 5);  // the first clip overlaps the 300 s one
}

TEST(TarnoMovie, ClipEditsClampAndChangeNothingForAnAbsentClip) {
  const struct {
    std::function<void(TarnoMovie&, const Uuid&)> edit;
    double MovieClip::*field;
    double value;  // for a 4 s clip cut from 1 s of a 10 s source
  } rows[] = {
      {[](auto& m, auto& id) { m.setTrim(id, 5, 2); }, &MovieClip::inSeconds, 2},
      {[](auto& m, auto& id) { m.setTrim(id, 5, 2); }, &MovieClip::outSeconds, 5},
      {[](auto& m, auto& id) { m.setTrim(id, -1, 50); }, &MovieClip::inSeconds, 0},
      {[](auto& m, auto& id) { m.setTrim(id, -1, 50); }, &MovieClip::outSeconds, 10},
      {[](auto& m, auto& id) { m.setClipSpeed(id, 10); }, &MovieClip::speed, 4},
      {[](auto& m, auto& id) { m.setClipSpeed(id, -2); }, &MovieClip::speed, 0.25},
      {[](auto& m, auto& id) { m.setClipAudio(id, 2, true); }, &MovieClip::volume, 1.5},
      {[](auto& m, auto& id) { m.setClipAudio(id, -1, 0); }, &MovieClip::volume, 0},
      {[](auto& m, auto& id) { m.setTransition(id, {}, 0); }, &MovieClip::transitionSeconds, 0.1},
      {[](auto& m, auto& id) { m.setAudioFade(id, 5, -1); }, &MovieClip::audioFadeIn, 2},
      {[](auto& m, auto& id) { m.setAudioFade(id, 5, -1); }, &MovieClip::audioFadeOut, 0},
      // An infinite input is clamped like any other.
      {[](auto& m, auto& id) { m.setTrim(id, -kInf, kInf); }, &MovieClip::inSeconds, 0},
      {[](auto& m, auto& id) { m.setTrim(id, -kInf, kInf); }, &MovieClip::outSeconds, 10},
      {[](auto& m, auto& id) { m.setTrim(id, kInf, 3); }, &MovieClip::inSeconds, 3},
      {[](auto& m, auto& id) { m.setTrim(id, kInf, 3); }, &MovieClip::outSeconds, 10},
      {[](auto& m, auto& id) { m.setClipSpeed(id, kInf); }, &MovieClip::speed, 4},
      {[](auto& m, auto& id) { m.setClipSpeed(id, -kInf); }, &MovieClip::speed, 0.25},
      {[](auto& m, auto& id) { m.setClipAudio(id, kInf, false); }, &MovieClip::volume, 1.5},
      {[](auto& m, auto& id) { m.setClipAudio(id, -kInf, false); }, &MovieClip::volume, 0},
      {[](auto& m, auto& id) { m.setAudioFade(id, kInf, -kInf); }, &MovieClip::audioFadeIn, 2},
      {[](auto& m, auto& id) { m.setAudioFade(id, kInf, -kInf); }, &MovieClip::audioFadeOut, 0},
      {[](auto& m, auto& id) { m.setTransition(id, {}, -kInf); }, &MovieClip::transitionSeconds,
       0.1}};
  for (const auto& row : rows) {
    TarnoMovie m = movieOf({4, 1});
    const TarnoMovie before = m;
    row.edit(m, m.clips[0].id);
    EXPECT_EQ(m.clips[0].*row.field, row.value) << &row - rows;
    EXPECT_NE(m.updatedAt, kLongAgo) << &row - rows;
    m = before;
    row.edit(m, Uuid::random());
    EXPECT_EQ(m, before) << &row - rows;
  }

  TarnoMovie m = movieOf({4});
  m.clips[0].sourceSeconds.reset();  // the limit is then the larger out point
  m.setTrim(m.clips[0].id, 7, 3);
  EXPECT_EQ(std::pair(m.clips[0].inSeconds, m.clips[0].outSeconds), std::pair(3.0, 5.0));
  m.setTrim(m.clips[0].id, -kInf, 4);
  EXPECT_EQ(std::pair(m.clips[0].inSeconds, m.clips[0].outSeconds), std::pair(0.0, 4.0));
}

// NaN, and an infinite input that would stay infinite (an out point with no source length to
// stop it), change nothing: the movie must remain writable.
TEST(TarnoMovie, EditsRefuseNaNAndResultsThatStayInfinite) {
  const std::function<void(TarnoMovie&, const Uuid&)> edits[] = {
      [](auto& m, auto& id) { m.setTrim(id, 0, kInf); },
      [](auto& m, auto& id) { m.setTrim(id, kNaN, 2); },
      [](auto& m, auto& id) { m.setTransition(id, TransitionKind::slide, kInf); },
      [](auto& m, auto& id) { m.setTransition(id, TransitionKind::slide, kNaN); },
      [](auto& m, auto& id) { m.setClipSpeed(id, kNaN); },
      [](auto& m, auto& id) { m.setClipAudio(id, kNaN, true); },
      [](auto& m, auto& id) { m.setAudioFade(id, 1, kNaN); },
      [](auto& m, auto&) { (void)m.append("a", 0, kInf, 10); },
      [](auto& m, auto&) { (void)m.append("a", -kInf, 2, 10); },
      [](auto& m, auto&) { (void)m.append("a", 0, -kInf); },
      [](auto& m, auto&) { (void)m.appendStill("s", kInf, KenBurnsStyle::none); },
      [](auto& m, auto&) { (void)m.split(kInf); },
      [](auto& m, auto&) { m.setMusic(MovieMusic{.volume = kInf}); },
      [](auto& m, auto&) { m.addTitle(MovieTitle{.startSeconds = kInf}); },
      [](auto& m, auto&) { m.addTitle(MovieTitle{.durationSeconds = -kInf}); }};
  for (const auto& edit : edits) {
    TarnoMovie m = movieOf({4});
    m.clips[0].sourceSeconds.reset();
    const TarnoMovie before = m;
    edit(m, m.clips[0].id);
    EXPECT_EQ(m, before) << &edit - edits;
  }

  // Appending takes an infinite input through its rule too.
  TarnoMovie m = movieOf({});
  ASSERT_TRUE(m.append("a", 3, -kInf, 10));
  ASSERT_TRUE(m.appendStill("s", -kInf, KenBurnsStyle::none));
  EXPECT_EQ(outPoints(m), (std::vector<double>{3, 0}));
}

TEST(TarnoMovie, ListEditsKeepOrderAndStampOnlyWhatTheyChange) {
  const Uuid missing = Uuid::random();
  const struct {
    std::function<void(TarnoMovie&)> edit;
    std::vector<double> outs;
    bool stamps;
  } rows[] = {
      {[](auto& m) { m.move(0, 99); }, {3, 4, 5}, true},
      {[](auto& m) { m.move(2, -4); }, {4, 5, 3}, true},
      {[](auto& m) { m.move(3, 0); }, {5, 3, 4}, false},
      {[](auto& m) { m.remove(m.clips[1].id); }, {5, 4}, true},
      {[&](auto& m) { m.remove(missing); }, {5, 3, 4}, false},
      {[](auto& m) { m.setClipSpeed(m.clips[0].id, kNaN); }, {5, 3, 4}, false},
      {[](auto& m) { (void)m.append("a", 5, 2); }, {5, 3, 4, 5}, true},
      {[](auto& m) { (void)m.appendStill("s", -3, KenBurnsStyle::none); }, {5, 3, 4, 0}, true},
      {[](auto& m) { m.setMusic(std::nullopt); }, {5, 3, 4}, true},
      {[&](auto& m) { m.updateTitle(MovieTitle{.id = missing}); }, {5, 3, 4}, false},
      {[&](auto& m) { m.removeTitle(missing); }, {5, 3, 4}, true}};
  for (const auto& row : rows) {
    TarnoMovie m = movieOf({4, 2, 3});
    row.edit(m);
    EXPECT_EQ(outPoints(m), row.outs) << &row - rows;
    EXPECT_EQ(m.updatedAt != kLongAgo, row.stamps) << &row - rows;
  }

  TarnoMovie m = movieOf({});
  (void)m.append("a", 5, 2);
  (void)m.appendStill("s", 3, KenBurnsStyle::none);
  EXPECT_EQ(m.clips[0].sourceSeconds, 2);
  EXPECT_TRUE(m.clips[1].sourceSeconds == 30 && m.clips[1].isStill && !m.clips[0].isStill);
  for (const char* text : {"Lisbon", "Porto"})
    m.addTitle(MovieTitle{.id = missing, .text = text});
  m.updateTitle(MovieTitle{.id = missing, .text = "Faro"});
  EXPECT_EQ(m.titles[0].text + m.titles[1].text, "FaroPorto");
  m.removeTitle(missing);
  EXPECT_TRUE(m.titles.empty());
}

TEST(TarnoMovie, SplitCutsTheSourceOutsideEdgesAndTransitions) {
  TarnoMovie m = movieOf({8, 4});
  m.clips[0].speed = 2;  // 4 s on the timeline
  m.clips[0].audioFadeIn = 1;
  m.clips[0].audioFadeOut = 1.5;
  m.setTransition(m.clips[0].id, TransitionKind::fadeToBlack, 1);
  const MovieClip original = m.clips[0];
  m.updatedAt = kLongAgo;
  for (double t : {0.01, 2.99, 3.0, 3.5, 6.995, 7.0, kNaN}) {
    EXPECT_EQ(m.split(t), std::nullopt) << t;
  }
  EXPECT_EQ(m.updatedAt, kLongAgo);

  const std::optional<Uuid> second = m.split(2);
  ASSERT_TRUE(second);
  ASSERT_EQ(m.clips.size(), 3u);
  MovieClip first = original;
  first.outSeconds = 5;
  first.transitionOut = TransitionKind::none;
  MovieClip rest = original;
  rest.id = *second;
  rest.inSeconds = 5;
  rest.audioFadeIn = 0;
  EXPECT_EQ(m.clips[0], first);
  EXPECT_EQ(m.clips[1], rest);
  EXPECT_NE(m.updatedAt, kLongAgo);
}

TEST(TarnoMovie, DecodesDefaultsAndOmitsWhatIsAbsent) {
  const std::string id = R"("id":"6F9619FF-8B86-D011-B42D-00C04FC964FF")";
  const MovieClip clip = decodeFromString<MovieClip>(
      "{" + id + R"(,"assetID":"A","inSeconds":0,"outSeconds":4,"speed":null})");
  EXPECT_EQ(encodeToString(clip),
            "{" + id +
                R"(,"assetID":"A","inSeconds":0,"outSeconds":4,"transitionOut":"none",)"
                R"("transitionSeconds":0.75,"volume":1,"muted":false,"audioFadeIn":0,)"
                R"("audioFadeOut":0,"speed":1,"isStill":false,"kenBurns":"zoomIn"})");

  const std::string movieJSON = "{" + id +
                                R"(,"name":"Trip","createdAt":"2024-05-01T12:00:00Z",)"
                                R"("updatedAt":"2024-05-01T12:00:00Z","clips":[])";
  const TarnoMovie movie = decodeFromString<TarnoMovie>(movieJSON + "}");
  EXPECT_EQ(encodeToString(movie), movieJSON + R"(,"titles":[]})");
  EXPECT_EQ(displayName(TransitionKind::fadeToBlack), "Fade to Black");
  EXPECT_EQ(displayName(KenBurnsStyle::none), "Still");
}

// Whatever the edits, start times never go back, the duration ends the last clip, and the clip
// found at any time is the first whose span holds it.
TEST(TarnoMovie, RandomEditsKeepTheTimelineConsistent) {
  std::mt19937_64 rng(0x6d6f7669);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution(lo, hi)(rng); };
  auto pick = [&](const TarnoMovie& m) {
    return m.clips.empty() ? Uuid::random() : m.clips[rng() % m.clips.size()].id;
  };
  for (int run = 0; run < 40; ++run) {
    TarnoMovie m;
    for (int step = 0; step < 60; ++step) {
      const double odd = rng() % 10 == 0 ? kNaN : uniform(-2, 12);
      const std::function<void()> edits[] = {
          [&] { (void)m.append("a", uniform(-1, 5), uniform(-1, 12)); },
          [&] { (void)m.appendStill("s", odd, KenBurnsStyle::zoomOut); },
          [&] { m.setTrim(pick(m), uniform(-1, 8), odd); },
          [&] { (void)m.split(uniform(-1, m.duration() + 1)); },
          [&] { m.remove(pick(m)); },
          [&] { m.move(static_cast<int>(rng() % 8) - 2, static_cast<int>(rng() % 8) - 2); },
          [&] { m.setTransition(pick(m), TransitionKind::crossDissolve, odd); },
          [&] { m.setClipSpeed(pick(m), odd); },
          [&] { m.setAudioFade(pick(m), odd, uniform(-1, 3)); }};
      edits[rng() % std::size(edits)]();
      const std::vector<double> starts = m.clipStartTimes();
      ASSERT_TRUE(std::is_sorted(starts.begin(), starts.end()));
      ASSERT_EQ(m.duration(), starts.empty() ? 0 : starts.back() + m.clips.back().duration());
      for (int probe = 0; probe < 5; ++probe) {
        const double t = uniform(-0.5, m.duration() + 0.5);
        const MovieClip* found = m.clip(t);
        for (const MovieClip& c : m.clips) {
          if (&c == found) break;
          ASSERT_FALSE(m.timelineSpan(c.id)->contains(t));
        }
        ASSERT_EQ(found != nullptr, 0 <= t && t < m.duration()) << t;
        if (found != nullptr) {
          ASSERT_TRUE(m.timelineSpan(found->id)->contains(t));
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarno::core
