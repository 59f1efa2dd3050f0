#include "library/vips_runtime.hpp"

#include <mutex>
#include <vips/vips8>

namespace tarno::library {
namespace {

void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

void ensureVips() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("tarno") != 0) vips_error_clear();
    // Operations are not kept: a photo rewritten on disk would otherwise be served from the
    // cache under its old file name, and every kept operation holds memory and descriptors.
    vips_cache_set_max(0);
    vips_cache_set_max_mem(32 * 1024 * 1024);
    vips_cache_set_max_files(8);
    // Warnings about odd files reach the client as error results; libvips would also print
    // them, once per file, on the server's standard error.
    g_log_set_handler("VIPS",
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                      dropLogMessage, nullptr);
  });
}

std::optional<ImageHeader> readImageHeader(int fd) {
  ensureVips();
  try {
    vips::VImage image = vips::VImage::new_from_source(
        vips::VSource::new_from_descriptor(fd), "",
        vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    ImageHeader header;
    header.width = image.width();
    header.height = image.height();
    const char* loader = nullptr;
    if (vips_image_get_typeof(image.get_image(), VIPS_META_LOADER) != 0 &&
        vips_image_get_string(image.get_image(), VIPS_META_LOADER, &loader) == 0 && loader)
      header.loader = loader;
    return header;
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

}  // namespace tarno::library
