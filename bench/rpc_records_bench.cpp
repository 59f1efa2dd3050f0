// Typed request and response lines of the app's IPC in MB/s, against Node's JSON.parse and
// JSON.stringify of the same lines in the same run: an edit.set request with 85 ops and 16 mask
// ops (encodeRequest, decodeParams) and a library.query response with 500 photo summaries
// (encodeResult, decodeResponse).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/query_records.hpp"
#include "tarno/protocol/rpc.hpp"

namespace {

using namespace tarno;
using namespace tarno::protocol;

// Many short rounds and the best of them: the machine is shared, and the fastest round is the
// one least disturbed by other work.
constexpr int kRounds = 20;
constexpr int kRepeat = 50;

EditSetParams makeEdit() {
  EditSetParams p{.id = "8F14E45F-CEEA-467F-A0E6-5C8D1B4E2A90/L0/001",
                  .expectedVersion = 41,
                  .agent = "claude",
                  .sessionId = "3f2c9a1e-5b7d-4e8f-9a0b-1c2d3e4f5a6b",
                  .preview = true,
                  .previewLongEdge = 1024};
  const auto& kinds = core::allCases<core::AdjustmentKind>;
  for (int i = 0; i < 85; ++i) {
    core::EditPatchOp op{.kind = kinds[static_cast<std::size_t>(i) % kinds.size()]};
    switch (i % 6) {
      case 0:
        op.curve = std::vector<core::Point>{{0, 0}, {0.25, 0.21}, {0.5, 0.55}, {0.75, 0.8}, {1, 1}};
        break;
      case 1:
        op.rect = core::Rect{.origin = {0.05, 0.1}, .size = {0.9, 0.8}};
        break;
      case 2:
        op.pointColors = std::vector<core::PointColorTarget>{
            {.targetHue = 0.1, .targetSat = 0.6, .targetLum = 0.5, .hue = 0.02, .range = 0.2}};
        break;
      case 3:
        op.remove = true;
        break;
      default:
        op.scalar = 0.013 * i - 0.4;
    }
    p.ops.push_back(std::move(op));
  }
  p.maskOps.emplace();
  for (int i = 0; i < 16; ++i) {
    core::MaskPatchOp m{.action = core::MaskPatchOp::Action::add,
                        .id = core::Uuid::random(),
                        .name = "Sky " + std::to_string(i),
                        .adjustment = core::AdjustmentKind::exposure,
                        .value = -0.35};
    if (i % 2 == 0) {
      m.shape = core::Shape(core::Shape::Linear{.start = {0.5, 0}, .end = {0.5, 0.45}});
    } else {
      m.shape = core::Shape(core::Shape::Brush{
          .strokes = {{.points = {{0.1, 0.2}, {0.15, 0.22}, {0.2, 0.25}, {0.3, 0.3}},
                       .radius = 12}},
          .feather = 0.5});
    }
    p.maskOps->push_back(std::move(m));
  }
  return p;
}

QueryResult makeQuery() {
  QueryResult r{.count = 1342, .shown = true};
  const core::Date taken = std::chrono::sys_days{std::chrono::year{2024} / 6 / 1};
  for (int i = 0; i < 500; ++i) {
    std::string id = "C9F0F895-FB98-4B91-99C4-" + std::to_string(100000000000 + i) + "/L0/001";
    r.ids.push_back(id);
    core::PhotoSummary s{.id = id,
                         .pixelWidth = 4032,
                         .pixelHeight = 3024,
                         .creationDate = taken + std::chrono::minutes(17 * i),
                         .modificationDate = taken + std::chrono::hours(24 * 30),
                         .formatLabel = i % 3 == 0 ? "HEIC" : "RAW",
                         .isFavorite = i % 7 == 0,
                         .durationSeconds = i % 10 == 0 ? 12.48 : 0,
                         .playbackStyle = i % 10 == 0 ? core::PhotoPlaybackStyle::video
                                                      : core::PhotoPlaybackStyle::image,
                         .sourceType = core::PhotoSourceType::userLibrary,
                         .canEditContent = true,
                         .canEditProperties = true,
                         .canDelete = true,
                         .hasAdjustments = i % 4 == 0};
    if (i % 2 == 0) {
      s.latitude = 38.7223 + 0.001 * i;
      s.longitude = -9.1393 - 0.001 * i;
    }
    r.sample.push_back(std::move(s));
  }
  return r;
}

// Best MB/s of `work`, which handles `bytes` bytes per call.
template <class F>
double bestRate(std::size_t bytes, F work) {
  double best = 1e300;
  for (int r = 0; r < kRounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < kRepeat; ++k)
      work();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return static_cast<double>(bytes) * kRepeat / best / 1e6;
}

struct Measured {
  const char* name;
  std::string line;
  double encode = 0;
  double decode = 0;         // the RPC function
  double genericDecode = 0;  // the value-tree decoder alone on the same wire record
};

}  // namespace

int main() {
  const EditSetParams edit = makeEdit();
  const QueryResult query = makeQuery();
  const RPCID id = RPCID::number(7);
  bool same = true;

  Measured rows[] = {
      {"edit.set request (85 ops, 16 mask ops)", RPC::encodeRequest(id, IPCMethod::editSet, edit)},
      {"library.query response (500 summaries)", RPC::encodeResult(id, query)}};
  rows[0].encode = bestRate(rows[0].line.size(), [&] {
    same &= RPC::encodeRequest(id, IPCMethod::editSet, edit).size() == rows[0].line.size();
  });
  rows[0].decode = bestRate(rows[0].line.size(), [&] {
    same &= RPC::decodeParams<EditSetParams>(rows[0].line)->ops == edit.ops;
  });
  rows[0].genericDecode = bestRate(rows[0].line.size(), [&] {
    same &=
        core::decodeFromString<RPC::detail::ParamsBox<EditSetParams>>(rows[0].line).params->ops ==
        edit.ops;
  });
  rows[1].encode = bestRate(rows[1].line.size(), [&] {
    same &= RPC::encodeResult(id, query).size() == rows[1].line.size();
  });
  rows[1].decode = bestRate(rows[1].line.size(), [&] {
    same &=
        RPC::decodeResponse<QueryResult>(rows[1].line).as<QueryResult>()->sample == query.sample;
  });
  rows[1].genericDecode = bestRate(rows[1].line.size(), [&] {
    same &=
        core::decodeFromString<RPC::detail::ResultBox<QueryResult>>(rows[1].line).result->sample ==
        query.sample;
  });

  std::printf("typed JSON-RPC lines, best of %d rounds of %d%s\n", kRounds, kRepeat,
              same ? "" : "  MISMATCHES");
  for (const Measured& m : rows) {
    std::printf("  %-40s %7zu bytes  encode %5.0f MB/s  decode %5.0f MB/s (generic %5.0f)\n",
                m.name, m.line.size(), m.encode, m.decode, m.genericDecode);
  }
  if (!bench::haveNode()) {
    std::printf("  node not found: no baseline ratio\n");
    return same ? 0 : 1;
  }
  // Node parses and stringifies each line on its own, the way edit_stack_bench's baseline does.
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Measured& m = rows[i];
    const auto file = bench::dataDirectory() / ("rpc-records-line" + std::to_string(i) + ".json");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << m.line;
    const auto output = bench::captureOutput(
        "node " + bench::shellQuote(bench::sourcePath("bench/edit_stack_baseline.js")) + " " +
        bench::shellQuote(file.string()) + " " + std::to_string(kRounds) + " " +
        std::to_string(kRepeat));
    const double parse = output ? bench::field(*output, "parse") : -1;
    const double stringify = output ? bench::field(*output, "stringify") : -1;
    if (parse <= 0 || stringify <= 0) {
      std::printf("  node baseline failed: no ratio\n");
      return same ? 0 : 1;
    }
    std::printf("  %-42s node JSON.parse %7.0f MB/s  JSON.stringify %7.0f MB/s\n", m.name, parse,
                stringify);
    std::printf(
        "  %-42s decode %.2fx node's parse, %.2fx with the generic decoder (goal >= 1.5x); "
        "encode %.2fx node's stringify (goal >= 1.7x)\n",
        "", m.decode / parse, m.genericDecode / parse, m.encode / stringify);
    const std::string name = m.name;
    bench::reportFigure(
        {name + " decode", m.decode, "MB/s", parse, "node JSON.parse", bench::Goal::atLeast, 1.5});
    bench::reportFigure({name + " encode", m.encode, "MB/s", stringify, "node JSON.stringify",
                         bench::Goal::atLeast, 1.7});
  }
  return same ? 0 : 1;
}
