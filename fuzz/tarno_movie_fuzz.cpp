// Feeds arbitrary bytes to the movie decoder. A movie that decodes must keep a consistent
// timeline through a round of edits placed by its own numbers, and read back equal from its JSON
// form.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/core/tarno_movie.hpp"

namespace {

using tarno::core::TarnoMovie;

std::optional<TarnoMovie> decoded(std::string_view text) {
  const std::optional<tarno::core::JsonValue> json = tarno::core::parseJsonIfValid(text);
  return json ? tarno::core::decodeIfValid<TarnoMovie>(*json, {}) : std::nullopt;
}

void checkTimeline(const TarnoMovie& movie) {
  const std::vector<double> starts = movie.clipStartTimes();
  if (!std::is_sorted(starts.begin(), starts.end())) std::abort();
  const double end = starts.empty() ? 0 : starts.back() + movie.clips.back().duration();
  if (!(movie.duration() == end)) std::abort();
  for (const tarno::core::MovieClip& clip : movie.clips) {
    const auto span = movie.timelineSpan(clip.id);
    if (!span) std::abort();
    // The clip found at a span's start is that clip or an earlier one that overlaps it.
    if (span->end > span->start) {
      const tarno::core::MovieClip* found = movie.clip(span->start);
      if (found == nullptr || found > &clip) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<TarnoMovie> movie =
      decoded(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!movie) return 0;
  checkTimeline(*movie);

  const double middle = movie->duration() / 2;
  (void)movie->split(middle);
  if (!movie->clips.empty()) {
    const tarno::core::MovieClip first = movie->clips.front();
    movie->setTrim(first.id, first.outSeconds, first.inSeconds);
    movie->setAudioFade(first.id, first.audioFadeOut, first.audioFadeIn);
    movie->setClipSpeed(first.id, first.volume);
    movie->setTransition(first.id, tarno::core::TransitionKind::slide, first.speed);
    movie->move(0, static_cast<std::ptrdiff_t>(movie->clips.size()));
    movie->remove(movie->clips.front().id);
  }
  (void)movie->clip(middle);
  (void)movie->split(middle);
  checkTimeline(*movie);

  // Dates travel in whole seconds.
  movie->updatedAt = std::chrono::floor<std::chrono::seconds>(movie->updatedAt);
  const std::optional<TarnoMovie> again = decoded(tarno::core::encodeToString(*movie));
  if (!again || !(*again == *movie)) std::abort();
  return 0;
}
