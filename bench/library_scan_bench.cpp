// First scan of a folder of 2,000 JPEGs with EXIF (camera, exposure, date, GPS), in photos per
// second, against `exiv2 -pa` reading the same files in one call, measured in the same run.
//
// The photos are 640 × 480 and made here: the scan reads their headers only, so their pixel
// count hardly matters. Both sides read from the page cache; the best of three runs counts.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <string>
#include <vector>
#include <vips/vips8>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/library/folder_scanner.hpp"

extern char** environ;

namespace {

constexpr int kPhotos = 2000;
constexpr int kRounds = 3;

class CountingSink : public tarno::library::ScanSink {
 public:
  std::unordered_map<std::string, tarno::library::FileStamp> knownFiles() override { return {}; }
  void fileFound(const tarno::library::ScannedFile& file) override {
    ++found;
    pixels += file.metadata.info.pixelWidth * file.metadata.info.pixelHeight;
  }
  void fileRemoved(std::string_view) override {}
  void hashComputed(std::string_view, std::uint64_t) override {}
  std::vector<std::string> filesWithoutHash() override { return {}; }
  int found = 0;
  std::int64_t pixels = 0;
};

std::vector<std::string> makePhotos(const std::filesystem::path& folder) {
  const char* makes[] = {"Canon", "NIKON CORPORATION", "FUJIFILM", "SONY", "Apple"};
  const char* models[] = {"EOS R6", "Z 6", "X-T4", "ILCE-7M3", "iPhone 13"};
  vips::VImage xy = vips::VImage::xyz(640, 480);
  const vips::VImage picture =
      (xy.extract_band(0) * 0.4)
          .bandjoin(xy.extract_band(1) * 0.5)
          .bandjoin(xy.extract_band(0) * 0.2)
          .cast(VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  VipsBlob* blob = picture.jpegsave_buffer(vips::VImage::option()->set("Q", 85));
  std::size_t size = 0;
  const void* data = vips_blob_get(blob, &size);
  const std::string jpeg(static_cast<const char*>(data), size);
  vips_area_unref(VIPS_AREA(blob));

  std::vector<std::string> paths;
  for (int i = 0; i < kPhotos; ++i) {
    const std::filesystem::path sub = folder / ("roll" + std::to_string(i / 200));
    std::filesystem::create_directories(sub);
    const std::filesystem::path file = sub / ("IMG_" + std::to_string(1000 + i) + ".jpg");
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.data()),
                                           static_cast<long>(jpeg.size()));
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = makes[i % 5];
    exif["Exif.Image.Model"] = models[i % 5];
    exif["Exif.Photo.ISOSpeedRatings"] = std::to_string(100 << (i % 6));
    exif["Exif.Photo.ExposureTime"] = Exiv2::Rational(1, 60 + i % 500);
    exif["Exif.Photo.FNumber"] = Exiv2::Rational(18 + i % 60, 10);
    exif["Exif.Photo.FocalLength"] = Exiv2::Rational(24 + i % 100, 1);
    char date[32];
    std::snprintf(date, sizeof date, "%04d:%02d:%02d %02d:%02d:%02d", 2015 + i % 9, 1 + i % 12,
                  1 + i % 28, i % 24, i % 60, (i * 7) % 60);
    exif["Exif.Photo.DateTimeOriginal"] = date;
    exif["Exif.GPSInfo.GPSLatitude"] = "48/1 51/1 " + std::to_string(i % 60) + "/1";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLongitude"] = "2/1 21/1 " + std::to_string(i % 60) + "/1";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "E";
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf bytes = io.read(static_cast<long>(io.size()));
    std::FILE* out = std::fopen(file.c_str(), "wbe");
    std::fwrite(bytes.pData_, 1, static_cast<std::size_t>(bytes.size_), out);
    std::fclose(out);
    paths.push_back(file.string());
  }
  return paths;
}

// `exiv2 -pa` with every file in one call, its output thrown away.
bool runExiv2(const std::vector<std::string>& paths) {
  std::vector<char*> argv{const_cast<char*>("exiv2"), const_cast<char*>("-q"),
                          const_cast<char*>("-pa")};
  for (const std::string& path : paths)
    argv.push_back(const_cast<char*>(path.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, "exiv2", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
  if (VIPS_INIT("library_scan_bench") != 0) return 1;
  std::string pattern = (std::filesystem::temp_directory_path() / "tarno-scan-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const std::filesystem::path folder = pattern;
  const std::vector<std::string> paths = makePhotos(folder);

  int found = 0;
  std::int64_t pixels = 0;
  bool exiv2Ok = true;
  double scanSeconds = 1e300;
  double exiv2Seconds = 1e300;
  for (int pass = 0; pass < 2; ++pass) {
    exiv2Seconds =
        std::min(exiv2Seconds,
                 tarno::bench::bestSeconds(kRounds, [&] { exiv2Ok = runExiv2(paths) && exiv2Ok; }));
    scanSeconds = std::min(scanSeconds, tarno::bench::bestSeconds(kRounds, [&] {
                             CountingSink sink;
                             tarno::library::FolderScanner scanner({.folder = folder}, sink);
                             scanner.scanOnce();
                             found = sink.found;
                             pixels = sink.pixels;
                           }));
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (found != kPhotos || pixels != std::int64_t{kPhotos} * 640 * 480 || !exiv2Ok) {
    std::fprintf(stderr, "library_scan_bench: found %d of %d photos (exiv2 %s)\n", found, kPhotos,
                 exiv2Ok ? "ok" : "failed");
    return 1;
  }
  const double scanRate = kPhotos / scanSeconds;
  const double exiv2Rate = kPhotos / exiv2Seconds;
  std::printf("library_scan: first pass over %d JPEGs with EXIF, best of %d\n", kPhotos,
              2 * kRounds);
  std::printf("  FolderScanner.scanOnce      %8.0f photos/s\n", scanRate);
  std::printf("  exiv2 -pa, one call         %8.0f photos/s\n", exiv2Rate);
  tarno::bench::reportFigure({"FolderScanner first scan", scanRate, "photos/s", exiv2Rate,
                              "exiv2 -pa", tarno::bench::Goal::atLeast, 1.0});
  return 0;
}
