// Evaluating a stored 50-node smart query over a million photos, against the same logic written
// by hand as one C++ expression and measured in the same run: the cost of interpreting the
// query tree instead of compiling it.
//
// The first query mixes rating, flag, label, edited and RAW tests, keyword and file-name matches
// and capture ranges under and, or and not, the way a smart album is built in the app; the photos
// have 0 to 4 keywords each from a small vocabulary in mixed case, camera file names, and a
// capture date in 2020 to 2024 (none for one in ten). The second has the same shape with flag,
// rating, label, edited and RAW tests only, where nothing but the tree walk sits beside the
// comparisons.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/core/smart_query.hpp"
#include "tarno/core/text.hpp"

namespace {

using tarno::core::Date;
using tarno::core::PhotoAttributes;
using tarno::core::SmartQuery;

constexpr std::size_t kPhotos = 1'000'000;
constexpr int kRounds = 5;

constexpr std::string_view kQuery = R"({"or":{"_0":[
  {"and":{"_0":[{"ratingAtLeast":{"_0":3}},{"not":{"_0":{"flag":{"_0":2}}}},
    {"or":{"_0":[{"keyword":{"_0":"beach"}},{"keyword":{"_0":"sea"}},{"keyword":{"_0":"coast"}}]}},
    {"capturedBetween":{"_0":"2023-01-01T00:00:00Z","_1":"2023-12-31T23:59:59Z"}}]}},
  {"and":{"_0":[{"isRAW":{"_0":true}},{"colorLabel":{"_0":2}},
    {"not":{"_0":{"isEdited":{"_0":true}}}},{"ratingAtMost":{"_0":4}}]}},
  {"and":{"_0":[{"filenameContains":{"_0":"pxl_"}},
    {"or":{"_0":[{"ratingAtLeast":{"_0":4}},{"flag":{"_0":1}}]}},
    {"not":{"_0":{"keyword":{"_0":"screenshot"}}}}]}},
  {"and":{"_0":[
    {"or":{"_0":[{"colorLabel":{"_0":5}},{"colorLabel":{"_0":6}},{"colorLabel":{"_0":7}}]}},
    {"not":{"_0":{"or":{"_0":[{"flag":{"_0":2}},{"ratingAtMost":{"_0":1}}]}}}},
    {"capturedBetween":{"_0":"2021-06-01T00:00:00Z","_1":"2022-08-31T00:00:00Z"}},
    {"isEdited":{"_0":true}}]}},
  {"and":{"_0":[{"keyword":{"_0":"family"}},
    {"or":{"_0":[{"keyword":{"_0":"birthday"}},{"keyword":{"_0":"holiday"}}]}},
    {"not":{"_0":{"isRAW":{"_0":true}}}},{"ratingAtLeast":{"_0":2}}]}},
  {"and":{"_0":[{"flag":{"_0":1}},{"ratingAtLeast":{"_0":5}},{"not":{"_0":{"colorLabel":{"_0":0}}}},
    {"or":{"_0":[{"isEdited":{"_0":false}},{"filenameContains":{"_0":"edit"}}]}}]}}]}})";

constexpr std::string_view kScalarQuery = R"({"or":{"_0":[
  {"and":{"_0":[{"ratingAtLeast":{"_0":3}},{"not":{"_0":{"flag":{"_0":2}}}},
    {"or":{"_0":[{"colorLabel":{"_0":1}},{"colorLabel":{"_0":3}},{"colorLabel":{"_0":4}}]}},
    {"isEdited":{"_0":true}}]}},
  {"and":{"_0":[{"isRAW":{"_0":true}},{"colorLabel":{"_0":2}},
    {"not":{"_0":{"isEdited":{"_0":true}}}},{"ratingAtMost":{"_0":4}}]}},
  {"and":{"_0":[{"flag":{"_0":0}},{"or":{"_0":[{"ratingAtLeast":{"_0":4}},{"flag":{"_0":1}}]}},
    {"not":{"_0":{"isRAW":{"_0":false}}}}]}},
  {"and":{"_0":[
    {"or":{"_0":[{"colorLabel":{"_0":5}},{"colorLabel":{"_0":6}},{"colorLabel":{"_0":7}}]}},
    {"not":{"_0":{"or":{"_0":[{"flag":{"_0":2}},{"ratingAtMost":{"_0":1}}]}}}},
    {"isRAW":{"_0":false}},{"isEdited":{"_0":true}}]}},
  {"and":{"_0":[{"ratingAtMost":{"_0":2}},
    {"or":{"_0":[{"flag":{"_0":1}},{"colorLabel":{"_0":0}}]}},
    {"not":{"_0":{"isRAW":{"_0":true}}}},{"ratingAtLeast":{"_0":1}}]}},
  {"and":{"_0":[{"flag":{"_0":1}},{"ratingAtLeast":{"_0":5}},{"not":{"_0":{"colorLabel":{"_0":0}}}},
    {"or":{"_0":[{"isEdited":{"_0":false}},{"isRAW":{"_0":true}}]}}]}}]}})";

bool inlinedScalar(const PhotoAttributes& p) {
  return (p.rating >= 3 && !(p.flagRaw == 2) &&
          (p.colorLabelRaw == 1 || p.colorLabelRaw == 3 || p.colorLabelRaw == 4) &&
          p.isEdited == true) ||
         (p.isRAW == true && p.colorLabelRaw == 2 && !(p.isEdited == true) && p.rating <= 4) ||
         (p.flagRaw == 0 && (p.rating >= 4 || p.flagRaw == 1) && !(p.isRAW == false)) ||
         ((p.colorLabelRaw == 5 || p.colorLabelRaw == 6 || p.colorLabelRaw == 7) &&
          !(p.flagRaw == 2 || p.rating <= 1) && p.isRAW == false && p.isEdited == true) ||
         (p.rating <= 2 && (p.flagRaw == 1 || p.colorLabelRaw == 0) && !(p.isRAW == true) &&
          p.rating >= 1) ||
         (p.flagRaw == 1 && p.rating >= 5 && !(p.colorLabelRaw == 0) &&
          (p.isEdited == false || p.isRAW == true));
}

Date at(int year, unsigned month, unsigned day) {
  return std::chrono::sys_days{std::chrono::year{year} / month / day};
}

// kQuery, by hand.
bool inlined(const PhotoAttributes& p) {
  const auto keyword = [&](std::string_view word) {
    return std::any_of(p.keywords.begin(), p.keywords.end(), [&](const std::string& k) {
      return tarno::core::equalsIgnoringCase(k, word);
    });
  };
  const auto file = [&](std::string_view fragment) {
    return tarno::core::localizedCaseInsensitiveContains(p.filename, fragment);
  };
  const auto between = [&](Date start, Date end) {
    return p.captureDate && start <= *p.captureDate && *p.captureDate <= end;
  };
  using std::chrono::seconds;
  return (p.rating >= 3 && !(p.flagRaw == 2) &&
          (keyword("beach") || keyword("sea") || keyword("coast")) &&
          between(at(2023, 1, 1), at(2023, 12, 31) + seconds(86'399))) ||
         (p.isRAW == true && p.colorLabelRaw == 2 && !(p.isEdited == true) && p.rating <= 4) ||
         (file("pxl_") && (p.rating >= 4 || p.flagRaw == 1) && !keyword("screenshot")) ||
         ((p.colorLabelRaw == 5 || p.colorLabelRaw == 6 || p.colorLabelRaw == 7) &&
          !(p.flagRaw == 2 || p.rating <= 1) && between(at(2021, 6, 1), at(2022, 8, 31)) &&
          p.isEdited == true) ||
         (keyword("family") && (keyword("birthday") || keyword("holiday")) && !(p.isRAW == true) &&
          p.rating >= 2) ||
         (p.flagRaw == 1 && p.rating >= 5 && !(p.colorLabelRaw == 0) &&
          (p.isEdited == false || file("edit")));
}

std::vector<PhotoAttributes> makePhotos() {
  static const char* const kWords[] = {"Beach",   "sea",        "COAST",    "Family",   "birthday",
                                       "Holiday", "screenshot", "dog",      "Mountain", "city",
                                       "Sunset",  "food",       "Portrait", "snow",     "Lisbon",
                                       "car",     "flowers",    "night",    "Friends",  "sky"};
  static const char* const kPrefixes[] = {"IMG_", "DSC", "PXL_2023", "edited_"};
  std::mt19937_64 rng(0x736d6172);
  std::vector<PhotoAttributes> photos(kPhotos);
  const auto first = at(2020, 1, 1);
  const auto span = std::chrono::duration_cast<std::chrono::seconds>(at(2025, 1, 1) - first);
  for (PhotoAttributes& p : photos) {
    p.rating = static_cast<std::int64_t>(rng() % 6);
    p.flagRaw = static_cast<std::int64_t>(rng() % 3);
    p.colorLabelRaw = static_cast<std::int64_t>(rng() % 8);
    p.isEdited = rng() % 2 == 0;
    p.isRAW = rng() % 4 == 0;
    for (std::uint64_t n = rng() % 5; n > 0; --n)
      p.keywords.emplace_back(kWords[rng() % std::size(kWords)]);
    p.filename = std::string(kPrefixes[rng() % std::size(kPrefixes)]) +
                 std::to_string(rng() % 100'000) + (p.isRAW ? ".ARW" : ".HEIC");
    if (rng() % 10 != 0) {
      p.captureDate = first + std::chrono::seconds(static_cast<std::int64_t>(
                                  rng() % static_cast<std::uint64_t>(span.count())));
    }
  }
  return photos;
}

struct Tally {
  std::size_t matches = 0;
  std::size_t checksum = 0;  // keeps which photos matched observable
};

template <class Match>
Tally run(const std::vector<PhotoAttributes>& photos, Match match) {
  Tally tally;
  for (std::size_t i = 0; i < photos.size(); ++i) {
    if (match(photos[i])) {
      ++tally.matches;
      tally.checksum += i;
    }
  }
  return tally;
}

template <class Match>
double bestSeconds(const std::vector<PhotoAttributes>& photos, Match match, Tally* tally) {
  return tarno::bench::bestSeconds(kRounds, [&] { *tally = run(photos, match); });
}

std::size_t countNodes(const SmartQuery& q) {
  std::size_t n = 1;
  if (const auto* a = q.as<SmartQuery::And>()) {
    for (const SmartQuery& m : a->members)
      n += countNodes(m);
  } else if (const auto* o = q.as<SmartQuery::Or>()) {
    for (const SmartQuery& m : o->members)
      n += countNodes(m);
  } else if (const auto* x = q.as<SmartQuery::Not>()) {
    n += countNodes(*x->member);
  }
  return n;
}

}  // namespace

int main() {
  const std::vector<PhotoAttributes> photos = makePhotos();
  const struct {
    const char* name;
    std::string_view json;
    bool (*inlined)(const PhotoAttributes&);
  } cases[] = {{"keywords, names, dates", kQuery, inlined},
               {"flags and ratings only", kScalarQuery, inlinedScalar}};

  std::printf("smart_query: 50-node queries over %zu photos, best of %d\n", photos.size(),
              2 * kRounds);
  for (const auto& c : cases) {
    const SmartQuery query = tarno::core::decodeFromString<SmartQuery>(c.json);
    Tally queryTally;
    Tally inlinedTally;
    // Interleave the two so that both see the same machine load.
    double querySeconds = 1e9;
    double inlinedSeconds = 1e9;
    for (int pass = 0; pass < 2; ++pass) {
      inlinedSeconds = std::min(inlinedSeconds, bestSeconds(photos, c.inlined, &inlinedTally));
      querySeconds = std::min(
          querySeconds,
          bestSeconds(
              photos, [&](const PhotoAttributes& p) { return query.matches(p); }, &queryTally));
    }
    if (countNodes(query) != 50 || queryTally.matches != inlinedTally.matches ||
        queryTally.checksum != inlinedTally.checksum) {
      std::fprintf(stderr, "smart_query_bench: %s: the query and its predicate disagree\n", c.name);
      return 1;
    }
    const double photoCount = static_cast<double>(photos.size());
    const double ratio = querySeconds / inlinedSeconds;
    std::printf("  %s (%zu match)\n", c.name, queryTally.matches);
    std::printf("    SmartQuery.matches        %8.2f M photos/s\n",
                photoCount / querySeconds / 1e6);
    std::printf("    inlined predicate         %8.2f M photos/s\n",
                photoCount / inlinedSeconds / 1e6);
    std::printf("    time ratio query/inlined  %8.2f  (goal <= 4.00: %s)\n", ratio,
                ratio <= 4.0 ? "met" : "NOT met");
    tarno::bench::reportFigure({c.name, querySeconds / photoCount * 1e9, "ns/photo",
                                inlinedSeconds / photoCount * 1e9, "inlined predicate",
                                tarno::bench::Goal::atMost, 4});
  }
  return 0;
}
