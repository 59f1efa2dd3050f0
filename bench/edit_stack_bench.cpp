// Encode and decode of a full edit stack (every kind set, 16 masks with refinements) through
// AdjustmentDataCodec, in MB/s, against Node's JSON.stringify and JSON.parse of the same
// document measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/core/adjustment_data_codec.hpp"

namespace {

using namespace tarno::core;

constexpr int kRounds = 30;
constexpr int kRepeat = 200;
constexpr double kDecodeGoal = 1.5;
constexpr double kEncodeGoal = 1.7;

// The variant each kind holds in the app, with values spread like real edits.
AdjustmentPayload payloadFor(AdjustmentKind k, std::mt19937& rng) {
  std::uniform_real_distribution<double> amount(-1, 1);
  switch (k) {
    case AdjustmentKind::treatment:
      return AdjustmentPayload::string("color");
    case AdjustmentKind::lut:
      return AdjustmentPayload::string("Film/Kodachrome 64.cube");
    case AdjustmentKind::crop:
      return AdjustmentPayload::rect({{0.05, 0.1}, {0.9, 0.75}});
    case AdjustmentKind::flipHorizontal:
    case AdjustmentKind::flipVertical:
      return AdjustmentPayload::boolean(rng() % 2 == 0);
    case AdjustmentKind::toneCurve:
    case AdjustmentKind::toneCurveRed:
    case AdjustmentKind::toneCurveGreen:
    case AdjustmentKind::toneCurveBlue:
      return AdjustmentPayload::curve({{0, 0}, {0.25, 0.21}, {0.5, 0.53}, {0.75, 0.8}, {1, 1}});
    case AdjustmentKind::pointColor: {
      std::vector<PointColorTarget> targets;
      for (int i = 0; i < 4; ++i) {
        targets.push_back(
            {amount(rng), amount(rng), amount(rng), amount(rng), amount(rng), amount(rng), 0.2});
      }
      return AdjustmentPayload::pointColors(std::move(targets));
    }
    case AdjustmentKind::colorProfile:
      return AdjustmentPayload::scalar(3);
    default:
      return AdjustmentPayload::scalar(std::round(amount(rng) * 1000) / 1000);
  }
}

EditOrigin originFor(int i) {
  switch (i % 3) {
    case 0:
      return EditOrigin::user();
    case 1:
      return EditOrigin::ai("claude", "3f2c9a1e-5b7d-4e8f-9a0b-1c2d3e4f5a6b");
    default:
      return EditOrigin::preset("warm-film");
  }
}

Shape shapeFor(int i, std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(0, 1);
  switch (i % 6) {
    case 0:
      return Shape::Linear{{unit(rng), unit(rng)}, {unit(rng), unit(rng)}};
    case 1:
      return Shape::Radial{{0.5, 0.4}, {0.2, 0.3}, 0.5, i % 2 == 0};
    case 2:
      return Shape::LuminanceRange{0.1, 0.6, 0.2};
    case 3:
      return Shape::ColorRange{210, 30, 0.3};
    case 4: {
      Shape::Brush brush{.feather = 0.4};
      for (int s = 0; s < 3; ++s) {
        BrushStroke stroke{.radius = 0.03, .erase = s == 2};
        for (int p = 0; p < 24; ++p)
          stroke.points.push_back({unit(rng), unit(rng)});
        brush.strokes.push_back(std::move(stroke));
      }
      return brush;
    }
    default:
      return Shape::AISubject{false};
  }
}

EditStack makeStack() {
  std::mt19937 rng(7);
  EditStack stack;
  const Date start = std::chrono::sys_days{std::chrono::year{2025} / 3 / 14};
  int i = 0;
  for (AdjustmentKind k : allCases<AdjustmentKind>) {
    stack.values.emplace(k, AdjustmentValue{k, payloadFor(k, rng), originFor(i),
                                            start + std::chrono::seconds(97 * i)});
    ++i;
  }
  std::vector<LocalMask> masks;
  for (int m = 0; m < 16; ++m) {
    PairArrayMap<AdjustmentKind, double> amounts;
    for (int a = 0; a < 4; ++a)
      amounts[allCases<AdjustmentKind>[3 + (m + 5 * a) % 20]] = 0.1 * (a + 1) - 0.25;
    masks.push_back(LocalMask::make(
        Uuid::random(), "Mask " + std::to_string(m + 1), shapeFor(m, rng), std::move(amounts),
        m % 5 != 4,
        {MaskComponent{Uuid::random(), shapeFor(m + 5, rng), CompositeMode::subtract},
         MaskComponent{Uuid::random(), Shape::AIPeople{true}, CompositeMode::intersect}}));
  }
  stack.setMasks(std::move(masks));
  stack.version = 1234;
  return stack;
}

template <class F>
double bestSeconds(F&& work) {
  double best = 1e300;
  for (int r = 0; r < kRounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < kRepeat; ++k)
      work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main() {
  const EditStack stack = makeStack();
  const std::string document = AdjustmentDataCodec::encode(stack);
  const double mb = static_cast<double>(document.size()) * kRepeat / 1e6;

  std::size_t sink = 0;
  const double encodeMBs =
      mb / bestSeconds([&] { sink += AdjustmentDataCodec::encode(stack).size(); });
  bool same = true;
  const double decodeMBs = mb / bestSeconds([&] {
                             const auto back = AdjustmentDataCodec::decode(document);
                             same = same && back && *back == stack;
                           });
  std::printf("edit stack: %zu bytes, %zu values, %zu masks (x%d, best of %d)\n", document.size(),
              stack.values.size(), stack.masks().size(), kRepeat, kRounds);
  std::printf("  AdjustmentDataCodec::encode: %8.1f MB/s\n", encodeMBs);
  std::printf("  AdjustmentDataCodec::decode: %8.1f MB/s%s\n", decodeMBs, same ? "" : "  MISMATCH");
  if (sink == 0 || !same) return 1;

  if (!tarno::bench::haveNode()) {
    std::printf("  node not found: no baseline ratio\n");
    return 0;
  }
  const auto file = tarno::bench::dataDirectory() / "edit-stack.json";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << document;
  const std::string command =
      "node " + tarno::bench::shellQuote(tarno::bench::sourcePath("bench/edit_stack_baseline.js")) +
      " " + tarno::bench::shellQuote(file.string()) + " " + std::to_string(kRounds) + " " +
      std::to_string(kRepeat);
  const auto output = tarno::bench::captureOutput(command);
  const double nodeParse = output ? tarno::bench::field(*output, "parse") : -1;
  const double nodeStringify = output ? tarno::bench::field(*output, "stringify") : -1;
  if (nodeParse <= 0 || nodeStringify <= 0) {
    std::printf("  node baseline failed: no ratio\n");
    return 0;
  }
  std::printf("  node JSON.stringify:         %8.1f MB/s\n", nodeStringify);
  std::printf("  node JSON.parse:             %8.1f MB/s\n", nodeParse);
  std::printf("  encode: %.2fx node (goal >= %.1fx)\n", encodeMBs / nodeStringify, kEncodeGoal);
  std::printf("  decode: %.2fx node (goal >= %.1fx)\n", decodeMBs / nodeParse, kDecodeGoal);
  using tarno::bench::reportFigure;
  reportFigure({"edit stack encode", encodeMBs, "MB/s", nodeStringify, "node JSON.stringify",
                tarno::bench::Goal::atLeast, kEncodeGoal});
  reportFigure({"edit stack decode", decodeMBs, "MB/s", nodeParse, "node JSON.parse",
                tarno::bench::Goal::atLeast, kDecodeGoal});
  return 0;
}
