#include "tarno/library/image_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include "library/atomic_file.hpp"
#include "library/decoded_original.hpp"
#include "library/exiv2_runtime.hpp"
#include "library/media_kind.hpp"
#include "library/vips_runtime.hpp"
#include "tarno/core/text.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::library {
namespace {

using vips::VImage;

// Largest preview or export edge: beyond it a request is a mistake, and libvips would allocate
// the enlarged canvas before we could refuse it.
constexpr std::int64_t kMaxEdge = 65'500;

bool fail(RenderError* error, std::string message) {
  if (error) error->message = std::move(message);
  return false;
}

std::string lastVipsError() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return core::decodeUTF8Lossy(std::move(text));
}

// Where an image comes from: a file we opened ourselves (a name is never parsed for libvips'
// "[options]" suffix, and the header we check is the one we decode) or bytes in memory.
// A raw file is shown through the largest preview its camera embedded (libvips here decodes no
// raw data), turned by the raw's own orientation, which the preview seldom carries.
struct Input {
  protocol::unique_fd fd;
  std::string_view bytes;
  std::string owned;  // an embedded preview's bytes
  bool fromBytes = false;
  int orientation = 0;  // applied by hand when not 0
};

vips::VSource sourceOf(const Input& input) {
  if (input.fromBytes) {
    const std::string_view bytes = input.owned.empty() ? input.bytes : input.owned;
    VipsSource* source = vips_source_new_from_memory(bytes.data(), bytes.size());
    if (!source) throw vips::VError();
    return vips::VSource(source);
  }
  return vips::VSource::new_from_descriptor(input.fd.get());
}

// Checks the header: the image must be one libvips reads and no larger than maxImagePixels.
bool checkHeader(const Input& input, RenderError* error) {
  try {
    const VImage header = VImage::new_from_source(
        sourceOf(input), "", VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const std::int64_t pixels = std::int64_t{header.width()} * header.height();
    if (pixels > maxImagePixels)
      return fail(error, "image too large: " + std::to_string(header.width()) + " × " +
                             std::to_string(header.height()) + " pixels (at most " +
                             std::to_string(maxImagePixels / 1'000'000) + " megapixels)");
    return true;
  } catch (const vips::VError&) {
    const std::string reason = lastVipsError();
    return fail(error,
                "not an image this server can decode" + (reason.empty() ? "" : ": " + reason));
  }
}

int orientationOf(const Exiv2::Image& image) {
  const auto it = image.exifData().findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
  if (it == image.exifData().end() || it->count() == 0) return 1;
  const long value = it->toLong(0);
  return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

// The orientation exiv2 reads, for the formats whose turn libvips does not see (exiv2 keeps a
// PNG's EXIF in a text chunk). Previews then agree with the size the metadata reports.
int exifOrientation(const std::filesystem::path& file) {
  ensureExiv2();
  try {
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    return orientationOf(*image);
  } catch (const std::exception&) {
    return 1;
  }
}

// The largest embedded preview of a raw file and the raw's orientation.
std::optional<std::pair<std::string, int>> embeddedPreview(const std::filesystem::path& file) {
  ensureExiv2();
  try {
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    Exiv2::PreviewManager previews(*image);
    const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
    if (list.empty()) return std::nullopt;
    // The list is sorted by size, smallest first.
    const Exiv2::PreviewImage preview = previews.getPreviewImage(list.back());
    return std::pair{std::string(reinterpret_cast<const char*>(preview.pData()), preview.size()),
                     orientationOf(*image)};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<Input> openInput(const std::filesystem::path& file, RenderError* error) {
  ensureVips();
  Input input;
  int fd;
  do {
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  input.fd.reset(fd);
  struct stat st {};
  if (!input.fd.valid() || ::fstat(input.fd.get(), &st) != 0) {
    fail(error,
         "cannot open " + core::decodeUTF8Lossy(file.native()) + ": " + std::strerror(errno));
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode) || st.st_size == 0) {
    fail(error, "not an image: " + core::decodeUTF8Lossy(file.native()));
    return std::nullopt;
  }
  const Kind kind = kindOfName(file.filename().native());
  if (kind == Kind::raw) {
    if (auto preview = embeddedPreview(file)) {
      input.fd.reset();
      input.fromBytes = true;
      input.owned = std::move(preview->first);
      input.orientation = preview->second;
    }
  } else if (kind == Kind::png) {
    input.orientation = exifOrientation(file);
  }
  if (!checkHeader(input, error)) return std::nullopt;
  return input;
}

VImage oriented(VImage image, int orientation) {
  image = image.copy();
  image.set(VIPS_META_ORIENTATION, orientation);
  return image.autorot();
}

// A loader's EXIF, XMP and IPTC blobs may point into buffers it frees once the pixels are read
// (HEIF's does), and savers read them to update them: renderings carry none. The colour profile
// stays; it is what colour management reads.
VImage withoutLoaderMetadata(VImage image) {
  image = image.copy();
  for (const char* name : {VIPS_META_EXIF_NAME, VIPS_META_XMP_NAME, VIPS_META_IPTC_NAME}) {
    if (image.get_typeof(name) != 0) image.remove(name);
  }
  return image;
}

// Shrinks on load (JPEG, WebP and HEIF decode at a fraction of their size), turns the image
// upright and fits it inside width × height without enlarging it. A damaged file is an error,
// not a half-grey picture. An orientation of our own is applied after shrinking, with the box
// turned to match.
VImage thumbnailOf(const Input& input, int width, int height, VipsSize size) {
  if (input.orientation != 0) {
    const bool quarterTurn = input.orientation >= 5;
    const VImage image = VImage::new_from_source(sourceOf(input), "",
                                                 VImage::option()
                                                     ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                                     ->set("fail_on", VIPS_FAIL_ON_ERROR));
    return withoutLoaderMetadata(
        oriented(image.thumbnail_image(quarterTurn ? height : width,
                                       VImage::option()
                                           ->set("height", quarterTurn ? width : height)
                                           ->set("size", size)
                                           ->set("no_rotate", true)),
                 input.orientation));
  }
  return withoutLoaderMetadata(
      VImage::thumbnail_source(sourceOf(input), width,
                               VImage::option()
                                   ->set("height", height)
                                   ->set("size", size)
                                   ->set("fail_on", VIPS_FAIL_ON_ERROR)
                                   ->set("option_string", "fail_on=error")));
}

VImage fullSizeOf(const Input& input) {
  VImage image = VImage::new_from_source(
      sourceOf(input), "",
      VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_ERROR));
  return withoutLoaderMetadata(input.orientation != 0 ? oriented(image, input.orientation)
                                                      : image.autorot());
}

std::string takeBlob(VipsBlob* blob) {
  std::size_t size = 0;
  const void* data = vips_blob_get(blob, &size);
  std::string bytes(static_cast<const char*>(data), size);
  vips_area_unref(VIPS_AREA(blob));
  return bytes;
}

std::optional<std::uint64_t> differenceHash(const Input& input) {
  try {
    // 9 × 8 grey pixels; each bit says whether a pixel is darker than its right neighbour.
    // Decoded first at preview scale and held in memory: a pipeline that shrinks straight to
    // 9 × 8 let a truncated JPEG through now and then (its decoding error raced the tiny
    // output; 1 run in 7 under load), where a 64-pixel decode reported it in every run.
    VImage small = thumbnailOf(input, 64, 64, VIPS_SIZE_DOWN)
                       .copy_memory()
                       .thumbnail_image(9, VImage::option()
                                               ->set("height", 8)
                                               ->set("size", VIPS_SIZE_FORCE)
                                               ->set("no_rotate", true));
    if (small.has_alpha()) small = small.flatten(VImage::option()->set("background", 255));
    small = small.colourspace(VIPS_INTERPRETATION_B_W).extract_band(0).cast(VIPS_FORMAT_UCHAR);
    if (small.width() != 9 || small.height() != 8) return std::nullopt;
    std::size_t size = 0;
    void* memory = small.write_to_memory(&size);
    if (!memory) return std::nullopt;
    std::uint64_t hash = 0;
    if (size == 72) {
      const auto* p = static_cast<const unsigned char*>(memory);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          hash = (hash << 1) | (p[y * 9 + x] < p[y * 9 + x + 1] ? 1u : 0u);
    }
    g_free(memory);
    if (size != 72) return std::nullopt;
    return hash;
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

std::optional<Rendering> encode(const VImage& image, std::string_view format, int quality,
                                RenderError* error, bool strip = false) {
  try {
    Rendering rendering;
    rendering.width = image.width();
    rendering.height = image.height();
    if (format == "jpeg") {
      VImage flat =
          image.has_alpha() ? image.flatten(VImage::option()->set("background", 255)) : image;
      rendering.bytes = takeBlob(flat.jpegsave_buffer(
          VImage::option()->set("Q", quality)->set("optimize_coding", true)->set("strip", strip)));
    } else if (format == "tiff") {
      rendering.bytes = takeBlob(image.tiffsave_buffer(
          VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE)));
    } else {
      rendering.bytes = takeBlob(image.pngsave_buffer());
    }
    return rendering;
  } catch (const vips::VError&) {
    fail(error, "cannot decode the image: " + lastVipsError());
    return std::nullopt;
  }
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

std::optional<Rendering> renderPreview(const std::filesystem::path& file, std::int64_t longEdge,
                                       RenderError* error, PreviewEncoding encoding) {
  if (longEdge < 1 || longEdge > kMaxEdge) {
    fail(error, "the preview size must lie between 1 and " + std::to_string(kMaxEdge));
    return std::nullopt;
  }
  const std::optional<Input> input = openInput(file, error);
  if (!input) return std::nullopt;
  try {
    const int edge = static_cast<int>(longEdge);
    const bool jpeg = encoding == PreviewEncoding::jpeg;
    // A thumbnail leaves the file's metadata (places, serial numbers) behind.
    return encode(thumbnailOf(*input, edge, edge, VIPS_SIZE_DOWN), jpeg ? "jpeg" : "png",
                  jpeg ? 85 : 0, error, jpeg);
  } catch (const vips::VError&) {
    fail(error, "cannot decode the image: " + lastVipsError());
    return std::nullopt;
  }
}

std::optional<std::string> exportFormatName(std::string_view format) {
  std::string name(format);
  for (char& c : name)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "jpeg" || name == "jpg") return "jpeg";
  if (name == "png") return "png";
  if (name == "tiff" || name == "tif") return "tiff";
  return std::nullopt;
}

std::optional<Rendering> renderExport(const std::filesystem::path& file, std::string_view format,
                                      std::optional<std::int64_t> longEdge,
                                      std::optional<double> quality,
                                      const std::filesystem::path& out, RenderError* error) {
  const std::optional<std::string> name = exportFormatName(format);
  if (!name) {
    fail(error, "unknown export format: " + core::decodeUTF8Lossy(format));
    return std::nullopt;
  }
  if (longEdge && (*longEdge < 1 || *longEdge > kMaxEdge)) {
    fail(error, "the export size must lie between 1 and " + std::to_string(kMaxEdge));
    return std::nullopt;
  }
  if (quality && !(*quality >= 0 && *quality <= 1)) {
    fail(error, "the quality must lie between 0 and 1");
    return std::nullopt;
  }
  if (sameFile(file, out)) {
    fail(error, "an export never replaces its original");
    return std::nullopt;
  }
  const std::optional<Input> input = openInput(file, error);
  if (!input) return std::nullopt;
  std::optional<Rendering> rendering;
  const int q = std::clamp(static_cast<int>(std::lround(quality.value_or(0.9) * 100)), 1, 100);
  try {
    const int edge = static_cast<int>(longEdge.value_or(0));
    const VImage image =
        longEdge ? thumbnailOf(*input, edge, edge, VIPS_SIZE_DOWN) : fullSizeOf(*input);
    rendering = encode(image, *name, q, error);
  } catch (const vips::VError&) {
    fail(error, "cannot decode the image: " + lastVipsError());
    return std::nullopt;
  }
  if (!rendering) return std::nullopt;
  std::string message;
  if (!replaceFileAtomically(out, rendering->bytes, &message)) {
    fail(error, std::move(message));
    return std::nullopt;
  }
  return rendering;
}

std::optional<std::uint64_t> perceptualHash(const std::filesystem::path& file) {
  const std::optional<Input> input = openInput(file, nullptr);
  if (!input) return std::nullopt;
  return differenceHash(*input);
}

std::optional<std::uint64_t> perceptualHashOfBytes(std::string_view imageBytes) {
  ensureVips();
  if (imageBytes.empty()) return std::nullopt;
  Input input;
  input.fromBytes = true;
  input.bytes = imageBytes;
  if (!checkHeader(input, nullptr)) return std::nullopt;
  return differenceHash(input);
}

int hashDistance(std::uint64_t a, std::uint64_t b) {
  return std::popcount(a ^ b);
}

std::optional<DecodedOriginal> decodeOriginal(const std::filesystem::path& file,
                                              std::optional<std::int64_t> longEdge,
                                              RenderError* error) {
  if (longEdge && (*longEdge < 1 || *longEdge > kMaxEdge)) {
    fail(error, "the size must lie between 1 and " + std::to_string(kMaxEdge));
    return std::nullopt;
  }
  const std::optional<Input> input = openInput(file, error);
  if (!input) return std::nullopt;
  try {
    const VImage header = VImage::new_from_source(
        sourceOf(*input), "", VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const double fullEdge = std::max(header.width(), header.height());
    const int edge = static_cast<int>(longEdge.value_or(0));
    // Held in memory before the input (and the bytes it may point into) goes away.
    VImage image = (longEdge ? thumbnailOf(*input, edge, edge, VIPS_SIZE_DOWN) : fullSizeOf(*input))
                       .copy_memory();
    return DecodedOriginal{image, std::max(image.width(), image.height()) / fullEdge};
  } catch (const vips::VError&) {
    fail(error, "cannot decode the image: " + lastVipsError());
    return std::nullopt;
  }
}

}  // namespace tarno::library
