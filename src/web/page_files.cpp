// Finding the page's files by path.
#include "tarno/web/page_files.hpp"

namespace tarno::web {

std::optional<PageFile> pageFile(std::string_view path) {
  if (!path.starts_with('/')) return std::nullopt;
  // The page itself only as "/": its token is filled in there.
  if (path == "/index.html") return std::nullopt;
  const std::string_view name = path == "/" ? std::string_view("index.html") : path.substr(1);
  for (const PageFile& file : pageFiles()) {
    if (file.name == name) return file;
  }
  return std::nullopt;
}

std::string_view contentTypeOf(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  if (name.ends_with(".json")) return "application/json";
  if (name.ends_with(".png")) return "image/png";
  return "application/octet-stream";
}

}  // namespace tarno::web
