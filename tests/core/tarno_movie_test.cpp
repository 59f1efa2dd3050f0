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
const Date kLongAgo{};

// Clips of the given timeline lengths, each cut from 1 s into a 10 s source.
TarnoMovie movieOf(std::initializer_list<double> lengths) {
  TarnoMovie m;
  for (double length : lengths)
    (void)m.append("asset", 1, 1 + length, 10);
  m.updatedAt = kLongAgo;
  return m;
}

TEST(TarnoMovie, TimelineOverlapsClipsByTheirTransitions) {
  TarnoMovie m = movieOf({4, 4});
  EXPECT_EQ(m.clipStartTimes(), (std::vector<double>{0, 4}));
  m.setTransition(m.clips[0].id, TransitionKind::crossDissolve, 0.75);
  EXPECT_EQ(m.clipStartTimes(), (std::vector<double>{0, 3.25}));
  EXPECT_EQ(m.duration(), 7.25);
  EXPECT_EQ(m.clip(3.5), &m.clips[0]);
  EXPECT_EQ(m.clip(4), &m.clips[1]);
  EXPECT_EQ(m.clip(7.25), nullptr);
  EXPECT_EQ(m.clip(-0.01), nullptr);
  EXPECT_EQ(m.timelineSpan(m.clips[1].id), (TimelineSpan{3.25, 7.25}));
  EXPECT_EQ(m.timelineSpan(Uuid::random()), std::nullopt);

  TarnoMovie long2 = movieOf({2, 3, 5});
  long2.setTransition(long2.clips[0].id, TransitionKind::wipe, 10);
  long2.setTransition(long2.clips[2].id, TransitionKind::slide, 1);
  EXPECT_EQ(long2.overlapAfter(0), 2);
  EXPECT_EQ(long2.overlapAfter(-1), 0);
  EXPECT_EQ(long2.overlapAfter(1), 0);
  EXPECT_EQ(long2.overlapAfter(2), 0);  // the last clip has no next one

  TarnoMovie stopped = movieOf({1});
  stopped.clips[0].speed = 0;
  EXPECT_EQ(stopped.duration(), 100);
  EXPECT_EQ(TarnoMovie{}.duration(), 0);
  EXPECT_EQ(TarnoMovie{}.clip(0), nullptr);
}

TEST(TarnoMovie, EditsClampTheirInputsAndStampOnlyWhatTheyChange) {
  const Uuid missing = Uuid::random();
  const struct {
    const char* name;
    std::function<void(TarnoMovie&)> edit;
    std::function<bool(const TarnoMovie&)> holds;
    bool stamps;
  } rows[] = {
      {"trim swapped", [](auto& m) { m.setTrim(m.clips[0].id, 5, 2); },
       [](auto& m) { return m.clips[0].inSeconds == 2 && m.clips[0].outSeconds == 5; }, true},
      {"trim past the source", [](auto& m) { m.setTrim(m.clips[0].id, -1, 50); },
       [](auto& m) { return m.clips[0].inSeconds == 0 && m.clips[0].outSeconds == 10; }, true},
      {"trim, source unknown",
       [](auto& m) {
         m.clips[0].sourceSeconds.reset();
         m.setTrim(m.clips[0].id, 7, 3);
       },
       [](auto& m) { return m.clips[0].inSeconds == 3 && m.clips[0].outSeconds == 5; }, true},
      {"speed", [](auto& m) { m.setClipSpeed(m.clips[1].id, 10); },
       [](auto& m) { return m.clips[1].speed == 4; }, true},
      {"slow speed", [](auto& m) { m.setClipSpeed(m.clips[1].id, -2); },
       [](auto& m) { return m.clips[1].speed == 0.25; }, true},
      {"audio", [](auto& m) { m.setClipAudio(m.clips[2].id, 2, true); },
       [](auto& m) { return m.clips[2].volume == 1.5 && m.clips[2].muted; }, true},
      {"transition", [](auto& m) { m.setTransition(m.clips[0].id, TransitionKind::slide, 0); },
       [](auto& m) {
         return m.clips[0].transitionOut == TransitionKind::slide &&
                m.clips[0].transitionSeconds == 0.1;
       },
       true},
      {"fades", [](auto& m) { m.setAudioFade(m.clips[0].id, 5, -1); },
       [](auto& m) { return m.clips[0].audioFadeIn == 2 && m.clips[0].audioFadeOut == 0; }, true},
      {"ken burns", [](auto& m) { m.setKenBurns(m.clips[0].id, KenBurnsStyle::panLeft); },
       [](auto& m) { return m.clips[0].kenBurns == KenBurnsStyle::panLeft; }, true},
      {"stack data", [](auto& m) { m.setStackData(Bytes{"x"}, m.clips[0].id); },
       [](auto& m) { return m.clips[0].stackData == Bytes{"x"}; }, true},
      {"music",
       [](auto& m) {
         m.setMusic(MovieMusic{Bytes{"b"}, 0.5, true});
       },
       [](auto& m) {
         return m.music == MovieMusic{Bytes{"b"}, 0.5, true};
       },
       true},
      {"move to the end", [](auto& m) { m.move(0, 99); },
       [](auto& m) { return m.clips[2].outSeconds == 5 && m.clips[0].outSeconds == 2; }, true},
      {"move to the front", [](auto& m) { m.move(2, -4); },
       [](auto& m) { return m.clips[0].outSeconds == 3 && m.clips[1].outSeconds == 5; }, true},
      {"move from nowhere", [](auto& m) { m.move(3, 0); },
       [](auto& m) { return m.clips.size() == 3 && m.clips[0].outSeconds == 5; }, false},
      {"remove", [](auto& m) { m.remove(m.clips[1].id); },
       [](auto& m) { return m.clips.size() == 2 && m.clips[1].outSeconds == 3; }, true},
      {"remove missing", [&](auto& m) { m.remove(missing); },
       [](auto& m) { return m.clips.size() == 3; }, false},
      {"edit missing", [&](auto& m) { m.setTrim(missing, 0, 1); },
       [](auto& m) { return m.clips[0].outSeconds == 5; }, false},
      {"NaN", [](auto& m) { m.setClipSpeed(m.clips[0].id, kNaN); },
       [](auto& m) { return m.clips[0].speed == 1; }, false},
      {"update missing title", [&](auto& m) { m.updateTitle(MovieTitle{.id = missing}); },
       [](auto& m) { return m.titles.empty(); }, false},
      {"remove missing title", [&](auto& m) { m.removeTitle(missing); },
       [](auto& m) { return m.titles.empty(); }, true},
      {"append", [](auto& m) { (void)m.append("a", 5, 2); },
       [](auto& m) {
         const MovieClip& c = m.clips[3];
         return c.inSeconds == 5 && c.outSeconds == 5 && c.sourceSeconds == 2 &&
                c.transitionSeconds == 0.75 && !c.isStill && c.kenBurns == KenBurnsStyle::zoomIn;
       },
       true},
      {"append still", [](auto& m) { (void)m.appendStill("s", -3, KenBurnsStyle::none); },
       [](auto& m) {
         const MovieClip& c = m.clips[3];
         return c.outSeconds == 0 && c.sourceSeconds == 30 && c.isStill &&
                c.kenBurns == KenBurnsStyle::none;
       },
       true},
  };
  for (const auto& row : rows) {
    TarnoMovie m = movieOf({4, 1, 2});
    row.edit(m);
    EXPECT_TRUE(row.holds(m)) << row.name;
    EXPECT_EQ(m.updatedAt != kLongAgo, row.stamps) << row.name;
  }

  TarnoMovie titled = movieOf({});
  const MovieTitle title{.id = missing, .text = "Lisbon", .style = MovieTitle::Style::lowerThird};
  titled.addTitle(title);
  titled.addTitle(title);
  titled.updateTitle(MovieTitle{.id = missing, .text = "Porto"});
  EXPECT_EQ(titled.titles[0].text, "Porto");
  EXPECT_EQ(titled.titles[1].text, "Lisbon");
  titled.removeTitle(missing);
  EXPECT_TRUE(titled.titles.empty());
}

TEST(TarnoMovie, SplitCutsTheSourceOutsideEdgesAndTransitions) {
  TarnoMovie m = movieOf({8, 4});
  m.clips[0].speed = 2;  // 4 s on the timeline
  m.clips[0].audioFadeIn = 1;
  m.clips[0].audioFadeOut = 1.5;
  m.setTransition(m.clips[0].id, TransitionKind::fadeToBlack, 1);
  const MovieClip original = m.clips[0];
  m.updatedAt = kLongAgo;

  for (double t : {0.01, 2.99, 3.0, 3.5, 7.0, 6.995}) {
    EXPECT_EQ(m.split(t), std::nullopt) << t;
  }
  EXPECT_EQ(m.updatedAt, kLongAgo);

  const std::optional<Uuid> second = m.split(2);
  ASSERT_TRUE(second);
  ASSERT_EQ(m.clips.size(), 3u);
  MovieClip first = original;
  first.outSeconds = 5;
  first.transitionOut = TransitionKind::none;
  EXPECT_EQ(m.clips[0], first);
  MovieClip rest = original;
  rest.id = *second;
  rest.inSeconds = 5;
  rest.audioFadeIn = 0;
  EXPECT_EQ(m.clips[1], rest);
  EXPECT_NE(m.updatedAt, kLongAgo);
}

TEST(TarnoMovie, DecodesDefaultsAndOmitsWhatIsAbsent) {
  const std::string clipJSON = R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","assetID":"A",)"
                               R"("inSeconds":0,"outSeconds":4,"speed":null})";
  const MovieClip clip = decodeFromString<MovieClip>(clipJSON);
  EXPECT_EQ(clip.kenBurns, KenBurnsStyle::zoomIn);
  EXPECT_EQ(clip.transitionOut, TransitionKind::none);
  EXPECT_EQ(clip.transitionSeconds, 0.75);
  EXPECT_EQ(clip.speed, 1);
  EXPECT_EQ(encodeToString(clip),
            R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","assetID":"A","inSeconds":0,)"
            R"("outSeconds":4,"transitionOut":"none","transitionSeconds":0.75,"volume":1,)"
            R"("muted":false,"audioFadeIn":0,"audioFadeOut":0,"speed":1,"isStill":false,)"
            R"("kenBurns":"zoomIn"})");

  const std::string movieJSON =
      R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","name":"Trip",)"
      R"("createdAt":"2024-05-01T12:00:00Z","updatedAt":"2024-05-01T12:00:00Z","clips":[]})";
  TarnoMovie movie = decodeFromString<TarnoMovie>(movieJSON);
  EXPECT_EQ(encodeToString(movie), movieJSON.substr(0, movieJSON.size() - 1) + R"(,"titles":[]})");
  movie.clips = {clip};
  movie.clips[0].sourceSeconds = 12;
  movie.clips[0].stackData = Bytes{"\x01\x02"};
  movie.titles = {MovieTitle{.id = clip.id, .text = "T", .style = MovieTitle::Style::lowerThird}};
  movie.music = MovieMusic{Bytes{"bm"}, 0.8, true};
  EXPECT_EQ(decodeFromString<TarnoMovie>(encodeToString(movie)), movie);
  EXPECT_THROW((void)decodeFromString<MovieTitle>(R"({"id":"x"})"), DecodingError);

  EXPECT_EQ(displayName(TransitionKind::none), "Cut");
  EXPECT_EQ(displayName(TransitionKind::fadeToBlack), "Fade to Black");
  EXPECT_EQ(displayName(KenBurnsStyle::none), "Still");
  EXPECT_EQ(displayName(KenBurnsStyle::panRight), "Pan Right");
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
          [&] { m.setAudioFade(pick(m), odd, uniform(-1, 3)); },
      };
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
