// What rendering an edit stack costs against libvips' own thumbnailer, on a generated
// 24-megapixel JPEG: a 1,024-pixel PNG preview of the original (goal: at most 1.3× `vips
// thumbnail` writing the same PNG), the same preview with twelve adjustments and a radial mask
// (at most 3× that floor), and a full-size JPEG export of that stack, whose peak memory is
// measured in a child process of its own (goal: under 512 MiB). Runs alternate so that both
// sides see the same machine load.
//
//   develop_bench [runs]     (7 by default)
//   develop_bench --export SOURCE OUT     (the child: one export, nothing else)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_report.hpp"
#include "tarno/core/edit_stack.hpp"
#include "tarno/library/develop_pipeline.hpp"

namespace {

using tarno::core::AdjustmentKind;
using tarno::core::EditStack;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The stack a photo typically gets: twelve global adjustments and one radial mask.
EditStack typicalStack() {
  const auto origin = tarno::core::EditOrigin::user();
  const tarno::core::Date at{std::chrono::seconds{1'700'000'000}};
  EditStack s;
  const std::array<std::pair<AdjustmentKind, double>, 11> scalars{
      {{AdjustmentKind::exposure, 0.4},
       {AdjustmentKind::contrast, 0.2},
       {AdjustmentKind::highlights, -0.4},
       {AdjustmentKind::shadows, 0.3},
       {AdjustmentKind::whites, 0.1},
       {AdjustmentKind::blacks, -0.1},
       {AdjustmentKind::temperature, 0.15},
       {AdjustmentKind::tint, -0.05},
       {AdjustmentKind::vibrance, 0.3},
       {AdjustmentKind::saturation, 0.1},
       {AdjustmentKind::sharpenAmount, 0.6}}};
  for (const auto& [k, v] : scalars)
    s.setScalar(k, v, origin, at);
  s.setCurve(AdjustmentKind::toneCurve, {{0, 0.02}, {0.3, 0.27}, {0.7, 0.75}, {1, 1}}, origin, at);
  s.setMasks({tarno::core::LocalMask::make(
      tarno::core::Uuid::random(), "subject",
      tarno::core::Shape::Radial{.center = {0.5, 0.45}, .radius = {0.3, 0.35}, .feather = 0.5},
      {{AdjustmentKind::exposure, 0.3}, {AdjustmentKind::clarity, 0.2}}, true)});
  return s;
}

// A 6000 × 4000 photo-like JPEG: smooth gradients, a pattern of edges and some noise, so that
// the decoder has real work. Written as a PPM, then exported through the pipeline.
bool makeSource(const fs::path& folder, const fs::path& jpeg) {
  constexpr int w = 6000, h = 4000;
  const fs::path ppm = folder / "source.ppm";
  {
    std::ofstream out(ppm, std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    std::vector<unsigned char> row(static_cast<std::size_t>(w) * 3);
    unsigned seed = 12345;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        seed = seed * 1103515245u + 12345u;
        const int noise = static_cast<int>((seed >> 16) % 13) - 6;
        const bool edge = ((x / 37) + (y / 53)) % 5 == 0;
        const int r = 40 + x * 170 / w + noise + (edge ? 30 : 0);
        const int g = 60 + y * 150 / h + noise;
        const int b = 200 - (x + y) * 150 / (w + h) + noise - (edge ? 40 : 0);
        row[static_cast<std::size_t>(x) * 3] = static_cast<unsigned char>(std::clamp(r, 0, 255));
        row[static_cast<std::size_t>(x) * 3 + 1] =
            static_cast<unsigned char>(std::clamp(g, 0, 255));
        row[static_cast<std::size_t>(x) * 3 + 2] =
            static_cast<unsigned char>(std::clamp(b, 0, 255));
      }
      out.write(reinterpret_cast<const char*>(row.data()),
                static_cast<std::streamsize>(row.size()));
    }
  }
  tarno::library::RenderError error;
  const bool ok =
      tarno::library::developExport(ppm, EditStack{}, "jpeg", std::nullopt, 0.9, jpeg, {}, &error)
          .has_value();
  fs::remove(ppm);
  if (!ok)
    std::fprintf(stderr, "develop_bench: cannot make the source: %s\n", error.message.c_str());
  return ok;
}

// Runs a program to the end; its peak resident size in KiB through `maxRssKiB`.
bool run(std::vector<std::string> args, long* maxRssKiB = nullptr) {
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (maxRssKiB != nullptr) *maxRssKiB = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool preview(const fs::path& source, const EditStack& stack, const fs::path& out) {
  tarno::library::RenderError error;
  const auto r = tarno::library::developPreview(source, stack, 1024, {}, &error);
  if (!r) return false;
  std::ofstream(out, std::ios::binary)
      .write(r->bytes.data(), static_cast<std::streamsize>(r->bytes.size()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--export") {
    tarno::library::RenderError error;
    const auto r = tarno::library::developExport(argv[2], typicalStack(), "jpeg", std::nullopt, 0.9,
                                                 argv[3], {}, &error);
    if (!r) std::fprintf(stderr, "develop_bench: export failed: %s\n", error.message.c_str());
    return r ? 0 : 1;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

  char pattern[] = "/tmp/tarno-develop-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path folder = pattern;
  const fs::path source = folder / "photo.jpg";
  if (!makeSource(folder, source)) return 1;
  const std::string floorOut = (folder / "floor.png").string();
  const EditStack empty;
  const EditStack stack = typicalStack();

  bool ok = run({"vips", "thumbnail", source.string(), floorOut, "1024", "--height", "1024"}) &&
            preview(source, empty, folder / "plain.png") &&
            preview(source, stack, folder / "edited.png");
  std::vector<double> floor, plain, edited;
  for (int i = 0; i < runs && ok; ++i) {
    auto start = Clock::now();
    ok = run({"vips", "thumbnail", source.string(), floorOut, "1024", "--height", "1024"});
    floor.push_back(seconds(start) * 1000);
    start = Clock::now();
    ok = ok && preview(source, empty, folder / "plain.png");
    plain.push_back(seconds(start) * 1000);
    start = Clock::now();
    ok = ok && preview(source, stack, folder / "edited.png");
    edited.push_back(seconds(start) * 1000);
  }
  long exportKiB = 0;
  const auto exportStart = Clock::now();
  ok = ok && run({"/proc/self/exe", "--export", source.string(), (folder / "export.jpg").string()},
                 &exportKiB);
  const double exportSeconds = seconds(exportStart);
  const auto sourceBytes = ok ? fs::file_size(source) : 0;
  fs::remove_all(folder);
  if (!ok) {
    std::fprintf(stderr, "develop_bench: a run failed (is `vips` from libvips-tools installed?)\n");
    return 1;
  }

  std::printf("6000 x 4000 JPEG (%.1f MB), %d runs each, medians\n", sourceBytes / 1e6, runs);
  std::printf("  vips thumbnail -> 1024 px PNG (CLI)      : %8.1f ms\n", median(floor));
  std::printf("  preview of the original, 1024 px PNG     : %8.1f ms (%.2fx, goal <= 1.3x)\n",
              median(plain), median(plain) / median(floor));
  std::printf("  preview, 12 adjustments + radial mask    : %8.1f ms (%.2fx, goal <= 3x)\n",
              median(edited), median(edited) / median(floor));
  std::printf(
      "  full-size JPEG export of that stack      : %8.2f s, peak RSS %.0f MiB (goal < 512)\n",
      exportSeconds, exportKiB / 1024.0);
  tarno::bench::reportFigure({"1024 px preview of the original, median", median(plain), "ms",
                              median(floor), "vips thumbnail CLI", tarno::bench::Goal::atMost,
                              1.3});
  tarno::bench::reportFigure({"1024 px preview with 12 adjustments + radial mask, median",
                              median(edited), "ms", median(floor), "vips thumbnail CLI",
                              tarno::bench::Goal::atMost, 3});
  tarno::bench::reportFigure({"full-size 24 MP JPEG export with that stack, peak RSS",
                              exportKiB / 1024.0,
                              "MiB",
                              0,
                              {},
                              tarno::bench::Goal::atMost,
                              512});
  tarno::bench::reportNote("full-size 24 MP export with 12 adjustments + radial mask took %.2f s",
                           exportSeconds);
  return 0;
}
