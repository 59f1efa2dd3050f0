#include "library/develop/develop_stages.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "library/develop/cube_lut.hpp"
#include "tarno/core/straighten_geometry.hpp"

namespace tarno::library::develop {

namespace {

using K = core::AdjustmentKind;
constexpr double kSqrt3Half = 0.86602540378443864676;

// The opponent space the colour stage works in: Rec. 709 luma and two chroma axes whose angle
// is the familiar hue circle (red 0, yellow 60, green 120, blue 240).
constexpr std::array<double, 9> kToOpponent{0.2126, 0.7152, 0.0722,     1,          -0.5,
                                            -0.5,   0,      kSqrt3Half, -kSqrt3Half};

std::array<double, 9> inverse3(const std::array<double, 9>& m) {
  const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7],
               i = m[8];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  return {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
          (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
          (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
}

VImage matrix3(const std::array<double, 9>& m) {
  std::array<double, 9> copy = m;
  return VImage::new_matrix(3, 3, copy.data(), 9);
}

VImage toOpponent(const VImage& rgb) {
  return rgb.recomb(matrix3(kToOpponent));
}

VImage fromOpponent(const VImage& y, const VImage& a, const VImage& b) {
  static const std::array<double, 9> inv = inverse3(kToOpponent);
  return y.bandjoin(a).bandjoin(b).recomb(matrix3(inv));
}

// Signed angular difference a − b in degrees, in −180…180.
VImage hueDifference(const VImage& hue, double centre) {
  return ((hue - centre + 540.0) % 360.0) - 180.0;
}

// A lazily started sum: stays absent until something is added.
struct Sum {
  std::optional<VImage> image;
  void add(const VImage& term) { image = image ? *image + term : term; }
};

VImage fitTo(const VImage& in, int width, int height) {
  VImage out = in;
  if (out.width() > width || out.height() > height) {
    out = out.extract_area(0, 0, std::min(out.width(), width), std::min(out.height(), height));
  }
  if (out.width() < width || out.height() < height) {
    out = out.embed(0, 0, width, height, VImage::option()->set("extend", VIPS_EXTEND_COPY));
  }
  return out;
}

// A Gaussian blur; wide ones run on a reduced copy, which costs the same at any radius and
// keeps a full-size export streaming in small tiles.
VImage lowpass(const VImage& in, double sigma) {
  sigma = std::max(sigma, 0.3);
  if (sigma <= 6) return in.gaussblur(sigma);
  const double factor = sigma / 3;
  const int w = in.width();
  const int h = in.height();
  const int sw = std::max(1, static_cast<int>(std::lround(w / factor)));
  const int sh = std::max(1, static_cast<int>(std::lround(h / factor)));
  VImage small = in.resize(static_cast<double>(sw) / w,
                           VImage::option()->set("vscale", static_cast<double>(sh) / h));
  small = small.gaussblur(3).resize(static_cast<double>(w) / small.width(),
                                    VImage::option()
                                        ->set("vscale", static_cast<double>(h) / small.height())
                                        ->set("kernel", VIPS_KERNEL_LINEAR));
  return fitTo(small, w, h);
}

// Scale of the chroma axes by a per-pixel factor, and the turn by a per-pixel angle.
struct ChromaChange {
  Sum turnDegrees;
  std::optional<VImage> scale;
  double constantScale = 1;
  Sum lumaShift;
  void multiply(const VImage& f) { scale = scale ? *scale * f : f; }
};

}  // namespace

VImage clip(const VImage& x, double lo, double hi) {
  return (x < lo).ifthenelse(lo, (x > hi).ifthenelse(hi, x));
}

VImage maxOf(const VImage& a, const VImage& b) {
  return (a > b).ifthenelse(a, b);
}

VImage minOf(const VImage& a, const VImage& b) {
  return (a < b).ifthenelse(a, b);
}

VImage smoothstep(const VImage& t) {
  return t * t * (3.0 - t * 2.0);
}

VImage unitCoordinates(int width, int height) {
  return VImage::xyz(width, height)
      .cast(VIPS_FORMAT_FLOAT)
      .linear({1.0 / width, 1.0 / height}, {0.5 / width, 0.5 / height});
}

VImage luma(const VImage& encoded) {
  return encoded.recomb(VImage::new_matrixv(3, 1, 0.2126, 0.7152, 0.0722));
}

VImage hueDegrees(const VImage& encoded) {
  const VImage opp = toOpponent(encoded);
  return (opp[2].atan2(opp[1]) + 360.0) % 360.0;
}

VImage chroma(const VImage& encoded) {
  const VImage opp = toOpponent(encoded);
  return (opp[1] * opp[1] + opp[2] * opp[2]).pow(0.5);
}

VImage toLinearRgb(const VImage& decoded) {
  VImage in = decoded;
  if (in.bands() == 2 || (in.bands() == 4 && in.interpretation() != VIPS_INTERPRETATION_CMYK) ||
      in.bands() > 4) {
    const bool sixteen = in.format() == VIPS_FORMAT_USHORT;
    const double white = sixteen ? 65535 : 255;
    in = in.flatten(VImage::option()->set("background", std::vector<double>{white, white, white}));
  }
  VImage out;
  bool converted = false;
  if (in.get_typeof(VIPS_META_ICC_NAME) != 0) {
    try {
      out = in.icc_import(VImage::option()
                              ->set("embedded", true)
                              ->set("pcs", VIPS_PCS_XYZ)
                              ->set("intent", VIPS_INTENT_RELATIVE))
                .colourspace(VIPS_INTERPRETATION_scRGB);
      converted = true;
    } catch (const vips::VError&) {
      converted = false;  // a broken profile: read the pixels as sRGB
    }
  }
  if (!converted) {
    if (in.interpretation() == VIPS_INTERPRETATION_MULTIBAND ||
        in.interpretation() == VIPS_INTERPRETATION_FOURIER) {
      in = in.copy(VImage::option()->set(
          "interpretation", in.bands() >= 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W));
    }
    out = in.colourspace(VIPS_INTERPRETATION_scRGB);
  }
  if (out.bands() == 1) out = out.bandjoin(out).bandjoin(out);
  if (out.bands() > 3) out = out.extract_band(0, VImage::option()->set("n", 3));
  return out.cast(VIPS_FORMAT_FLOAT);
}

VImage toLinear(const VImage& encoded) {
  return (encoded <= 0.04045).ifthenelse(encoded / 12.92, ((encoded + 0.055) / 1.055).pow(2.4));
}

VImage toEncoded(const VImage& linear) {
  const VImage x = clip(linear, 0, 1);
  return (x <= 0.0031308).ifthenelse(x * 12.92, x.pow(1 / 2.4) * 1.055 - 0.055);
}

VImage toSrgb8(const VImage& encoded) {
  return (clip(encoded, 0, 1) * 255.0 + 0.5)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

VImage applyLinear(const VImage& linear, const DevelopParams& p) {
  if (!p.hasLinear()) return linear;
  const double gain = std::exp2(p[K::exposure]);
  const double warm = p[K::temperature] + p.look().warmth;
  const double red = gain * p[K::wbRedGain] * std::exp2(warm / 2);
  const double green = gain * std::exp2(-0.4 * p[K::tint]);
  const double blue = gain * p[K::wbBlueGain] * std::exp2(-warm / 2);
  return linear.linear({red, green, blue}, {0, 0, 0});
}

VImage applyTone(const VImage& encoded, const DevelopParams& p) {
  if (!p.hasTone()) return encoded;
  constexpr int n = 65536;
  const double black = p[K::levelsBlack];
  const double white = std::max(p[K::levelsWhite], black + 0.01);
  const double gamma = p[K::levelsGamma];
  const double contrast = std::clamp(p[K::contrast] + (p.look().contrast - 1) * 2, -1.0, 1.0);
  std::vector<float> table(static_cast<std::size_t>(n) * 3);
  std::array<double, 3> previous{0, 0, 0};
  const std::array<const std::optional<ToneCurve>*, 3> channel{&p.curveRed, &p.curveGreen,
                                                               &p.curveBlue};
  for (int i = 0; i < n; ++i) {
    const double x = static_cast<double>(i) / (n - 1);
    double y = std::pow(std::clamp((x - black) / (white - black), 0.0, 1.0), 1 / gamma);
    const double inv = 1 - y;
    y += 0.25 * p[K::shadows] * 6.75 * y * inv * inv +
         0.25 * p[K::highlights] * 6.75 * y * y * inv +
         0.15 * p[K::blacks] * inv * inv * inv * inv + 0.15 * p[K::whites] * y * y * y * y;
    y = std::clamp(y, 0.0, 1.0);
    y += contrast * (y * y * (3 - 2 * y) - y);
    if (p.curve) y = (*p.curve)(y);
    for (std::size_t c = 0; c < 3; ++c) {
      double v = *channel[c] ? (**channel[c])(y) : y;
      // Tone sliders at their extremes can fold the curve back; a tone curve never inverts.
      v = std::clamp(std::max(v, i == 0 ? 0.0 : previous[c]), 0.0, 1.0);
      previous[c] = v;
      table[static_cast<std::size_t>(i) * 3 + c] = static_cast<float>(v);
    }
  }
  VImage lut(vips_image_new_from_memory_copy(table.data(), table.size() * sizeof(float), n, 1, 3,
                                             VIPS_FORMAT_FLOAT));
  const VImage index = (clip(encoded, 0, 1) * (n - 1.0) + 0.5).cast(VIPS_FORMAT_USHORT);
  return index.maplut(lut);
}

VImage applyColour(const VImage& encoded, const DevelopParams& p) {
  if (!p.hasColour()) return encoded;
  const VImage opp = toOpponent(encoded);
  VImage y = opp[0];
  VImage a = opp[1];
  VImage b = opp[2];
  const VImage c = (a * a + b * b).pow(0.5);
  std::optional<VImage> hueImage;
  auto hue = [&]() -> const VImage& {
    if (!hueImage) hueImage = (b.atan2(a) + 360.0) % 360.0;
    return *hueImage;
  };
  ChromaChange change;

  // Colour mixer: each band's weight falls linearly from its centre to its neighbours' centres,
  // so the weights of all bands add up to 1 at every hue.
  const auto& bands = core::allCases<core::ColorMixerBand>;
  const int nb = static_cast<int>(bands.size());
  for (int i = 0; i < nb; ++i) {
    const core::ColorMixerBand band = bands[static_cast<std::size_t>(i)];
    const double h = p[core::hueKind(band)];
    const double s = p[core::saturationKind(band)];
    const double l = p[core::luminanceKind(band)];
    if (h == 0 && s == 0 && l == 0) continue;
    const double centre = core::centerHueDegrees(band);
    auto gap = [&](int j) {
      const double other = core::centerHueDegrees(bands[static_cast<std::size_t>((j + nb) % nb)]);
      return std::fmod(std::abs(other - centre) + 360.0, 360.0);
    };
    const double before = std::min(gap(i - 1), 360 - gap(i - 1));
    const double after = std::min(gap(i + 1), 360 - gap(i + 1));
    const VImage d = hueDifference(hue(), centre);
    const VImage w = clip((d < 0).ifthenelse(d / before + 1.0, 1.0 - d / after), 0, 1);
    if (h != 0) change.turnDegrees.add(w * (30 * h));
    if (s != 0) change.multiply(w * s + 1.0);
    if (l != 0) change.lumaShift.add(w * clip(c / 0.25, 0, 1) * (0.25 * l));
  }

  for (const core::PointColorTarget& t : p.pointColors) {
    const double range = std::max(std::clamp(t.range, 0.0, 1.0), 0.02);
    const VImage dh = hueDifference(hue(), std::fmod(t.targetHue, 360.0)).abs() / 180.0;
    const VImage ds = c - std::clamp(t.targetSat, 0.0, 1.0);
    const VImage dl = y - std::clamp(t.targetLum, 0.0, 1.0);
    const VImage w = ((dh * dh + ds * ds + dl * dl) * (-1 / (2 * range * range))).exp();
    if (t.hue != 0) change.turnDegrees.add(w * std::clamp(t.hue, -180.0, 180.0));
    if (t.sat != 0) change.multiply(w * std::clamp(t.sat, -1.0, 1.0) + 1.0);
    if (t.lum != 0) change.lumaShift.add(w * (0.25 * std::clamp(t.lum, -1.0, 1.0)));
  }

  const double saturation = (1 + p[K::saturation]) * p.look().saturation;
  change.constantScale = saturation;
  if (p[K::vibrance] != 0) {
    change.multiply((1.0 - clip(c / 0.5, 0, 1)) * p[K::vibrance] + 1.0);
  }

  if (change.turnDegrees.image) {
    const VImage cosT = change.turnDegrees.image->cos();
    const VImage sinT = change.turnDegrees.image->sin();
    const VImage a2 = a * cosT - b * sinT;
    b = a * sinT + b * cosT;
    a = a2;
  }
  if (change.scale) {
    a = a * *change.scale;
    b = b * *change.scale;
  }
  if (change.constantScale != 1) {
    a = a * change.constantScale;
    b = b * change.constantScale;
  }
  if (change.lumaShift.image) y = y + *change.lumaShift.image;

  // Colour grading: shadows, midtones and highlights take tints by weights that add up to 1;
  // the balance moves the split.
  const auto& regions = core::allCases<core::ColorGradeRegion>;
  std::optional<VImage> tone;
  for (const core::ColorGradeRegion r : regions) {
    const double sat = p[core::saturationKind(r)];
    const double lum = p[core::luminanceKind(r)];
    if (sat == 0 && lum == 0) continue;
    std::optional<VImage> w;
    if (r != core::ColorGradeRegion::global) {
      if (!tone) tone = clip(y, 0, 1).pow(std::exp2(-p[K::cgBalance]));
      const VImage& t = *tone;
      if (r == core::ColorGradeRegion::shadows) w = (1.0 - t) * (1.0 - t);
      if (r == core::ColorGradeRegion::midtones) w = t * (1.0 - t) * 2.0;
      if (r == core::ColorGradeRegion::highlights) w = t * t;
    }
    const double hueRad = p[core::hueKind(r)] * std::numbers::pi / 180;
    const double da = 0.25 * sat * std::cos(hueRad);
    const double db = 0.25 * sat * std::sin(hueRad);
    if (w) {
      if (sat != 0) {
        a = a + *w * da;
        b = b + *w * db;
      }
      if (lum != 0) y = y + *w * (0.2 * lum);
    } else {
      a = a + da;
      b = b + db;
      y = y + 0.2 * lum;
    }
  }

  if (p.blackAndWhite) {
    a = a * 0.0;
    b = b * 0.0;
  }
  return fromOpponent(y, a, b);
}

VImage applyDetail(const VImage& encoded, const DevelopParams& p, const StageContext& ctx) {
  if (!p.hasDetail()) return encoded;
  VImage x = encoded;
  const double scale = std::max(ctx.scale, 1e-3);
  const double longEdge = std::max(x.width(), x.height());

  if (const double nr = p[K::luminanceNR]; nr > 0) {
    const VImage blur = x.gaussblur(std::max(0.4, (0.5 + 1.5 * nr) * scale));
    const VImage diff = blur - x;
    x = x + diff * (diff.abs() * -8.0).exp() * nr;
  }
  if (const double nr = p[K::colorNR]; nr > 0) {
    const VImage opp = toOpponent(x);
    const double sigma = std::max(0.5, (1 + 4 * nr) * scale);
    x = fromOpponent(opp[0], opp[1].gaussblur(sigma), opp[2].gaussblur(sigma));
  }
  if (const double amount = p[K::defringeAmount]; amount > 0) {
    const VImage opp = toOpponent(x);
    const VImage y = opp[0];
    const VImage edge = clip((y - y.gaussblur(std::max(0.5, 1.5 * scale))).abs() * 20.0, 0, 1);
    const VImage h = (opp[2].atan2(opp[1]) + 360.0) % 360.0;
    const VImage purple = clip(1.0 - hueDifference(h, 290).abs() / 40.0, 0, 1);
    const VImage green = clip(1.0 - hueDifference(h, 120).abs() / 30.0, 0, 1);
    const VImage keep = 1.0 - edge * clip(purple + green, 0, 1) * amount;
    x = fromOpponent(y, opp[1] * keep, opp[2] * keep);
  }
  if (const double d = p[K::dehaze]; d != 0) {
    if (d > 0) {
      const VImage bands0 = x[0], bands1 = x[1], bands2 = x[2];
      const VImage dark = lowpass(minOf(minOf(bands0, bands1), bands2), 0.01 * longEdge);
      const VImage t = clip(1.0 - dark * (0.85 * d), 0.1, 1);
      x = clip(1.0 - (1.0 - x) / t, 0, 1);
    } else {
      x = x + (0.9 - x) * (-0.4 * d);
    }
  }
  if (const double c = p[K::clarity]; c != 0) {
    const VImage y = luma(x);
    const VImage mid = 1.0 - (y * 2.0 - 1.0) * (y * 2.0 - 1.0);
    x = x + (y - lowpass(y, 0.02 * longEdge)) * mid * c;
  }
  if (const double t = p[K::texture]; t != 0) {
    const VImage y = luma(x);
    x = x + (y - lowpass(y, std::max(1.0, 0.004 * longEdge))) * t;
  }
  if (const double amount = p[K::sharpenAmount]; amount > 0) {
    const VImage diff = x - x.gaussblur(std::max(0.3, p[K::sharpenRadius] * scale));
    const double detail = p[K::sharpenDetail];
    // At the neutral 0.5 every difference is sharpened alike; below it the faint ones (noise,
    // mostly) are spared, above it they are sharpened up to twice as much.
    const VImage strong = clip(diff.abs() / 0.05, 0, 1);
    const VImage gate = strong + (1.0 - strong) * (2 * detail);
    x = x + diff * gate * amount;
  }
  return x;
}

VImage applyLocal(const VImage& encoded, const DevelopParams& p, const StageContext& ctx) {
  VImage x = encoded;
  if (p.hasLinear()) x = toEncoded(applyLinear(toLinear(x), p));
  return applyDetail(applyColour(applyTone(x, p), p), p, ctx);
}

VImage applyLut(const VImage& encoded, const DevelopParams& p, const StageContext& ctx) {
  const double intensity = p[K::lutIntensity];
  if (p.lut.empty() || intensity <= 0) return encoded;
  const std::optional<std::filesystem::path> file = cubeLutPath(ctx.lutDirectory, p.lut);
  if (!file) return encoded;
  const std::optional<CubeLut> lut = readCubeLut(*file);
  if (!lut) return encoded;
  const int n = lut->size;
  // The cube laid out as n slices side by side, one per blue step: red across a slice, green
  // down. Two bilinear look-ups on the neighbouring blue slices and a blend between them make
  // the trilinear interpolation.
  std::vector<float> tiles(static_cast<std::size_t>(n) * n * n * 3);
  for (int bl = 0; bl < n; ++bl) {
    for (int g = 0; g < n; ++g) {
      for (int r = 0; r < n; ++r) {
        const std::size_t from = (static_cast<std::size_t>(bl) * n * n +
                                  static_cast<std::size_t>(g) * n + static_cast<std::size_t>(r)) *
                                 3;
        const std::size_t to = (static_cast<std::size_t>(g) * n * n +
                                static_cast<std::size_t>(bl) * n + static_cast<std::size_t>(r)) *
                               3;
        std::copy_n(lut->rgb.begin() + static_cast<std::ptrdiff_t>(from), 3,
                    tiles.begin() + static_cast<std::ptrdiff_t>(to));
      }
    }
  }
  const VImage table(vips_image_new_from_memory_copy(tiles.data(), tiles.size() * sizeof(float),
                                                     n * n, n, 3, VIPS_FORMAT_FLOAT));
  std::vector<double> scale(3), offset(3);
  for (std::size_t c = 0; c < 3; ++c) {
    scale[c] = (n - 1) / (lut->domainMax[c] - lut->domainMin[c]);
    offset[c] = -lut->domainMin[c] * scale[c];
  }
  const VImage u = clip(encoded.linear(scale, offset), 0, n - 1);
  const VImage blueLow = clip(u[2].floor(), 0, n - 2);
  const VImage fraction = u[2] - blueLow;
  const VImage column = u[0] + blueLow * n;
  auto lookUp = [&](const VImage& x) {
    return table.mapim(x.bandjoin(u[1]),
                       VImage::option()
                           ->set("interpolate", vips::VInterpolate::new_from_name("bilinear"))
                           ->set("extend", VIPS_EXTEND_COPY));
  };
  const VImage low = lookUp(column);
  const VImage high = lookUp(column + n);
  VImage out = low + (high - low) * fraction;
  if (intensity < 1) out = encoded + (out - encoded) * intensity;
  return out;
}

VImage applyGeometry(const VImage& encoded, const DevelopParams& p) {
  if (!p.hasGeometry()) return encoded;
  VImage x = encoded;
  const long quarter = ((std::lround(p[K::rotation] / 90) % 4) + 4) % 4;
  if (quarter == 1) x = x.rot90();
  if (quarter == 2) x = x.rot180();
  if (quarter == 3) x = x.rot270();
  if (p.flipHorizontal) x = x.fliphor();
  if (p.flipVertical) x = x.flipver();

  const int w = x.width();
  const int h = x.height();
  auto options = [] {
    return VImage::option()
        ->set("interpolate", vips::VInterpolate::new_from_name("bilinear"))
        ->set("extend", VIPS_EXTEND_COPY);
  };
  if (const double degrees = p[K::straighten]; degrees != 0) {
    const double angle = degrees * std::numbers::pi / 180;
    // A pixel's worth more than the fill scale, so interpolation never reaches outside.
    const double s =
        core::StraightenGeometry::fillScale(w, h, angle) * (1 + 2.0 / std::max(1, std::min(w, h)));
    const double cx = w / 2.0;
    const double cy = h / 2.0;
    // No edge extension: the fill scale alone must keep the corners inside the image.
    x = x.affine(
        {s * std::cos(angle), -s * std::sin(angle), s * std::sin(angle), s * std::cos(angle)},
        VImage::option()
            ->set("interpolate", vips::VInterpolate::new_from_name("bilinear"))
            ->set("oarea", std::vector<int>{0, 0, w, h})
            ->set("idx", -cx)
            ->set("idy", -cy)
            ->set("odx", cx)
            ->set("ody", cy));
  }
  const double lens = p[K::lensDistortion];
  const double vertical = p[K::perspectiveVertical];
  const double horizontal = p[K::perspectiveHorizontal];
  if (lens != 0 || vertical != 0 || horizontal != 0) {
    // For every output pixel, the place in the input it shows (centred coordinates, −0.5…0.5).
    const VImage uv = unitCoordinates(w, h) - 0.5;
    VImage u = uv[0];
    VImage v = uv[1];
    if (lens != 0) {
      const double k = 0.25 * lens;
      VImage f = (u * u + v * v) * (2 * k) + 1.0;
      if (k > 0) f = f / (1 + k);
      u = u * f;
      v = v * f;
    }
    if (vertical != 0) u = u * (v * (0.8 * vertical) + (1 - 0.2 * std::abs(vertical)));
    if (horizontal != 0) v = v * (u * (0.8 * horizontal) + (1 - 0.2 * std::abs(horizontal)));
    const VImage index = (u + 0.5) * w - 0.5;
    x = x.mapim(index.bandjoin((v + 0.5) * h - 0.5), options());
  }
  if (p.crop) {
    const int left = std::clamp(static_cast<int>(std::floor(p.crop->origin.x * w)), 0, w - 1);
    const int top = std::clamp(static_cast<int>(std::floor(p.crop->origin.y * h)), 0, h - 1);
    const int cw = std::clamp(static_cast<int>(std::lround(p.crop->size.width * w)), 1, w - left);
    const int ch = std::clamp(static_cast<int>(std::lround(p.crop->size.height * h)), 1, h - top);
    x = x.extract_area(left, top, cw, ch);
  }
  return x;
}

VImage applyFinish(const VImage& encoded, const DevelopParams& p) {
  if (!p.hasFinish()) return encoded;
  VImage x = encoded;
  const int w = x.width();
  const int h = x.height();
  if (const double amount = p[K::vignetteAmount]; amount != 0) {
    const VImage uv = unitCoordinates(w, h) - 0.5;
    const VImage d = (uv[0] * uv[0] + uv[1] * uv[1]).pow(0.5) / std::sqrt(0.5);
    const double feather = std::max(p[K::vignetteFeather], 0.01);
    const VImage t = smoothstep(clip((d - p[K::vignetteMidpoint]) / feather, 0, 1));
    x = toEncoded(toLinear(x) * (t * (1.5 * amount * std::numbers::ln2)).exp());
  }
  if (const double amount = p[K::grainAmount]; amount > 0) {
    const double size = 1 + 3 * p[K::grainSize];
    const int gw = std::max(1, static_cast<int>(std::lround(w / size)));
    const int gh = std::max(1, static_cast<int>(std::lround(h / size)));
    VImage noise = VImage::gaussnoise(
        gw, gh, VImage::option()->set("mean", 0.0)->set("sigma", 1.0)->set("seed", 7));
    if (const double soft = 1 - p[K::grainRoughness]; soft > 0.05) {
      noise = noise.gaussblur(0.3 + 0.7 * soft) * (1 + 1.5 * soft);
    }
    if (gw != w || gh != h) {
      noise = fitTo(
          noise.resize(static_cast<double>(w) / gw, VImage::option()
                                                        ->set("vscale", static_cast<double>(h) / gh)
                                                        ->set("kernel", VIPS_KERNEL_LINEAR)),
          w, h);
    }
    x = x + noise * (0.08 * amount);
  }
  return x;
}

}  // namespace tarno::library::develop
