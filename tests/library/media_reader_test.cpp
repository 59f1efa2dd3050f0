#include "tarno/library/media_reader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>

#include "library/media_fixture.hpp"

namespace tarno::library {
namespace {

using namespace std::chrono;
using testing::readBytes;
using testing::setTags;
using testing::TempFolder;
using testing::writeBytes;
using testing::writeImage;

std::int64_t unixSeconds(const core::Date& date) {
  return duration_cast<seconds>(date.time_since_epoch()).count();
}

std::int64_t utc(year_month_day day, int hour, int minute, int second) {
  return duration_cast<seconds>(sys_days{day}.time_since_epoch()).count() + hour * 3600 +
         minute * 60 + second;
}

FileStamp stampAt(std::int64_t unixSeconds) {
  return FileStamp{.size = 1, .mtimeNs = unixSeconds * 1'000'000'000};
}

TEST(MediaReader, ReadsTheCameraExposureAndPlaceOfAJpeg) {
  TempFolder folder;
  const auto file = folder / "IMG_0001.jpg";
  writeImage(file, 64, 48);
  setTags(file, {{"Exif.Image.Make", "Fujifilm"},
                 {"Exif.Image.Model", "X-T4"},
                 {"Exif.Photo.LensModel", "XF35mmF1.4 R"},
                 {"Exif.Photo.ISOSpeedRatings", "400"},
                 {"Exif.Photo.ExposureTime", "1/250"},
                 {"Exif.Photo.FNumber", "28/10"},
                 {"Exif.Photo.FocalLength", "35/1"},
                 {"Exif.Photo.DateTimeOriginal", "2019:07:14 18:30:05"},
                 {"Exif.GPSInfo.GPSLatitude", "48/1 51/1 30/1"},
                 {"Exif.GPSInfo.GPSLatitudeRef", "N"},
                 {"Exif.GPSInfo.GPSLongitude", "2/1 17/1 24/1"},
                 {"Exif.GPSInfo.GPSLongitudeRef", "W"}});

  const auto metadata = readMetadata(file, stampAt(0));
  ASSERT_TRUE(metadata);
  const core::PhotoInfo& info = metadata->info;
  EXPECT_EQ(info.cameraMake, "Fujifilm");
  EXPECT_EQ(info.cameraModel, "X-T4");
  EXPECT_EQ(info.lens, "XF35mmF1.4 R");
  EXPECT_EQ(info.iso, 400);
  EXPECT_DOUBLE_EQ(info.shutterSeconds.value_or(0), 1.0 / 250);
  EXPECT_DOUBLE_EQ(info.aperture.value_or(0), 2.8);
  EXPECT_DOUBLE_EQ(info.focalLengthMM.value_or(0), 35);
  EXPECT_EQ(info.pixelWidth, 64);
  EXPECT_EQ(info.pixelHeight, 48);
  EXPECT_EQ(info.formatLabel, "JPEG");
  EXPECT_EQ(info.originalFilename, "IMG_0001.jpg");
  // Without an offset tag, the camera's wall-clock time is taken as UTC.
  ASSERT_TRUE(info.captureDate);
  EXPECT_EQ(unixSeconds(*info.captureDate), utc(2019y / July / 14, 18, 30, 5));
  ASSERT_TRUE(metadata->latitude && metadata->longitude);
  EXPECT_NEAR(*metadata->latitude, 48 + 51 / 60.0 + 30 / 3600.0, 1e-9);
  EXPECT_NEAR(*metadata->longitude, -(2 + 17 / 60.0 + 24 / 3600.0), 1e-9);
  EXPECT_FALSE(metadata->isVideo);
  EXPECT_FALSE(metadata->isRAW);
}

TEST(MediaReader, CaptureDateUsesTheOffsetThenXmpThenTheFileTime) {
  TempFolder folder;
  struct Case {
    std::string name;
    std::map<std::string, std::string> tags;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"offset.jpg",
       {{"Exif.Photo.DateTimeOriginal", "2021:03:01 09:00:00"},
        {"Exif.Photo.OffsetTimeOriginal", "+02:00"}},
       utc(2021y / March / 1, 7, 0, 0)},
      {"digitized.jpg",
       {{"Exif.Photo.DateTimeDigitized", "2015:12:31 23:59:59"}},
       utc(2015y / December / 31, 23, 59, 59)},
      {"xmp.png",
       {{"Xmp.xmp.CreateDate", "2020-02-03T04:05:06-05:00"}},
       utc(2020y / February / 3, 9, 5, 6)},
      // A camera whose clock was never set writes zeros: the file's time stands in.
      {"unset.jpg", {{"Exif.Photo.DateTimeOriginal", "0000:00:00 00:00:00"}}, 1'600'000'000},
  };
  for (const Case& c : cases) {
    writeImage(folder / c.name, 16, 16);
    setTags(folder / c.name, c.tags);
    const auto date = readMetadata(folder / c.name, stampAt(1'600'000'000))->info.captureDate;
    ASSERT_TRUE(date) << c.name;
    EXPECT_EQ(unixSeconds(*date), c.expected) << c.name;
  }
}

TEST(MediaReader, OrientationsFiveToEightSwapTheSize) {
  TempFolder folder;
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const auto file = folder / ("o" + std::to_string(orientation) + ".jpg");
    writeImage(file, 60, 40);
    setTags(file, {{"Exif.Image.Orientation", std::to_string(orientation)}});
    const auto metadata = readMetadata(file, stampAt(0));
    ASSERT_TRUE(metadata) << orientation;
    EXPECT_EQ(metadata->orientation, orientation);
    const bool quarterTurn = orientation >= 5;
    EXPECT_EQ(metadata->info.pixelWidth, quarterTurn ? 40 : 60) << orientation;
    EXPECT_EQ(metadata->info.pixelHeight, quarterTurn ? 60 : 40) << orientation;
  }
}

TEST(MediaReader, LabelsAndSizesEachPhotoFormat) {
  TempFolder folder;
  struct Case {
    std::string name;
    std::string label;
  };
  for (const Case& c : {Case{"a.png", "PNG"}, Case{"b.tif", "TIFF"}, Case{"c.webp", "WebP"},
                        Case{"d.heic", "HEIF"}, Case{"e.JPEG", "JPEG"}}) {
    const auto file = folder / c.name;
    writeImage(file, 33, 21);
    const auto metadata = readMetadata(file, stampAt(0));
    ASSERT_TRUE(metadata) << c.name;
    EXPECT_EQ(metadata->info.formatLabel, c.label) << c.name;
    EXPECT_EQ(metadata->info.pixelWidth, 33) << c.name;
    EXPECT_EQ(metadata->info.pixelHeight, 21) << c.name;
  }
  // A raw file is one by its name; this DNG is a plain TIFF inside.
  const auto raw = folder / "f.dng";
  writeImage(folder / "f.tif", 30, 20);
  std::filesystem::rename(folder / "f.tif", raw);
  const auto metadata = readMetadata(raw, stampAt(0));
  ASSERT_TRUE(metadata);
  EXPECT_TRUE(metadata->isRAW);
  EXPECT_EQ(metadata->info.formatLabel, "RAW");
}

TEST(MediaReader, KeywordsComeFromIptcAndXmpOnceEach) {
  TempFolder folder;
  const auto file = folder / "k.jpg";
  writeImage(file, 16, 16);
  setTags(file, {{"Iptc.Application2.Keywords", "harbour"}, {"Xmp.dc.subject", "boats"}});
  setTags(file, {{"Iptc.Application2.Keywords", "boats"}});
  const auto metadata = readMetadata(file, stampAt(0));
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->keywords, (std::vector<std::string>{"harbour", "boats"}));
}

TEST(MediaReader, UnreadableFilesGiveNothing) {
  TempFolder folder;
  writeBytes(folder / "empty.jpg", "");
  writeBytes(folder / "noise.jpg", std::string(5000, '\x5a'));
  writeBytes(folder / "text.png", "not a picture at all\n");
  writeBytes(folder / "clip.mp4", std::string("\0\0\0\x08"
                                              "free",
                                              8));
  for (const char* name : {"empty.jpg", "noise.jpg", "text.png", "clip.mp4", "missing.jpg"}) {
    EXPECT_FALSE(readMetadata(folder / name, stampAt(0))) << name;
    EXPECT_FALSE(readAllTags(folder / name)) << name;
  }
  // A folder named like a photo is not one either.
  std::filesystem::create_directory(folder / "dir.jpg");
  EXPECT_FALSE(readMetadata(folder / "dir.jpg", stampAt(0)));
}

TEST(MediaReader, AFileNameThatIsNotUtf8IsReplacedInItsText) {
  TempFolder folder;
  const auto file = folder / "caf\xe9.jpg";
  writeImage(file, 16, 16);
  const auto metadata = readMetadata(file, stampAt(0));
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->info.originalFilename, "caf\xef\xbf\xbd.jpg");
}

TEST(MediaReader, AllTagsListsEveryFamilyByItsKey) {
  TempFolder folder;
  const auto file = folder / "t.jpg";
  writeImage(file, 16, 16);
  setTags(file, {{"Exif.Photo.FNumber", "4/1"}, {"Xmp.dc.subject", "tree"}});
  const auto tags = readAllTags(file);
  ASSERT_TRUE(tags);
  auto has = [&](const std::string& key, const std::string& text) {
    for (const auto& [k, v] : *tags)
      if (k == key) return v == text;
    return false;
  };
  EXPECT_TRUE(has("Exif.Photo.FNumber", "4/1"));
  EXPECT_TRUE(has("Xmp.dc.subject", "tree"));
}

TEST(MediaReader, SidecarLocationWinsAndTheOriginalIsNeverWritten) {
  TempFolder folder;
  const auto file = folder / "beach.jpg";
  writeImage(file, 32, 32);
  setTags(file, {{"Exif.GPSInfo.GPSLatitude", "10/1 0/1 0/1"},
                 {"Exif.GPSInfo.GPSLatitudeRef", "N"},
                 {"Exif.GPSInfo.GPSLongitude", "20/1 0/1 0/1"},
                 {"Exif.GPSInfo.GPSLongitudeRef", "E"}});
  // A sidecar someone else wrote: what it holds besides the location must survive.
  writeBytes(sidecarPath(file),
             "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
             "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
             "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
             "xmp:Rating=\"4\"/></rdf:RDF></x:xmpmeta>");
  const std::string before = readBytes(file);
  struct stat statBefore {};
  ASSERT_EQ(::stat(file.c_str(), &statBefore), 0);

  std::string error;
  ASSERT_TRUE(writeLocationSidecar(file, std::pair{-33.8568, 151.2153}, &error)) << error;
  const std::string sidecar = readBytes(sidecarPath(file));
  EXPECT_NE(sidecar.find("33,51.408000S"), std::string::npos) << sidecar;
  EXPECT_NE(sidecar.find("151,12.918000E"), std::string::npos) << sidecar;
  EXPECT_NE(sidecar.find("Rating"), std::string::npos) << sidecar;

  auto metadata = readMetadata(file, stampAt(0));
  ASSERT_TRUE(metadata && metadata->latitude && metadata->longitude);
  EXPECT_NEAR(*metadata->latitude, -33.8568, 1e-6);
  EXPECT_NEAR(*metadata->longitude, 151.2153, 1e-6);

  // Taking the location out of the sidecar brings the embedded one back.
  ASSERT_TRUE(writeLocationSidecar(file, std::nullopt, &error)) << error;
  metadata = readMetadata(file, stampAt(0));
  ASSERT_TRUE(metadata && metadata->latitude);
  EXPECT_NEAR(*metadata->latitude, 10, 1e-9);
  EXPECT_NE(readBytes(sidecarPath(file)).find("Rating"), std::string::npos);

  EXPECT_EQ(readBytes(file), before);
  struct stat statAfter {};
  ASSERT_EQ(::stat(file.c_str(), &statAfter), 0);
  EXPECT_EQ(statAfter.st_ino, statBefore.st_ino);
  EXPECT_EQ(statAfter.st_mtim.tv_nsec, statBefore.st_mtim.tv_nsec);
  // No temporary file is left beside them.
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path()))
    ++entries;
  EXPECT_EQ(entries, 2);
}

TEST(MediaReader, SidecarWritesAreRefusedForBadInput) {
  TempFolder folder;
  std::string error;
  EXPECT_FALSE(writeLocationSidecar(folder / "missing.jpg", std::pair{1.0, 2.0}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(std::filesystem::exists(sidecarPath(folder / "missing.jpg")));

  const auto file = folder / "p.jpg";
  writeImage(file, 8, 8);
  error.clear();
  EXPECT_FALSE(writeLocationSidecar(file, std::pair{91.0, 0.0}, &error));
  EXPECT_FALSE(writeLocationSidecar(file, std::pair{0.0, NAN}, &error));
  EXPECT_FALSE(error.empty());
  // A sidecar we cannot parse is left as it is rather than replaced.
  writeBytes(sidecarPath(file), "<x:xmpmeta this is not XML");
  EXPECT_FALSE(writeLocationSidecar(file, std::pair{1.0, 2.0}, &error));
  EXPECT_EQ(readBytes(sidecarPath(file)), "<x:xmpmeta this is not XML");
}

TEST(MediaReader, NamesOfPhotosAndVideos) {
  for (const char* name : {"a.jpg", "B.JPEG", "c.png", "d.Tiff", "e.heic", "f.webp", "g.DNG",
                           "h.cr3", "i.nef", "j.arw", "k.mp4", "l.MOV", "m.m4v"})
    EXPECT_TRUE(isMediaFileName(name)) << name;
  for (const char* name : {"a.txt", "jpg", "b.jpg.xmp", "c.", "", "d.gif.bak"})
    EXPECT_FALSE(isMediaFileName(name)) << name;
}

}  // namespace
}  // namespace tarno::library
