#include "tarno/library/contact_sheet.hpp"

#include <algorithm>
#include <cmath>
#include <vector>
#include <vips/vips8>

#include "library/vips_runtime.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::library {

namespace {

using vips::VImage;

template <class R, class P>
std::optional<R> ask(Library& library, protocol::IPCMethod method, const P& params) {
  const std::optional<std::string> response =
      library.handleLine(protocol::RPC::encodeRequest(protocol::RPCID::number(1), method, params));
  if (!response) return std::nullopt;
  try {
    protocol::RPCResult<R> outcome = protocol::RPC::decodeResponse<R>(*response);
    if (const R* result = outcome.template as<R>()) return *result;
  } catch (const core::DecodingError&) {
  }
  return std::nullopt;
}

std::vector<std::string> photoIds(Library& library, int most) {
  std::vector<std::string> ids;
  std::optional<std::int64_t> cursor;
  do {
    const auto page = ask<protocol::ListResult>(
        library, protocol::IPCMethod::list, protocol::ListParams{.limit = 500, .cursor = cursor});
    if (!page) break;
    for (const core::PhotoSummary& p : page->photos) {
      if (static_cast<int>(ids.size()) == most) return ids;
      ids.push_back(p.id);
    }
    cursor = page->nextCursor;
  } while (cursor);
  return ids;
}

// The preview fitted and centred in a white cell, 8-bit sRGB.
std::optional<VImage> cell(const std::string& png, int edge) {
  try {
    VImage image = VImage::new_from_buffer(png, "");
    if (image.has_alpha()) {
      image =
          image.flatten(VImage::option()->set("background", std::vector<double>{255, 255, 255}));
    }
    image = image.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
    if (image.bands() > 3) image = image.extract_band(0, VImage::option()->set("n", 3));
    if (image.width() > edge || image.height() > edge) {
      image = image.thumbnail_image(edge, VImage::option()->set("height", edge));
    }
    // Held in memory: the decoder reads from `png`, which the caller does not keep.
    return image
        .embed((edge - image.width()) / 2, (edge - image.height()) / 2, edge, edge,
               VImage::option()
                   ->set("extend", VIPS_EXTEND_BACKGROUND)
                   ->set("background", std::vector<double>{255, 255, 255}))
        .copy_memory();
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

// The file name centred in a white strip under its cell, black, cut to the cell's width. The
// text engine reads markup, so the name is escaped: a file may be called "<b>&.jpg".
VImage caption(const std::string& name, int edge, int height) {
  const VImage white = (VImage::black(edge, height, VImage::option()->set("bands", 3)) + 255)
                           .cast(VIPS_FORMAT_UCHAR);
  try {
    char* escaped = g_markup_escape_text(name.c_str(), -1);
    // "sans 10" is about 11 pixels tall at 72 dpi: scaled to fill 60% of the strip.
    VImage text = VImage::text(
        escaped,
        VImage::option()->set("font", "sans 10")->set("dpi", std::max(24, height * 72 * 6 / 110)));
    g_free(escaped);
    if (text.width() > edge) text = text.crop(0, 0, edge, text.height());
    if (text.height() > height) text = text.crop(0, 0, text.width(), height);
    const VImage ink = (text * -1 + 255).cast(VIPS_FORMAT_UCHAR);
    return white.insert(ink.bandjoin(ink).bandjoin(ink), (edge - ink.width()) / 2,
                        (height - ink.height()) / 2);
  } catch (const vips::VError&) {
    vips_error_clear();
    return white;
  }
}

}  // namespace

bool writeContactSheet(Library& library, const std::filesystem::path& out,
                       const ContactSheetOptions& options, ContactSheetOutcome* outcome,
                       std::string* error) {
  ensureVips();
  const int edge = std::clamp(options.cellEdge, 16, 2048);
  const int gap = std::clamp(options.gap, 0, 256);
  std::vector<VImage> cells;
  ContactSheetOutcome counts;
  for (const std::string& id : photoIds(library, std::max(1, options.maxPhotos))) {
    const auto preview =
        ask<protocol::PreviewResult>(library, protocol::IPCMethod::previewRender,
                                     protocol::PreviewParams{.id = id, .longEdge = edge});
    const std::optional<std::string> png =
        preview ? core::base64Decode(preview->pngBase64) : std::nullopt;
    std::optional<VImage> c = png ? cell(*png, edge) : std::nullopt;
    if (!c) {
      ++counts.skipped;
      continue;
    }
    const int captionHeight = std::max(12, edge / 10);
    cells.push_back(c->join(caption(library.fileName(id).value_or(""), edge, captionHeight),
                            VIPS_DIRECTION_VERTICAL)
                        .copy_memory());
  }
  counts.photos = static_cast<int>(cells.size());
  if (outcome != nullptr) *outcome = counts;
  if (cells.empty()) {
    if (error != nullptr) *error = "no photo could be shown";
    return false;
  }
  const int n = static_cast<int>(cells.size());
  const int columns =
      options.columns > 0 ? options.columns : static_cast<int>(std::ceil(std::sqrt(n)));
  const std::filesystem::path temporary =
      out.parent_path() / ("." + out.stem().string() + ".tmp.png");
  try {
    VImage sheet = VImage::arrayjoin(cells, VImage::option()
                                                ->set("across", std::min(columns, n))
                                                ->set("shim", gap)
                                                ->set("background", std::vector<double>{255}));
    sheet = sheet.embed(gap, gap, sheet.width() + 2 * gap, sheet.height() + 2 * gap,
                        VImage::option()
                            ->set("extend", VIPS_EXTEND_BACKGROUND)
                            ->set("background", std::vector<double>{255, 255, 255}));
    sheet.pngsave(temporary.c_str());
  } catch (const vips::VError& e) {
    vips_error_clear();
    std::error_code ec;
    std::filesystem::remove(temporary, ec);
    if (error != nullptr) *error = std::string("cannot write the sheet: ") + e.what();
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, out, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    if (error != nullptr) *error = "cannot write " + out.string();
    return false;
  }
  return true;
}

}  // namespace tarno::library
