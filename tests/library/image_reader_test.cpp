#include "tarno/library/image_reader.hpp"

#include <gtest/gtest.h>

#include "library/media_fixture.hpp"
#include "tarno/library/media_reader.hpp"

namespace tarno::library {
namespace {

using testing::readBytes;
using testing::setTags;
using testing::TempFolder;
using testing::writeBytes;
using testing::writeImage;

// Decodes what a rendering wrote, independently of the code under test.
vips::VImage decoded(const std::string& bytes) {
  return vips::VImage::new_from_buffer(bytes, "");
}

TEST(ImageReader, PreviewIsUprightShrunkPngAndNeverEnlarged) {
  TempFolder folder;
  // libvips reads a JPEG's turn itself, a PNG's only through the metadata reader.
  for (const char* name : {"side.jpg", "side.png"}) {
    const auto file = folder / name;
    writeImage(file, 400, 300);
    setTags(file, {{"Exif.Image.Orientation", "6"}});
    RenderError error;
    const auto preview = renderPreview(file, 100, &error);
    ASSERT_TRUE(preview) << name << ": " << error.message;
    EXPECT_EQ(preview->bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const vips::VImage image = decoded(preview->bytes);
    EXPECT_EQ(image.width(), 75) << name;
    EXPECT_EQ(image.height(), 100) << name;
    EXPECT_EQ(preview->width, 75) << name;

    const auto full = renderPreview(file, 5000, &error);
    ASSERT_TRUE(full) << name << ": " << error.message;
    EXPECT_EQ(full->width, 300) << name;
    EXPECT_EQ(full->height, 400) << name;
    const auto exported = renderExport(file, "png", std::nullopt, std::nullopt,
                                       folder / ("up-" + std::string(name) + ".png"), &error);
    ASSERT_TRUE(exported) << name << ": " << error.message;
    EXPECT_EQ(exported->width, 300) << name;
  }
}

TEST(ImageReader, BadFilesAreRefusedWithAReason) {
  TempFolder folder;
  writeBytes(folder / "empty.jpg", "");
  writeBytes(folder / "noise.png", std::string(3000, '\x17'));
  const std::string jpeg = [&] {
    writeImage(folder / "whole.jpg", 200, 200);
    return readBytes(folder / "whole.jpg");
  }();
  writeBytes(folder / "cut.jpg", jpeg.substr(0, jpeg.size() / 2));
  writeBytes(folder / "huge.png", testing::pngHeaderOnly(100'000, 100'000));
  const std::string hugeJpeg = testing::jpegClaiming(folder / "scratch.jpg", 60'000, 60'000);
  writeBytes(folder / "huge.jpg", hugeJpeg);
  std::filesystem::create_directory(folder / "folder.jpg");
  for (const char* name :
       {"empty.jpg", "noise.png", "cut.jpg", "huge.png", "huge.jpg", "folder.jpg", "missing.jpg"}) {
    RenderError error;
    EXPECT_FALSE(renderPreview(folder / name, 64, &error)) << name;
    EXPECT_FALSE(error.message.empty()) << name;
    EXPECT_FALSE(perceptualHash(folder / name)) << name;
    EXPECT_FALSE(renderExport(folder / name, "png", 64, std::nullopt, folder / "out.png", &error))
        << name;
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "out.png"));

  // Refused by its size, read from the header: 3.6 gigapixels are never allocated.
  RenderError error;
  ASSERT_FALSE(renderPreview(folder / "huge.jpg", 64, &error));
  EXPECT_NE(error.message.find("too large"), std::string::npos) << error.message;
  EXPECT_FALSE(perceptualHashOfBytes(hugeJpeg));
  EXPECT_FALSE(perceptualHashOfBytes(testing::pngHeaderOnly(100'000, 100'000)));
  EXPECT_FALSE(perceptualHashOfBytes(""));
  // The header itself reads fine: the library lists the photo, it only never decodes it.
  const auto metadata = readMetadata(folder / "huge.png", FileStamp{});
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->info.pixelWidth, 100'000);
}

TEST(ImageReader, ExportWritesEachFormatInPlaceOfItsTarget) {
  TempFolder folder;
  const auto file = folder / "photo.jpg";
  writeImage(file, 320, 200);
  const std::string original = readBytes(file);
  std::filesystem::create_directory(folder / "out");

  RenderError error;
  const auto jpeg = renderExport(file, "JPG", 160, 0.5, folder / "out" / "a.jpg", &error);
  ASSERT_TRUE(jpeg) << error.message;
  EXPECT_EQ(jpeg->width, 160);
  EXPECT_EQ(jpeg->height, 100);
  EXPECT_EQ(readBytes(folder / "out" / "a.jpg"), jpeg->bytes);
  EXPECT_EQ(decoded(jpeg->bytes).width(), 160);

  // Quality changes the encoding.
  const auto better = renderExport(file, "jpeg", 160, 1.0, folder / "out" / "a.jpg", &error);
  ASSERT_TRUE(better) << error.message;
  EXPECT_GT(better->bytes.size(), jpeg->bytes.size());

  const auto tiff =
      renderExport(file, "tif", std::nullopt, std::nullopt, folder / "out" / "b.tif", &error);
  ASSERT_TRUE(tiff) << error.message;
  const vips::VImage tiffImage = decoded(readBytes(folder / "out" / "b.tif"));
  EXPECT_EQ(tiffImage.width(), 320);
  EXPECT_EQ(tiffImage.height(), 200);

  const auto png = renderExport(file, "png", 80, std::nullopt, folder / "out" / "c.png", &error);
  ASSERT_TRUE(png) << error.message;
  EXPECT_EQ(decoded(readBytes(folder / "out" / "c.png")).width(), 80);

  EXPECT_FALSE(renderExport(file, "gif", 80, std::nullopt, folder / "out" / "d.gif", &error));
  EXPECT_NE(error.message.find("gif"), std::string::npos);
  EXPECT_FALSE(renderExport(file, "jpeg", 80, 1.5, folder / "out" / "e.jpg", &error));
  EXPECT_FALSE(renderExport(file, "jpeg", 0, std::nullopt, folder / "out" / "e.jpg", &error));
  // The original itself, directly or through a link, is never the target.
  std::filesystem::create_symlink(file, folder / "link.jpg");
  EXPECT_FALSE(renderExport(file, "jpeg", 80, std::nullopt, file, &error));
  EXPECT_FALSE(renderExport(file, "jpeg", 80, std::nullopt, folder / "link.jpg", &error));
  EXPECT_EQ(readBytes(file), original);

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder / "out"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "b.tif", "c.png"}));
}

TEST(ImageReader, HashesOfLookAlikesAreCloseAndOfOtherPicturesFar) {
  TempFolder folder;
  testing::initialiseVips();
  testing::drawing(640, 480, 3).write_to_file((folder / "a.jpg").c_str());
  testing::drawing(640, 480, 3).resize(0.7).write_to_file((folder / "a-small.png").c_str());
  testing::drawing(640, 480, 3)
      .write_to_file((folder / "a-low.jpg").c_str(), vips::VImage::option()->set("Q", 30));
  testing::drawing(640, 480, 4).write_to_file((folder / "b.jpg").c_str());

  const auto a = perceptualHash(folder / "a.jpg");
  const auto small = perceptualHash(folder / "a-small.png");
  const auto low = perceptualHash(folder / "a-low.jpg");
  const auto b = perceptualHash(folder / "b.jpg");
  ASSERT_TRUE(a && small && low && b);
  EXPECT_LE(hashDistance(*a, *small), 6);
  EXPECT_LE(hashDistance(*a, *low), 6);
  EXPECT_GE(hashDistance(*a, *b), 16);
  EXPECT_EQ(perceptualHashOfBytes(readBytes(folder / "a.jpg")), a);
  EXPECT_EQ(hashDistance(0, ~std::uint64_t{0}), 64);
  EXPECT_EQ(hashDistance(0b1011, 0b0110), 3);
}

TEST(ImageReader, ARawFileShowsItsEmbeddedPreviewTurnedLikeTheRaw) {
  TempFolder folder;
  // A 600 × 400 picture carrying a 160 × 120 preview of another one, under a raw's name.
  writeImage(folder / "preview.jpg", 160, 120, 6);
  const std::string preview = readBytes(folder / "preview.jpg");
  const auto raw = folder / "DSC_0001.nef";
  writeImage(folder / "main.jpg", 600, 400, 2);
  std::filesystem::rename(folder / "main.jpg", raw);
  {
    auto image = Exiv2::ImageFactory::open(raw.string());
    image->readMetadata();
    image->exifData()["Exif.Image.Orientation"] = std::uint16_t{6};
    Exiv2::ExifThumb(image->exifData())
        .setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(preview.data()),
                          static_cast<long>(preview.size()));
    image->writeMetadata();
  }
  RenderError error;
  const auto rendering = renderPreview(raw, 1000, &error);
  ASSERT_TRUE(rendering) << error.message;
  EXPECT_EQ(rendering->width, 120);
  EXPECT_EQ(rendering->height, 160);
  const auto hash = perceptualHash(raw);
  ASSERT_TRUE(hash);
  // What gets hashed is the preview, turned as the raw says.
  testing::initialiseVips();
  const std::string turnedPreview = [&] {
    VipsBlob* blob = vips::VImage::new_from_buffer(preview, "").rot90().pngsave_buffer();
    std::size_t size = 0;
    const void* data = vips_blob_get(blob, &size);
    std::string bytes(static_cast<const char*>(data), size);
    vips_area_unref(VIPS_AREA(blob));
    return bytes;
  }();
  const auto expected = perceptualHashOfBytes(turnedPreview);
  ASSERT_TRUE(expected);
  EXPECT_LE(hashDistance(*hash, *expected), 4);
}

TEST(ImageReader, ExportFormatNames) {
  EXPECT_EQ(exportFormatName("JPEG"), "jpeg");
  EXPECT_EQ(exportFormatName("jpg"), "jpeg");
  EXPECT_EQ(exportFormatName("Tif"), "tiff");
  EXPECT_EQ(exportFormatName("png"), "png");
  EXPECT_FALSE(exportFormatName("webp"));
  EXPECT_FALSE(exportFormatName(""));
}

}  // namespace
}  // namespace tarno::library
