// One machine-readable line per goal figure, beside each benchmark's own text. scripts/bench-report
// collects these lines into BENCHMARKS.md, so that no figure there is ever typed by hand.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace tarno::bench {

enum class Goal { atLeast, atMost };

struct Figure {
  std::string_view name;  // unique within its benchmark program
  double value = 0;
  std::string_view unit;
  // The same quantity measured the plain way in the same run; 0 when the goal is absolute.
  double baseline = 0;
  std::string_view baselineName = {};
  // Bounds value / baseline, or the value itself when there is no baseline.
  Goal goal = Goal::atLeast;
  double bound = 0;
  std::string_view goalNote = {};  // a second way to meet the goal, in words
};

// Prints "@figure<TAB>name<TAB>value<TAB>unit<TAB>baseline<TAB>baseline name<TAB>ratio<TAB>goal
// <TAB>met" and returns whether the goal was met; `met` overrides the bound test where the goal
// note offers another way.
inline bool reportFigure(const Figure& f, std::optional<bool> met = std::nullopt) {
  const bool relative = f.baseline > 0;
  const double measured = relative ? f.value / f.baseline : f.value;
  const bool withinBound = f.goal == Goal::atLeast ? measured >= f.bound : measured <= f.bound;
  const bool ok = met.value_or(withinBound);
  char bound[64];
  std::snprintf(bound, sizeof bound, "%s %.4g%s%s", f.goal == Goal::atLeast ? ">=" : "<=", f.bound,
                relative ? "x" : " ", relative ? "" : std::string(f.unit).c_str());
  std::string goal = bound;
  if (!f.goalNote.empty()) goal += " or " + std::string(f.goalNote);
  char baseline[32] = "-";
  char ratio[32] = "-";
  if (relative) {
    std::snprintf(baseline, sizeof baseline, "%.6g", f.baseline);
    std::snprintf(ratio, sizeof ratio, "%.3g", measured);
  }
  std::printf("@figure\t%.*s\t%.6g\t%.*s\t%s\t%.*s\t%s\t%s\t%s\n", int(f.name.size()),
              f.name.data(), f.value, int(f.unit.size()), f.unit.data(), baseline,
              int(f.baselineName.size()), f.baselineName.data(), ratio, goal.c_str(),
              ok ? "yes" : "no");
  std::fflush(stdout);
  return ok;
}

// Prints "@note<TAB>text": a measurement that explains a figure without being one (a floor, a
// breakdown). The report lists the notes under the table. Tabs and line breaks are not allowed.
[[gnu::format(printf, 1, 2)]] inline void reportNote(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::printf("@note\t");
  std::vprintf(format, args);
  std::printf("\n");
  std::fflush(stdout);
  va_end(args);
}

}  // namespace tarno::bench
