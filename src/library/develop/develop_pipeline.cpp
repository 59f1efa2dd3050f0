#include "tarno/library/develop_pipeline.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>

#include "library/decoded_original.hpp"
#include "library/develop/develop_masks.hpp"
#include "library/develop/develop_params.hpp"
#include "library/develop/develop_stages.hpp"
#include "library/vips_runtime.hpp"

namespace tarno::library {

namespace {

using develop::VImage;

void fail(RenderError* error, std::string message) {
  vips_error_clear();
  if (error != nullptr) error->message = std::move(message);
}

VImage developImage(const VImage& decoded, const core::EditStack& stack,
                    const develop::StageContext& ctx) {
  const develop::DevelopParams p = develop::readParams(stack);
  VImage x = develop::decodeToEncoded(decoded);
  if (p.hasLinear()) x = develop::toEncoded(develop::applyLinear(develop::toLinear(x), p));
  x = develop::applyTone(x, p);
  x = develop::applyColour(x, p);
  x = develop::applyDetail(x, p, ctx);
  x = develop::applyLut(x, p, ctx);
  if (develop::hasActiveMasks(stack.masks())) x = develop::applyMasks(x, stack.masks(), ctx);
  x = develop::applyGeometry(x, p);
  x = develop::applyFinish(x, p);
  return develop::toSrgb8(x);
}

// The rendering's metadata must not claim the original's colour profile any more.
VImage withoutProfile(const VImage& in) {
  VImage out = in.copy();
  if (out.get_typeof(VIPS_META_ICC_NAME) != 0) out.remove(VIPS_META_ICC_NAME);
  return out;
}

enum class Format { jpeg, png, tiff };

std::optional<Format> formatNamed(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "jpeg" || lower == "jpg") return Format::jpeg;
  if (lower == "png") return Format::png;
  if (lower == "tiff" || lower == "tif") return Format::tiff;
  return std::nullopt;
}

std::filesystem::path temporaryBeside(const std::filesystem::path& out) {
  static std::atomic<unsigned> counter{0};
  return out.parent_path() / ("." + out.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                              "-" + std::to_string(counter++));
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec) && !ec) return true;
  return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}

}  // namespace

bool developsToOriginal(const core::EditStack& stack) {
  return !develop::readParams(stack).hasAny() && !develop::hasActiveMasks(stack.masks());
}

std::optional<PixelImage> developPixels(const PixelImage& original, const core::EditStack& stack,
                                        const DevelopSettings& settings, RenderError* error) {
  const std::int64_t pixels = static_cast<std::int64_t>(original.width) * original.height;
  if (original.width <= 0 || original.height <= 0 || pixels > maxImagePixels ||
      (original.bands != 1 && original.bands != 3 && original.bands != 4) ||
      original.data.size() != static_cast<std::size_t>(pixels) * original.bands) {
    fail(error, "pixel buffer does not match its size");
    return std::nullopt;
  }
  ensureVips();
  try {
    const VImage in = VImage(vips_image_new_from_memory_copy(
                                 original.data.data(), original.data.size(), original.width,
                                 original.height, original.bands, VIPS_FORMAT_UCHAR))
                          .copy(VImage::option()->set(
                              "interpretation", original.bands == 1 ? VIPS_INTERPRETATION_B_W
                                                                    : VIPS_INTERPRETATION_sRGB));
    const VImage out =
        developImage(in, stack, {.scale = 1, .lutDirectories = settings.lutDirectories});
    std::size_t size = 0;
    void* memory = out.write_to_memory(&size);
    PixelImage result{.width = out.width(), .height = out.height(), .bands = out.bands()};
    result.data.assign(static_cast<std::uint8_t*>(memory),
                       static_cast<std::uint8_t*>(memory) + size);
    g_free(memory);
    return result;
  } catch (const vips::VError& e) {
    fail(error, e.what());
  } catch (const std::exception& e) {
    fail(error, e.what());
  }
  return std::nullopt;
}

std::optional<Rendering> developPreview(const std::filesystem::path& file,
                                        const core::EditStack& stack, std::int64_t longEdge,
                                        const DevelopSettings& settings, RenderError* error,
                                        PreviewEncoding encoding) {
  ensureVips();
  try {
    // The decoded pixels are held in memory (8 bits a band: 72 MB for 24 megapixels at full
    // size): blurs, masks, turns and resampling read rows out of the decoder's order. All that
    // follows streams from there in tiles.
    std::optional<DecodedOriginal> o = decodeOriginal(file, longEdge, error);
    if (!o) return std::nullopt;
    const VImage out =
        developsToOriginal(stack)
            ? o->image
            : withoutProfile(developImage(
                  o->image, stack, {.scale = o->scale, .lutDirectories = settings.lutDirectories}));
    void* buffer = nullptr;
    std::size_t size = 0;
    if (encoding == PreviewEncoding::jpeg) {
      const VImage flat =
          out.has_alpha() ? out.flatten(VImage::option()->set("background", 255)) : out;
      flat.write_to_buffer(".jpg", &buffer, &size,
                           VImage::option()->set("Q", 85)->set("strip", true));
    } else {
      out.write_to_buffer(".png", &buffer, &size);
    }
    Rendering r{.bytes = std::string(static_cast<char*>(buffer), size),
                .width = out.width(),
                .height = out.height()};
    g_free(buffer);
    return r;
  } catch (const vips::VError& e) {
    fail(error, e.what());
  } catch (const std::exception& e) {
    fail(error, e.what());
  }
  return std::nullopt;
}

std::optional<Rendering> developExport(const std::filesystem::path& file,
                                       const core::EditStack& stack, std::string_view format,
                                       std::optional<std::int64_t> longEdge,
                                       std::optional<double> quality,
                                       const std::filesystem::path& out,
                                       const DevelopSettings& settings, RenderError* error) {
  const std::optional<Format> f = formatNamed(format);
  if (!f) {
    fail(error, "unknown export format: " + std::string(format));
    return std::nullopt;
  }
  if (sameFile(file, out)) {
    fail(error, "an export never replaces its original");
    return std::nullopt;
  }
  ensureVips();
  const std::filesystem::path temporary = temporaryBeside(out);
  try {
    std::optional<DecodedOriginal> o = decodeOriginal(file, longEdge, error);
    if (!o) return std::nullopt;
    const VImage image = withoutProfile(developImage(
        o->image, stack, {.scale = o->scale, .lutDirectories = settings.lutDirectories}));
    switch (*f) {
      case Format::jpeg: {
        const double q = std::isfinite(quality.value_or(0.92)) ? quality.value_or(0.92) : 0.92;
        image.jpegsave(
            temporary.c_str(),
            VImage::option()->set("Q", std::clamp(static_cast<int>(std::lround(q * 100)), 1, 100)));
        break;
      }
      case Format::png:
        image.pngsave(temporary.c_str());
        break;
      case Format::tiff:
        image.tiffsave(temporary.c_str(),
                       VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE));
        break;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, out, ec);
    if (ec) {
      std::filesystem::remove(temporary, ec);
      fail(error, "cannot write " + out.string());
      return std::nullopt;
    }
    return Rendering{.bytes = {}, .width = image.width(), .height = image.height()};
  } catch (const vips::VError& e) {
    fail(error, e.what());
  } catch (const std::exception& e) {
    fail(error, e.what());
  }
  std::error_code ec;
  std::filesystem::remove(temporary, ec);
  return std::nullopt;
}

}  // namespace tarno::library
