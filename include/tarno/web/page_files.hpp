// The page's files (src/web/page), compiled into the program at build time.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace tarno::web {

struct PageFile {
  std::string_view name;  // "index.html", "app.js", …
  std::string_view body;
};

// Every file, sorted by name.
std::span<const PageFile> pageFiles();

// The file a path names: "/" is index.html, "/app.js" is app.js; absent for any other path.
std::optional<PageFile> pageFile(std::string_view path);

// The Content-Type of a file by its extension.
std::string_view contentTypeOf(std::string_view name);

}  // namespace tarno::web
